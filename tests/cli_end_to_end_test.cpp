// Whole runs of the built program on small fixtures: the result file byte for
// byte, the console report, the exit status, and that a failed run leaves an
// existing result file untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "kit/process.hpp"
#include "io/number_format.hpp"
#include "kernels/kernel_sets.hpp"
#include "kit/reference_model.hpp"

namespace gw {
namespace {

using namespace gw::testing;

const fs::path kCases = fs::path(GAINWEIGHTS_TEST_DATA) / "e2e";
const std::string kSentinel = "sentinel: an earlier result\n";

// The result file and console report that the reference computation gives.
struct Expected {
  std::string file, console;
};

Expected expected_from_reference(const fs::path& dir) {
  reference::Input in;
  in.parameter_lines = parse_table<double>(read_file(dir / "GParameter.csv"));
  in.pedigree_lines = parse_table<int>(read_file(dir / "Pedigree&Record.csv"));
  const reference::Output r = reference::compute(in);
  Expected e;
  // The inversion of the record block reports every 100th pivot step.
  e.console = "Date = YYYYMMDD  Time = hhmmss.s\n\n";
  for (int step = 100; step <= r.nrec; step += 100) e.console += format_progress_line(step) + "\n";
  e.console += format_count_line("No. of animals = ", r.nanim) + "\n" +
              format_count_line("No. of records = ", r.nrec) + "\n\n";
  for (std::size_t i = 0; i < r.vv1.size(); ++i) {
    e.file += " " + format_free(r.vv1[i]) + " " + format_free(r.vv2[i]) + " " + format_free(r.vv0[i]) + " " +
              format_free(r.v0[i]) + "\n";
    e.console += format_weight_line(r.vv1[i], r.vv2[i], r.vv0[i], r.v0[i]) + "\n";
  }
  e.console += "\nDate = YYYYMMDD  Time = hhmmss.s\n";
  return e;
}

void copy_inputs(const fs::path& from, const fs::path& to) {
  fs::copy_file(from / "GParameter.csv", to / "GParameter.csv");
  fs::copy_file(from / "Pedigree&Record.csv", to / "Pedigree&Record.csv");
}

class FixtureRun : public ::testing::TestWithParam<std::string> {};

// Each fixture folder holds the two inputs and expected.csv, the result file
// that the literal reference computation gives (regenerate with
// GAINWEIGHTS_REGENERATE=1). The program must write exactly that file.
TEST_P(FixtureRun, WritesTheReferenceResultByteForByte) {
  const fs::path dir = kCases / GetParam();
  const Expected ref = expected_from_reference(dir);
  if (std::getenv("GAINWEIGHTS_REGENERATE")) write_file(dir / "expected.csv", ref.file);
  ASSERT_EQ(read_file(dir / "expected.csv"), ref.file) << "the stored expected file disagrees with the reference";

  TempDir tmp;
  copy_inputs(dir, tmp.path());
  write_file(tmp / "Weighted_value.csv", "an older and much longer result file\n\n\n\n\n\n\n\n");
  const RunResult r = run_in(tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), ref.file);
  EXPECT_EQ(mask_clock(r.out), ref.console);
  EXPECT_TRUE(stray_files(tmp.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FixtureRun,
                         ::testing::Values("two_traits", "unrelated_all_records", "one_trait", "no_record_link",
                                           "sparse_trait", "odd_flags", "one_group", "inbred"),
                         [](const auto& info) { return info.param; });

// Sets GAINWEIGHTS_KERNELS for the programs a test starts, and restores it.
class ForcedKernels {
 public:
  explicit ForcedKernels(const std::string& value) {
    if (const char* old = std::getenv(kKernelsVariable)) saved_ = old;
    setenv(kKernelsVariable, value.c_str(), 1);
  }
  ~ForcedKernels() {
    if (saved_.empty())
      unsetenv(kKernelsVariable);
    else
      setenv(kKernelsVariable, saved_.c_str(), 1);
  }

 private:
  std::string saved_;
};

// Every kernel set the processor runs writes the same result file, candidate
// file and console report as the fastest, byte for byte, on the bundled
// herd (its record block is inverted blocked and on all threads).
TEST(KernelSets, EverySetWritesTheSameFiles) {
  std::string file, candidates, console;
  for (const KernelSet set : supported_kernel_sets()) {
    const std::string name(kernel_set_name(set));
    TempDir tmp;
    copy_inputs(fs::path(GAINWEIGHTS_EXAMPLES) / "herd", tmp.path());
    const ForcedKernels forced(name);
    const RunResult r = run_in(tmp.path(), "--candidates c.csv");
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    if (file.empty()) {
      file = read_file(tmp / "Weighted_value.csv");
      candidates = read_file(tmp / "c.csv");
      console = mask_clock(r.out);
      ASSERT_FALSE(file.empty());
      continue;
    }
    EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), file) << name;
    EXPECT_EQ(read_file(tmp / "c.csv"), candidates) << name;
    EXPECT_EQ(mask_clock(r.out), console) << name;
  }
}

TEST(KernelSets, ASetThatIsNoneOrCannotRunIsRefusedBeforeAnythingIsRead) {
#if defined(__x86_64__)
  const std::string foreign = "neon";
#else
  const std::string foreign = "avx2";
#endif
  for (const std::string& value : {std::string("fastest"), foreign}) {
    TempDir tmp;
    copy_inputs(kCases / "two_traits", tmp.path());
    write_file(tmp / "Weighted_value.csv", kSentinel);
    const ForcedKernels forced(value);
    const RunResult r = run_in(tmp.path());
    EXPECT_EQ(r.status, 2) << value;
    EXPECT_EQ(r.out, "") << value;
    EXPECT_NE(r.err.find("GAINWEIGHTS_KERNELS=" + value), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("set it to one of " + supported_kernel_set_names()), std::string::npos) << r.err;
    EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), kSentinel);
  }
}

// With unrelated animals that all have every record, every candidate's
// system is the single-animal system, so all four columns agree.
TEST(FixtureRun, UnrelatedAnimalsWithAllRecordsGiveEqualColumns) {
  const std::string text = read_file(kCases / "unrelated_all_records" / "expected.csv");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    double v[4];
    fields >> v[0] >> v[1] >> v[2] >> v[3];
    for (double x : v) EXPECT_NEAR(x, v[3], 1e-9 * std::fabs(v[3])) << line;
  }
}

TEST(FixtureRun, CrLfLineEndsGiveTheSameResult) {
  TempDir tmp;
  for (const char* name : {"GParameter.csv", "Pedigree&Record.csv"}) {
    std::string text = read_file(kCases / "inbred" / name), crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write_file(tmp / name, crlf);
  }
  const RunResult r = run_in(tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), read_file(kCases / "inbred" / "expected.csv"));
}

// Runs that end early: the exit status, what the console shows after the
// start lines, a fragment of the diagnostic, and an untouched result file.
struct Stop {
  const char* name;
  std::string parameters;  // "<missing>" leaves the file out
  std::string pedigree;
  int status;
  std::string console_tail;  // stdout after the start line and its empty line
  std::string diagnostic;    // expected fragment of stderr ("" = stderr empty)
  std::string args = "";     // the command line
};

std::string repeat_lines(int n, const std::string& line) {
  std::string s;
  for (int i = 0; i < n; ++i) s += line;
  return s;
}

// A parameter file of n unrelated traits with unit variances.
std::string diagonal_parameters(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += "1,2";
    for (int j = 0; j < n; ++j) s += j == i ? ",1" : ",0";
    s += "\n";
  }
  return s;
}

std::string many_trait_pedigree(int animals, int traits) {
  std::string s;
  for (int k = 1; k <= animals; ++k) s += std::to_string(k) + ",0,0,1,1" + repeat_lines(traits, ",1") + "\n";
  return s;
}

// n animals on a line of selfing: each the offspring of the one before
// mated with itself, the last a candidate; two traits, all recorded.
std::string selfing_line(int n) {
  std::string s = "1,0,0,0,1,1,1\n";
  for (int k = 2; k <= n; ++k)
    s += std::to_string(k) + "," + std::to_string(k - 1) + "," + std::to_string(k - 1) + (k == n ? ",1" : ",0") +
         ",1,1,1\n";
  return s;
}

const std::string kTwo = "5,10,3,1\n2,20,0.5,4\n";
const std::string kPedigree = "1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2,1,1,1,0\n";

// A case shows as its name in the test output.
void PrintTo(const Stop& c, std::ostream* os) { *os << c.name; }

class StopRun : public ::testing::TestWithParam<Stop> {};

TEST_P(StopRun, EndsWithItsMessageAndLeavesTheResultFileAlone) {
  const Stop& s = GetParam();
  TempDir tmp;
  if (s.parameters != "<missing>") write_file(tmp / "GParameter.csv", s.parameters);
  if (s.pedigree != "<missing>") write_file(tmp / "Pedigree&Record.csv", s.pedigree);
  write_file(tmp / "Weighted_value.csv", kSentinel);
  const RunResult r = run_in(tmp.path(), s.args);
  EXPECT_EQ(r.status, s.status);
  EXPECT_EQ(mask_clock(r.out), "Date = YYYYMMDD  Time = hhmmss.s\n\n" + s.console_tail);
  if (s.diagnostic.empty())
    EXPECT_EQ(r.err, "");
  else
    EXPECT_NE(r.err.find(s.diagnostic), std::string::npos) << r.err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), kSentinel);
  EXPECT_TRUE(stray_files(tmp.path()).empty());
}

const std::string kOrder = " Order of matrix is less than 1 !\n";
const std::string kSingular = " Matrix is singular !\n";
// A zero phenotypic variance is warned about before the inversion stops.
const std::string kNoPhenotypicVariance =
    "gainweights: warning: GParameter.csv line 1: the phenotypic variance of trait 1 (0) is not positive";
const std::string kHugeTargets = "1e200,10,3,1\n1e200,20,0.5,4\n";
const std::string kNoInformation =
    "gainweights:   line 2: no present record carries information on it: neither it nor a relative has a record";
const std::string kOverflow =
    "gainweights: Pedigree&Record.csv line 2: the candidate's system overflows the range of double precision";

INSTANTIATE_TEST_SUITE_P(
    Cases, StopRun,
    ::testing::Values(
        Stop{"missing_files", "<missing>", "<missing>", 1, kOrder, ""},
        Stop{"empty_parameters", "", kPedigree, 1, kOrder, ""},
        Stop{"singular_p0", "1,0,0\n", "1,0,0,1,1,1\n", 1, kSingular, kNoPhenotypicVariance},
        Stop{"empty_pedigree", kTwo, "", 1, kOrder, ""},
        Stop{"no_present_record", kTwo, "1,0,0,1,1,0,0\n2,0,0,1,1,2,-1\n", 1, kOrder, ""},
        // G0 of rank one: no candidate's weights are determined, and the
        // single-animal system could not be inverted either.
        Stop{"singular_g0", "1,10,1,1\n1,10,1,1\n", "1,0,0,1,1,1,1\n", 1, "",
             "GParameter.csv: the genetic covariance matrix is singular (see the warning above)"},
        Stop{"trailing_blank_line", kTwo + "\n", kPedigree, 2, "", "GParameter.csv"},
        Stop{"malformed_value", kTwo, "1,0,0,0,2,1,1\n2,0,0,1.5,2,1,1\n", 2, "", "Pedigree&Record.csv line 2"},
        Stop{"parent_on_later_line", kTwo, "1,0,3,1,1,1,1\n2,0,0,1,1,1,1\n3,0,0,1,1,1,1\n", 2, "",
             "Pedigree&Record.csv line 1: parent 3 does not stand on an earlier line"},
        Stop{"parent_is_itself", kTwo, "1,0,0,1,1,1,1\n2,2,0,1,1,1,1\n", 2, "",
             "Pedigree&Record.csv line 2: parent 2 does not stand on an earlier line"},
        Stop{"parent_beyond_file", kTwo, "1,0,0,1,1,1,1\n2,9,1,1,1,1,1\n", 2, "",
             "Pedigree&Record.csv line 2: parent 9 is not a line of the file"},
        Stop{"negative_parent", kTwo, "1,0,0,1,1,1,1\n2,1,-1,1,1,1,1\n", 2, "",
             "Pedigree&Record.csv line 2: parent -1 is not a line of the file"},
        Stop{"no_candidate", kTwo, "1,0,0,0,1,1,1\n2,0,0,2,1,1,1\n", 1, "", "no animal has candidate flag 1"},
        // Animal 2 is a candidate with no record and no relative with one.
        Stop{"candidate_without_information", kTwo, "1,0,0,1,1,1,1\n2,0,0,1,2,0,0\n", 1, "", kNoInformation},
        // Targets so large that the sums of a candidate's iteration
        // overflow: the run names the first candidate, on either path.
        Stop{"candidate_system_overflows", kHugeTargets, kPedigree, 1, "", kOverflow},
        Stop{"sparse_candidate_system_overflows", kHugeTargets, kPedigree, 1, "", kOverflow, "--sparse"},
        // 200 traits of 1000 animals need 320 GB for the record matrix.
        Stop{"not_enough_memory", diagonal_parameters(200), many_trait_pedigree(1000, 200), 3, " 100\n 200\n",
             "bytes are available. The sparse path (gainweights --sparse) handles large populations in far less "
             "memory"},
        // The sparse path stops as the dense one where both can tell ...
        Stop{"sparse_missing_files", "<missing>", "<missing>", 1, kOrder, "", "--sparse"},
        Stop{"sparse_empty_parameters", "", kPedigree, 1, kOrder, "", "--sparse"},
        Stop{"sparse_singular_p0", "1,0,0\n", "1,0,0,1,1,1\n", 1, kSingular, kNoPhenotypicVariance, "--sparse"},
        Stop{"sparse_no_present_record", kTwo, "1,0,0,1,1,0,0\n2,0,0,1,1,2,-1\n", 1, kOrder, "", "--sparse"},
        Stop{"sparse_no_candidate", kTwo, "1,0,0,0,1,1,1\n2,0,0,2,1,1,1\n", 1, "", "no animal has candidate flag 1",
             "--sparse"},
        Stop{"sparse_candidate_without_information", kTwo, "1,0,0,1,1,1,1\n2,0,0,1,2,0,0\n", 1, "", kNoInformation,
             "--sparse"},
        // ... and names the trait, the matrix or the animal to blame where
        // only it can fail.
        Stop{"sparse_genetic_variance_negative", "1,10,-1,0\n1,10,0,3\n", kPedigree, 1, "",
             "GParameter.csv: the genetic covariance matrix is not positive definite: the genetic variance of trait "
             "1 is -1, but a variance must be positive",
             "--sparse"},
        Stop{"sparse_genetic_correlation_above_one", "1,10,3,0\n1,10,4,2\n", kPedigree, 1, "",
             "the genetic correlation of traits 1 and 2 is 1.63299 (covariance 4), outside (-1, 1)", "--sparse"},
        Stop{"sparse_genetic_matrix_not_positive_definite", "1,10,1,0,0\n1,10,0.9,1,0\n1,10,0.9,-0.9,1\n",
             "1,0,0,1,1,1,1,1\n", 1, "",
             "every pair of traits looks plausible, but the genetic (co)variances of traits 1, 2 and 3 together are "
             "not positive definite",
             "--sparse"},
        Stop{"sparse_residual_variance_negative", "1,2,3,0\n1,10,0,3\n", kPedigree, 1, "",
             "GParameter.csv: the residual covariance matrix of the traits recorded on Pedigree&Record.csv line 1 "
             "is not positive definite: the residual variance of trait 1 is -1",
             "--sparse"},
        // On a line of selfing 1 - F halves in each generation; the
        // sparse path stops where the parents' F reaches 1 - 4e-6.
        Stop{"sparse_completely_inbred", kTwo, selfing_line(45), 1, "",
             "Pedigree&Record.csv line 21: the animal's parents are nearly completely inbred (their mean F is "
             "0.999996 or more)",
             "--sparse"},
        // G0^-1 of 1e308 times A0^-1(3, 3) = 2 overflows.
        Stop{"sparse_equations_overflow", "1,1,1e-308,0\n1,1,0,1e-308\n", kPedigree, 1, "",
             "the mixed-model equations cannot be factorised in double precision (at the breeding value of trait 1 "
             "of the animal on Pedigree&Record.csv line 3)",
             "--sparse"}),
    [](const ::testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });

// Implausible parameters are warned about on standard error, one line each,
// and change nothing else while the candidates' weights stay determined: the
// dense run gives the reference result, console report and exit status, and
// the sparse path writes the same warnings before its own diagnostic. When
// they leave no candidate's Var(û) positive definite, the run stops.
TEST(ImplausibleParameters, AreWarnedAboutAndChangeNothingElse) {
  const struct {
    std::string parameters, warning;
    bool determined;
  } cases[] = {
      {"5,10,30,1\n2,20,0.5,4\n",
       "gainweights: warning: GParameter.csv line 1: the genetic variance of trait 1 (30) is greater than its "
       "phenotypic variance (10): heritability 3, outside [0, 1]; check fields 2 and 3\n",
       true},
      {"5,10,3,100\n2,20,0.5,4\n",
       "gainweights: warning: GParameter.csv line 1: the residual correlation of traits 1 and 2 is 9.44911 "
       "(covariance 100 in field 4, residual variances 7 and 16), outside [-1, 1]; check these (co)variances (a "
       "residual variance is the phenotypic variance less the genetic one)\n",
       false},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    write_file(tmp / "GParameter.csv", c.parameters);
    write_file(tmp / "Pedigree&Record.csv", kPedigree);
    const RunResult r = run_in(tmp.path());
    if (c.determined) {
      const Expected ref = expected_from_reference(tmp.path());
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, c.warning);
      EXPECT_EQ(mask_clock(r.out), ref.console);
      EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), ref.file);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.rfind(c.warning, 0), 0u) << r.err;
      EXPECT_NE(r.err.find("line 2: its Var(û) is not positive semi-definite, which no population gives"),
                std::string::npos)
          << r.err;
    }
    const RunResult s = run_in(tmp.path(), "--sparse");
    EXPECT_EQ(s.err.rfind(c.warning, 0), 0u) << s.err;
  }
}

TEST(CommandLine, HelpAndVersionAnswerAndOtherArgumentsAreRefused) {
  TempDir tmp;
  RunResult r = run_in(tmp.path(), "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: gainweights"), std::string::npos);
  EXPECT_NE(r.out.find("Exit status"), std::string::npos);
  r = run_in(tmp.path(), "--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("gainweights ", 0), 0u);
  r = run_in(tmp.path(), "GParameter.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Usage: gainweights"), std::string::npos);
  // A refused command line opens and creates no file.
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(MissingInputs, AreCreatedEmpty) {
  TempDir tmp;
  const RunResult r = run_in(tmp.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::exists(tmp / "GParameter.csv"));
  EXPECT_EQ(fs::file_size(tmp / "GParameter.csv"), 0u);
  // The run stops at the trait matrices, before the pedigree file is opened.
  EXPECT_FALSE(fs::exists(tmp / "Pedigree&Record.csv"));
  EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
}

}  // namespace
}  // namespace gw

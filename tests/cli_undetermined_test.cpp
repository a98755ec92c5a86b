// Candidates whose index weights the records do not determine: both paths
// stop and list the same candidates; with --skip-undetermined they are left
// out of the averages, which then equal those of a run without them as
// candidates. Also the stops and hints for traits without records, a
// singular genetic covariance matrix and parameters far from 1.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "kit/process.hpp"

namespace gw {
namespace {

using namespace gw::testing;

const fs::path kExamples = fs::path(GAINWEIGHTS_EXAMPLES);

// Two traits with heritabilities 0.3 and 0.2 and a genetic correlation of
// 0.3 (covariance 0.3 * sqrt(3 * 4)); uncorrelated residuals.
const std::string kCorrelated = "1,10,3,0\n1,20,1.0392304845413265,4\n";

// The lines listed after "gainweights:   line N" in a diagnostic or warning.
std::set<int> listed_lines(const std::string& err) {
  const std::string_view lead = "gainweights:   line ";
  std::set<int> lines;
  for (std::size_t at = err.find(lead); at != std::string::npos; at = err.find(lead, at + 1)) {
    const std::size_t digits = at + lead.size();
    if (digits < err.size() && err[digits] >= '0' && err[digits] <= '9') lines.insert(std::stoi(err.substr(digits)));
  }
  return lines;
}

// The pedigree with the candidate flag (field 4) of `lines` set to 0.
std::string without_candidates(const std::string& pedigree, const std::set<int>& lines) {
  std::istringstream in(pedigree);
  std::string out;
  int k = 0;
  for (std::string l; std::getline(in, l);) {
    ++k;
    if (lines.count(k)) {
      std::size_t comma = 0;
      for (int f = 0; f < 3; ++f) comma = l.find(',', comma) + 1;
      l.replace(comma, l.find(',', comma) - comma, "0");
    }
    out += l + "\n";
  }
  return out;
}

struct Case {
  const char* name;
  std::string parameters, pedigree;
  std::set<int> undetermined;  // their lines
  std::string reason;          // a fragment of the reason of the first of them
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Undetermined : public ::testing::TestWithParam<Case> {};

// Both paths stop before writing anything and name the same candidates; with
// --skip-undetermined the dense result file is the one of a run in which
// these animals are no candidates, bit for bit, the sparse one agrees with it
// to 1e-9, and the candidate file lists them without weights.
TEST_P(Undetermined, StopOnBothPathsOrAreLeftOutOfTheAverages) {
  const Case& c = GetParam();
  TempDir tmp;
  write_file(tmp / "GParameter.csv", c.parameters);
  write_file(tmp / "Pedigree&Record.csv", c.pedigree);
  for (const char* path : {"", "--sparse"}) {
    SCOPED_TRACE(path);
    const RunResult r = run_in(tmp.path(), path);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(listed_lines(r.err), c.undetermined) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run with --skip-undetermined"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
    EXPECT_EQ(r.out.find("No. of animals"), std::string::npos);
  }

  TempDir without;
  write_file(without / "GParameter.csv", c.parameters);
  write_file(without / "Pedigree&Record.csv", without_candidates(c.pedigree, c.undetermined));
  ASSERT_EQ(run_in(without.path()).status, 0);
  const std::string expected = read_file(without / "Weighted_value.csv");

  RunResult r = run_in(tmp.path(), "--skip-undetermined --candidates c.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), expected);
  EXPECT_EQ(listed_lines(r.err), c.undetermined) << r.err;
  EXPECT_EQ(r.err.rfind("gainweights: warning: Pedigree&Record.csv: the index weights of ", 0), 0u) << r.err;
  std::istringstream rows(read_file(tmp / "c.csv"));
  std::string row;
  std::getline(rows, row);
  EXPECT_NE(row.find(",sd_index,undetermined,response_1,"), std::string::npos) << row;
  std::set<int> empty_rows;
  while (std::getline(rows, row)) {
    // line,id,group, then w_1: empty when the weights are not determined.
    std::size_t at = 0;
    for (int comma = 0; comma < 3; ++comma) at = row.find(',', at) + 1;
    const bool determined = row[at] != ',';
    if (!determined) {
      empty_rows.insert(std::stoi(row));
      EXPECT_NE(row.find(",,"), std::string::npos) << row;  // no weights
    }
  }
  EXPECT_EQ(empty_rows, c.undetermined);

  r = run_in(tmp.path(), "--sparse --skip-undetermined");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto a = result_values(read_file(tmp / "Weighted_value.csv")), b = result_values(expected);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a[i].size(); ++j)
      if (std::isnan(b[i][j]))
        EXPECT_TRUE(std::isnan(a[i][j]));
      else
        EXPECT_NEAR(a[i][j], b[i][j], 1e-9 * std::fabs(b[i][j])) << i << "," << j;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Undetermined,
    ::testing::Values(
        // Two founders; the second has a record of trait 1 only. Its
        // trait-2 value is known only through the correlation of 0.3.
        Case{"two_founders", kCorrelated, "1,0,0,1,1,1,1\n2,0,0,1,2,1,0\n", {2},
             "line 2: its breeding value for trait 2 is known only through the genetic correlation with trait 1"},
        // A young female with her own record of trait 1, an unknown sire
        // and a founder dam without a record of trait 2; her paternal
        // half-sister by a recorded sire is determined.
        Case{"unknown_sire_unrecorded_dam", kCorrelated,
             "1,0,0,0,1,1,1\n2,0,0,0,2,1,0\n3,1,0,1,2,1,1\n4,0,2,1,2,1,0\n5,1,0,1,1,0,1\n", {4},
             "line 4: its breeding value for trait 2 is known only through"},
        // A genetic covariance of 1e-4 leaves trait 2 of the second founder
        // unknown rather than known through trait 1.
        Case{"tiny_genetic_covariance", "1,10,3,0\n1,20,1e-4,4\n", "1,0,0,1,1,1,1\n2,0,0,1,2,1,0\n3,1,0,1,1,1,1\n",
             {2}, "line 2: nothing is known of its breeding value for trait 2"},
        // An animal without records or recorded relatives among two.
        Case{"no_information", kCorrelated, "1,0,0,1,1,1,1\n2,0,0,1,1,0,0\n3,1,0,1,2,1,1\n", {2},
             "line 2: no present record carries information on it"}),
    [](const auto& info) { return std::string(info.param.name); });

// A bought-in boar without relatives and with a record of gain only, added
// to the tagged herd: both paths name him by his ear tag and line.
TEST(Undetermined, ABoughtInBoarIsNamedByHisEarTag) {
  TempDir tmp;
  fs::copy_file(kExamples / "tagged-herd" / "GParameter.csv", tmp / "GParameter.csv");
  write_file(tmp / "herd.txt", read_file(kExamples / "tagged-herd" / "herd.txt") + "B-0999 0 0 1 1 1 0\n");
  ASSERT_EQ(run_in(tmp.path(), "prepare herd.txt").status, 0);
  for (const char* path : {"", "--sparse"}) {
    const RunResult r = run_in(tmp.path(), path);
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_NE(r.err.find("(B-0999): its breeding value for trait 2 is known only through the genetic correlation "
                         "with trait 1"),
              std::string::npos)
        << path << r.err;
    EXPECT_EQ(listed_lines(r.err).size(), 1u) << r.err;
  }
}

// More than twenty undetermined candidates: twenty lines and a count.
TEST(Undetermined, ManyAreListedUpToTwentyAndCounted) {
  TempDir tmp;
  std::string ped = "1,0,0,0,1,1,1\n";
  for (int k = 2; k <= 31; ++k) ped += std::to_string(k) + ",0,0,1,1,1,0\n";
  write_file(tmp / "GParameter.csv", kCorrelated);
  write_file(tmp / "Pedigree&Record.csv", ped);
  const RunResult r = run_in(tmp.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(listed_lines(r.err).size(), 20u);
  EXPECT_NE(r.err.find("the index weights of 30 candidates are not determined"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("gainweights:   and 10 more\n"), std::string::npos) << r.err;
  // Skipping them all leaves nothing to average.
  const RunResult s = run_in(tmp.path(), "--skip-undetermined");
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.err.find("that is every candidate, so there is nothing to average"), std::string::npos) << s.err;
  EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
}

// Stops and advice that name the parameters or the trait to blame.
struct Stop {
  const char* name;
  std::string parameters, pedigree, args;
  int status;
  std::string console;  // fragment of standard output ("" = nothing beyond the start lines)
  std::vector<std::string> diagnostics;  // fragments of standard error, in this order
};

void PrintTo(const Stop& c, std::ostream* os) { *os << c.name; }

class ParameterStop : public ::testing::TestWithParam<Stop> {};

TEST_P(ParameterStop, NamesTheCauseAndWhatToDo) {
  const Stop& c = GetParam();
  TempDir tmp;
  write_file(tmp / "GParameter.csv", c.parameters);
  write_file(tmp / "Pedigree&Record.csv", c.pedigree);
  const RunResult r = run_in(tmp.path(), c.args);
  EXPECT_EQ(r.status, c.status) << r.err;
  const std::string out = mask_clock(r.out);
  EXPECT_EQ(out.substr(0, 34), "Date = YYYYMMDD  Time = hhmmss.s\n\n");
  EXPECT_EQ(out.substr(34), c.console);
  std::size_t at = 0;
  for (const std::string& d : c.diagnostics) {
    at = r.err.find(d, at);
    EXPECT_NE(at, std::string::npos) << d << "\nin\n" << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
}

const std::string kTwoAnimals = "1,0,0,1,1,1,1\n2,1,0,1,2,1,1\n";
const std::string kTraitTwoUnrecorded = "1,0,0,1,1,1,0\n2,1,0,1,2,1,0\n";
const std::string kSingularG0 =
    "gainweights: warning: GParameter.csv: the genetic covariance matrix is singular: traits 1 and 2 have a "
    "genetic correlation of 1";
const std::string kNoDeterminedCandidate =
    "gainweights: GParameter.csv: the genetic covariance matrix is singular (see the warning above), so no "
    "candidate's index weights are determined";
const std::string kRescale = "Rescale the parameters to values near 1: dividing every variance and covariance by a "
                             "factor f and every target K0 by the square root of f";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParameterStop,
    ::testing::Values(
        Stop{"trait_without_records", kCorrelated, kTraitTwoUnrecorded, "", 1, "",
             {"gainweights: Pedigree&Record.csv: no animal has a record of trait 2 (field 7, its record flag, is "
              "never 1)",
              "leave it out of both files (line 2 and field 4 of every line of GParameter.csv, field 7 of "
              "Pedigree&Record.csv)"}},
        Stop{"sparse_trait_without_records", kCorrelated, kTraitTwoUnrecorded, "--sparse", 1, "",
             {"no animal has a record of trait 2"}},
        Stop{"genetic_correlation_one", "1,10,3,0\n1,20,6,12\n", kTwoAnimals, "", 1, "",
             {kSingularG0, kNoDeterminedCandidate}},
        Stop{"sparse_genetic_correlation_one", "1,10,3,0\n1,20,6,12\n", kTwoAnimals, "--sparse", 1, "",
             {kSingularG0, kNoDeterminedCandidate}},
        Stop{"genetic_variance_zero", "1,10,3,0\n1,20,0,0\n", kTwoAnimals, "", 1, "",
             {"gainweights: warning: GParameter.csv: the genetic covariance matrix is singular: the genetic variance "
              "of trait 2 is 0, so the trait has no breeding value",
              kNoDeterminedCandidate}},
        Stop{"genetic_traits_dependent", "1,10,1,0,0\n1,10,0.5,1,0\n1,10,0.75,0.75,0.75\n",
             "1,0,0,1,1,1,1,1\n", "", 1, "",
             {"the genetic covariance matrix is singular: the genetic (co)variances of traits 1, 2 and 3 fix the "
              "breeding value of each of them by those of the others",
              kNoDeterminedCandidate}},
        // The absolute pivot threshold of the inversions stops tiny
        // variances; the console line stays as it is, the advice follows.
        Stop{"tiny_variances", "1,1e-11,3e-12,0\n1,2e-11,1e-12,4e-12\n", kTwoAnimals, "", 1,
             " Matrix is singular !\n", {"gainweights: GParameter.csv: the (co)variances are very small (the largest "
                                         "is 2e-11)", kRescale}},
        Stop{"sparse_tiny_variances", "1,1e-11,3e-12,0\n1,2e-11,1e-12,4e-12\n", kTwoAnimals, "--sparse", 1,
             " Matrix is singular !\n", {kRescale}},
        // Variances near 1e300 overflow the sums of a candidate's solve.
        Stop{"huge_variances", "1,1e300,3e299,0\n1,2e300,1e299,4e299\n", kTwoAnimals, "", 1,
             "No. iterations =        200\n",
             {"the (co)variances are very large (the largest is 2e+300)", kRescale}}),
    [](const auto& info) { return std::string(info.param.name); });

// A line of full-sib mating for `generations` generations, every animal
// recorded for both traits, the last pair candidates.
std::string full_sib_line(int generations) {
  std::string s = "1,0,0,0,1,1,1\n2,0,0,0,2,1,1\n";
  for (int g = 1, sire = 1, dam = 2; g <= generations; ++g, sire += 2, dam += 2) {
    const std::string flags = g == generations ? ",1" : ",0";
    s += std::to_string(2 * g + 1) + "," + std::to_string(sire) + "," + std::to_string(dam) + flags + ",1,1,1\n";
    s += std::to_string(2 * g + 2) + "," + std::to_string(sire) + "," + std::to_string(dam) + flags + ",2,1,1\n";
  }
  return s;
}

// Near complete inbreeding the sparse path loses accuracy: after 60
// generations of full-sib mating (parents' F = 1 - 4.3e-6) it still agrees
// with the dense path to 1e-9, even with heritabilities of 0.01; after 128
// (1 - 2.4e-12) it refuses the pedigree, which the dense path computes.
TEST(NearCompleteInbreeding, TheSparsePathAgreesOrRefuses) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", "1,100,1,0\n1,100,0.3,1\n");
  write_file(tmp / "Pedigree&Record.csv", full_sib_line(60));
  ASSERT_EQ(run_in(tmp.path()).status, 0);
  const auto dense = result_values(read_file(tmp / "Weighted_value.csv"));
  ASSERT_EQ(run_in(tmp.path(), "--sparse").status, 0);
  const auto sparse = result_values(read_file(tmp / "Weighted_value.csv"));
  for (std::size_t i = 0; i < dense.size(); ++i)
    for (std::size_t j = 0; j < dense[i].size(); ++j)
      EXPECT_NEAR(sparse[i][j], dense[i][j], 1e-9 * std::fabs(dense[i][j])) << i << "," << j;

  write_file(tmp / "GParameter.csv", kCorrelated);
  write_file(tmp / "Pedigree&Record.csv", full_sib_line(128));
  EXPECT_EQ(run_in(tmp.path()).status, 0);
  const RunResult r = run_in(tmp.path(), "--sparse");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the animal's parents are nearly completely inbred (their mean F is 0.999996 or more)"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace gw

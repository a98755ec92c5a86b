// The sparse path over MPI ranks (--sparse --distributed) against the
// sparse path in one process: every value written agrees to 1e-9 relative,
// the console report and the diagnostics are the same, the result is the
// same file from run to run for a given number of ranks, and the stops of
// its own (memory, out-of-core folder, command line). One rank runs without
// mpirun; two and three run under mpirun on this machine.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kit/memory_limit.hpp"
#include "kit/process.hpp"
#include "kit/herd.hpp"

namespace gw {
namespace {

using namespace gw::testing;

#if GAINWEIGHTS_MPI

const fs::path kCases = fs::path(GAINWEIGHTS_TEST_DATA) / "e2e";

// The program in `dir` on `ranks` ranks: one without mpirun (MPI then runs
// as a single process of its own), more under mpirun on this machine.
RunResult run_ranks(const fs::path& dir, int ranks, const std::string& args, const std::string& wrap = {}) {
  std::string command = "'" + program() + "' " + args;
  if (ranks > 1)
    command = "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 '" GAINWEIGHTS_MPIEXEC
              "' -q --oversubscribe -np " + std::to_string(ranks) + " " + command;
  // OpenMPI keeps some allocations to the end and unloads its plugins at
  // MPI_Finalize: with the plugins kept and whole allocation stacks, the
  // suppressions of scripts/test.sh recognise those reports as OpenMPI's.
  // That leak check takes about 2 s a process, so it runs in the one-rank
  // runs (the program's own code on rank 0, MUMPS and MPI included) and not
  // in every process of the runs on several ranks, which the address and
  // undefined-behaviour checks still cover.
  if (sanitized())
    command = std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:") +
              (ranks > 1 ? "detect_leaks=0" : "fast_unwind_on_malloc=0") +
              "\" OMPI_MCA_mca_base_component_disable_dlclose=1 " + command;
  if (!wrap.empty()) command = wrap + " " + command;
  return run_command_in(dir, command);
}

// Every number of two CSV or result files within 1e-9 relative, the text
// between them the same.
void expect_close(const std::string& a, const std::string& b) {
  const auto numbers = [](const std::string& text) {
    std::vector<std::string> words;
    std::string w;
    for (const char c : text + "\n") {
      if (c == ',' || c == ' ' || c == '\n') {
        words.push_back(w);
        w.clear();
      } else {
        w += c;
      }
    }
    return words;
  };
  const auto x = numbers(a), y = numbers(b);
  ASSERT_EQ(x.size(), y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    char* end = nullptr;
    const double u = std::strtod(x[i].c_str(), &end);
    if (x[i].empty() || *end != '\0') {
      EXPECT_EQ(x[i], y[i]) << "word " << i;
      continue;
    }
    const double v = std::strtod(y[i].c_str(), nullptr);
    if (std::isnan(v)) {
      EXPECT_TRUE(std::isnan(u)) << "word " << i;
      continue;
    }
    EXPECT_NEAR(u, v, 1e-9 * std::fabs(v)) << "word " << i << ": " << x[i] << " against " << y[i];
  }
}

struct Herd {
  const char* name;
  std::string fixture;  // a folder of tests/data/e2e, or empty: generated
  herd::Shape shape;
};

void PrintTo(const Herd& h, std::ostream* os) { *os << h.name; }

void write_herd(const Herd& h, const fs::path& dir) {
  if (!h.fixture.empty()) {
    for (const char* name : {"GParameter.csv", "Pedigree&Record.csv"})
      fs::copy_file(kCases / h.fixture / name, dir / name);
    return;
  }
  std::mt19937_64 rng(h.shape.seed);
  write_file(dir / "GParameter.csv", herd::parameter_file(h.shape, rng));
  write_file(dir / "Pedigree&Record.csv", herd::pedigree_file(h.shape, rng));
}

class Distributed : public ::testing::TestWithParam<std::tuple<Herd, int>> {};

// On 1, 2 and 3 ranks: the result file and the candidate file agree with
// the sparse path's, the console report is its own; on 2 and 3 ranks a
// second run writes the same files bit for bit.
TEST_P(Distributed, AgreesWithTheSparsePathAndRepeatsItself) {
  const auto& [herd, ranks] = GetParam();
  TempDir tmp;
  write_herd(herd, tmp.path());
  const RunResult sparse = run_in(tmp.path(), "--sparse --candidates c.csv");
  ASSERT_EQ(sparse.status, 0) << sparse.err;
  const std::string result = read_file(tmp / "Weighted_value.csv"), rows = read_file(tmp / "c.csv");
  fs::remove(tmp / "Weighted_value.csv");
  const RunResult d = run_ranks(tmp.path(), ranks, "--sparse --distributed --candidates c.csv");
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.err, "");
  EXPECT_EQ(mask_clock(d.out), mask_clock(sparse.out));
  const std::string first = read_file(tmp / "Weighted_value.csv"), first_rows = read_file(tmp / "c.csv");
  expect_close(first, result);
  expect_close(first_rows, rows);
  if (ranks == 1) return;
  ASSERT_EQ(run_ranks(tmp.path(), ranks, "--sparse --distributed --candidates c.csv").status, 0);
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), first);
  EXPECT_EQ(read_file(tmp / "c.csv"), first_rows);
}

INSTANTIATE_TEST_SUITE_P(Cases, Distributed,
                         ::testing::Combine(::testing::Values(Herd{"two_traits", "two_traits", {}},
                                                              Herd{"inbred", "inbred", {}},
                                                              Herd{"three_traits", "", {3, 800, 5, 0.1, 0.18, 12}},
                                                              Herd{"five_traits_half_missing", "",
                                                                   {5, 400, 4, 0.5, 0.3, 13}}),
                                            ::testing::Values(1, 2, 3)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_ranks";
                         });

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

struct Stop {
  const char* name;
  std::string parameters, pedigree, args;
};

void PrintTo(const Stop& s, std::ostream* os) { *os << s.name; }

class DistributedStop : public ::testing::TestWithParam<Stop> {};

// The sparse path's stops end a distributed run on two ranks the same way:
// the same exit status, console and diagnostics, and no result file.
TEST_P(DistributedStop, IsTheSparsePathsStop) {
  const Stop& s = GetParam();
  TempDir tmp;
  write_file(tmp / "GParameter.csv", s.parameters);
  write_file(tmp / "Pedigree&Record.csv", s.pedigree);
  const RunResult sparse = run_in(tmp.path(), "--sparse " + s.args);
  ASSERT_NE(sparse.status, 0);
  const RunResult d = run_ranks(tmp.path(), 2, "--sparse --distributed " + s.args);
  EXPECT_EQ(d.status, sparse.status);
  EXPECT_EQ(mask_clock(d.out), mask_clock(sparse.out));
  EXPECT_EQ(d.err, sparse.err);
  EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
}

const std::string kCorrelated = "1,10,3,0\n1,20,1.0392304845413265,4\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, DistributedStop,
    ::testing::Values(
        Stop{"genetic_not_positive_definite", "1,10,3,0\n1,20,8,4\n", "1,0,0,1,1,1,1\n2,1,0,1,2,1,1\n", ""},
        Stop{"residual_not_positive_definite", "1,2,3,0\n1,20,1,4\n", "1,0,0,1,1,1,1\n2,1,0,1,2,1,1\n", ""},
        Stop{"nearly_completely_inbred", kCorrelated, full_sib_line(128), ""},
        Stop{"undetermined_candidate", kCorrelated, "1,0,0,1,1,1,0\n2,0,0,1,2,1,1\n3,0,0,0,2,1,1\n", ""},
        Stop{"every_candidate_undetermined", kCorrelated, "1,0,0,1,1,1,0\n2,0,0,0,2,1,1\n",
             "--skip-undetermined"},
        // G0^-1 of 1e308 times A0^-1(3, 3) = 2 overflows.
        Stop{"equations_overflow", "1,1,1e-308,0\n1,1,0,1e-308\n", "1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2,1,1,1,0\n",
             ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Under a memory limit the run stops after MUMPS's analysis, before the
// factorisation, with exit status 3 and a message that says what the
// problem needs on this host, how many machines like it, and what it needs
// with the factor on disk; an earlier result stays.
TEST(DistributedMemory, AFactorThatDoesNotFitIsRefusedWithWhatItNeeds) {
  if (sanitized()) GTEST_SKIP() << "the sanitizer's shadow memory does not fit the limit";
  MemoryLimit limit(300'000'000);
  if (!limit.ok()) GTEST_SKIP() << "cannot make a memory control group here";
  TempDir tmp;
  write_dense_herd(tmp.path(), 2500);
  write_file(tmp / "Weighted_value.csv", "earlier result\n");
  const RunResult r = run_ranks(tmp.path(), 2, "--sparse --distributed", limit.prefix());
  EXPECT_EQ(r.status, 3) << r.err;
  for (const char* part : {"gainweights: not enough memory: the factor of the mixed-model equations of 2500 animals "
                           "and 10 traits on 2 ranks needs ",
                           "MUMPS's estimate after its analysis), but only ", "at least ",
                           "or keep the factor on disk with --out-of-core DIR, which needs about "})
    EXPECT_NE(r.err.find(part), std::string::npos) << part << "\nin\n" << r.err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), "earlier result\n");
}

// With the factor on disk the run writes the file of the run in memory, to
// rounding, and leaves nothing in the folder; a folder of a long path and one
// of a path shorter than the placeholder MUMPS puts in its place.
TEST(DistributedOutOfCore, WritesTheSameResultAndCleansUp) {
  TempDir tmp;
  write_herd(Herd{"three_traits", "", {3, 800, 5, 0.1, 0.18, 12}}, tmp.path());
  ASSERT_EQ(run_in(tmp.path(), "--sparse").status, 0);
  const std::string result = read_file(tmp / "Weighted_value.csv");
  const fs::path near = tmp / "factor", short_path = "/tmp/gw" + std::to_string(::getpid());
  for (const fs::path& folder : {near, short_path}) {
    SCOPED_TRACE(folder.string());
    fs::create_directory(folder);
    fs::remove(tmp / "Weighted_value.csv");
    const RunResult r = run_ranks(tmp.path(), 2, "--sparse --distributed --out-of-core " + folder.string());
    EXPECT_EQ(r.status, 0) << r.err;
    expect_close(read_file(tmp / "Weighted_value.csv"), result);
    EXPECT_TRUE(fs::is_empty(folder));
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
}

TEST(DistributedCommandLine, RefusesWhatItCannotRun) {
  TempDir tmp;
  write_herd(Herd{"two_traits", "two_traits", {}}, tmp.path());
  struct Case {
    int ranks;
    std::string args, message;
  };
  // On two ranks, the workers end with rank 0 without a word of their own.
  for (const Case& c :
       {Case{1, "--distributed", "--distributed runs the sparse path over MPI ranks: give --sparse"},
        Case{1, "--sparse --out-of-core .", "--out-of-core keeps the factor of a distributed run on disk"},
        Case{2, "--sparse --distributed --out-of-core missing", "--out-of-core missing: no such folder"},
        Case{2, "--sparse --distributed --out-of-core a --out-of-core b", "--out-of-core is given twice"}}) {
    const RunResult r = run_ranks(tmp.path(), c.ranks, c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err.find("gainweights:"), r.err.rfind("gainweights:")) << "one rank's words only\n" << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp / "Weighted_value.csv"));
}

#else

TEST(DistributedCommandLine, IsNotAvailableInThisBuild) {
  TempDir tmp;
  const RunResult r = run_in(tmp.path(), "--sparse --distributed");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--distributed is not available in this build"), std::string::npos) << r.err;
}

#endif

}  // namespace
}  // namespace gw

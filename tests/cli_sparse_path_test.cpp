// Whole runs of the sparse path (--sparse) against the dense path: every
// value written agrees to 1e-9 relative, the console report is the same but
// for the dense inversion's progress lines, and the path's own failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "kit/memory_limit.hpp"
#include "kit/process.hpp"
#include "kit/herd.hpp"

namespace gw {
namespace {

using namespace gw::testing;

const fs::path kCases = fs::path(GAINWEIGHTS_TEST_DATA) / "e2e";

// Every value of two result files within `tolerance` relative (NaN = NaN).
void expect_close(const std::string& sparse, const std::string& dense, double tolerance = 1e-9) {
  const auto a = result_values(sparse), b = result_values(dense);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), 4u);
    ASSERT_EQ(b[i].size(), 4u);
    for (std::size_t j = 0; j < 4; ++j) {
      if (std::isnan(b[i][j])) {
        EXPECT_TRUE(std::isnan(a[i][j])) << "line " << i + 1 << " column " << j + 1;
        continue;
      }
      EXPECT_NEAR(a[i][j], b[i][j], tolerance * std::fabs(b[i][j])) << "line " << i + 1 << " column " << j + 1;
    }
  }
}

// The console report without the progress lines of the dense inversion.
std::string without_progress(const std::string& console) {
  std::string out;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);)
    if (line.size() < 2 || line[0] != ' ' || line.find_first_not_of("0123456789", 1) != std::string::npos)
      out += line + "\n";
  return mask_clock(out);
}

void copy_inputs(const fs::path& from, const fs::path& to) {
  for (const char* name : {"GParameter.csv", "Pedigree&Record.csv"}) fs::copy_file(from / name, to / name);
}

class SparseFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(SparseFixture, AgreesWithTheDensePath) {
  TempDir tmp;
  copy_inputs(kCases / GetParam(), tmp.path());
  const RunResult dense = run_in(tmp.path());
  ASSERT_EQ(dense.status, 0) << dense.err;
  const RunResult sparse = run_in(tmp.path(), "--sparse");
  EXPECT_EQ(sparse.status, 0) << sparse.err;
  EXPECT_EQ(sparse.err, "");
  EXPECT_EQ(mask_clock(sparse.out), without_progress(dense.out));
  expect_close(read_file(tmp / "Weighted_value.csv"), read_file(kCases / GetParam() / "expected.csv"));
}

INSTANTIATE_TEST_SUITE_P(Cases, SparseFixture,
                         ::testing::Values("two_traits", "unrelated_all_records", "one_trait", "no_record_link",
                                           "sparse_trait", "odd_flags", "one_group", "inbred"),
                         [](const auto& info) { return info.param; });

struct HerdCase {
  const char* name;
  herd::Shape shape;
};

// A case shows as its name in the test output.
void PrintTo(const HerdCase& c, std::ostream* os) { *os << c.name; }

class SparseHerd : public ::testing::TestWithParam<HerdCase> {};

// Generated herds, dense against sparse; the sparse result is the same file
// from run to run.
TEST_P(SparseHerd, AgreesWithTheDensePathAndRepeatsItself) {
  const herd::Shape& shape = GetParam().shape;
  TempDir tmp;
  std::mt19937_64 rng(shape.seed);
  write_file(tmp / "GParameter.csv", herd::parameter_file(shape, rng));
  write_file(tmp / "Pedigree&Record.csv", herd::pedigree_file(shape, rng));
  const RunResult dense = run_in(tmp.path());
  ASSERT_EQ(dense.status, 0) << dense.err;
  const std::string dense_file = read_file(tmp / "Weighted_value.csv");
  const RunResult sparse = run_in(tmp.path(), "--sparse");
  ASSERT_EQ(sparse.status, 0) << sparse.err;
  EXPECT_EQ(mask_clock(sparse.out), without_progress(dense.out));
  const std::string sparse_file = read_file(tmp / "Weighted_value.csv");
  expect_close(sparse_file, dense_file);
  ASSERT_EQ(run_in(tmp.path(), "--sparse").status, 0);
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), sparse_file);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SparseHerd,
    ::testing::Values(HerdCase{"one_trait", {1, 900, 6, 0.2, 0.2, 11}},
                      HerdCase{"three_traits", {3, 800, 5, 0.1, 0.18, 12}},
                      HerdCase{"five_traits_half_missing", {5, 500, 4, 0.5, 0.3, 13}}),
    [](const auto& info) { return std::string(info.param.name); });

// A pedigree of random matings over all earlier animals fills the factor:
// with ten traits the factor needs about 185 MB while everything before it
// needs a few MB. Under a 64 MB limit the run must stop at the check with
// exit status 3 and the bytes needed and available, before the factor is
// allocated.
TEST(SparseMemory, AFactorThatDoesNotFitIsRefusedBeforeItIsAllocated) {
  if (sanitized()) GTEST_SKIP() << "the sanitizer's shadow memory does not fit the limit";
  MemoryLimit limit(64'000'000);
  if (!limit.ok()) GTEST_SKIP() << "cannot make a memory control group here";
  TempDir tmp;
  write_dense_herd(tmp.path(), 1500);
  write_file(tmp / "Weighted_value.csv", "earlier result\n");
  const std::string cmd = "cd '" + tmp.path().string() + "' && " + limit.wrap("'" + program() + "' --sparse") +
                          " >/dev/null 2>'" + (tmp / "err").string() + "'";
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 3);
  const std::string err = read_file(tmp / "err");
  EXPECT_NE(err.find("not enough memory: the factor of the mixed-model equations of 1500 animals and 10 traits"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("bytes, but only"), std::string::npos) << err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), "earlier result\n");
}

TEST(SparseCommandLine, HelpDescribesThePathAndItsAgreement) {
  TempDir tmp;
  const RunResult r = run_in(tmp.path(), "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--sparse"), std::string::npos);
  EXPECT_NE(r.out.find("not bit for bit"), std::string::npos);
  const RunResult late_help = run_in(tmp.path(), "--sparse --help");
  EXPECT_EQ(late_help.status, 0);
  EXPECT_EQ(late_help.out, r.out);
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
}  // namespace gw

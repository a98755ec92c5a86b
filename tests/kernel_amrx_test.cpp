// Relationship matrix by the tabular method.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.hpp"

namespace gw {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Row-wise tabular method, element by element, as the reference: row
// segment of animal i from the parents' rows, then copied into column i.
std::vector<double> reference_amrx(const std::vector<std::int32_t>& id1, const std::vector<std::int32_t>& id2) {
  const int n = static_cast<int>(id1.size());
  std::vector<double> a(static_cast<std::size_t>(n) * n, 0.0);
  auto at = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * n]; };
  for (int i = 0; i < n; ++i) at(i, i) = 1.0;
  for (int i = 0; i < n; ++i) {
    const int s = id1[i], d = id2[i];
    if (s == 0 && d == 0) continue;
    if (s != 0 && d != 0) {
      at(i, i) = 1.0 + at(s - 1, d - 1) / 2.0;
      for (int j = 0; j < i; ++j) at(i, j) = (at(d - 1, j) + at(s - 1, j)) / 2.0;
    } else {
      const int par = (s != 0 ? s : d) - 1;
      for (int j = 0; j < i; ++j) at(i, j) = at(par, j) / 2.0;
    }
    for (int j = 0; j < i; ++j) at(j, i) = at(i, j);
  }
  return a;
}

struct Pedigree {
  const char* name;
  std::vector<std::int32_t> id1, id2;
  std::vector<double> expected;  // row by row, in eighths
};

// A case shows as its name in the test output.
void PrintTo(const Pedigree& c, std::ostream* os) { *os << c.name; }

class AmrxExample : public ::testing::TestWithParam<Pedigree> {};

// The matrix goes into a view with larger extents and a larger leading
// dimension, pre-filled with NaN: the whole extent must be cleared and only
// the leading block filled.
TEST_P(AmrxExample, FillsLeadingBlockAndClearsTheRest) {
  const Pedigree& ped = GetParam();
  const int n = static_cast<int>(ped.id1.size());
  const std::int64_t rows = n + 2, cols = n + 3, ld = rows + 1;
  std::vector<double> store(static_cast<std::size_t>(ld * cols), kNaN);
  MatView a(store.data(), rows, cols, ld);

  amrx(ped.id1.data(), ped.id2.data(), a, n);

  for (std::int64_t j = 0; j < cols; ++j)
    for (std::int64_t i = 0; i < rows; ++i) {
      const double want = (i < n && j < n) ? ped.expected[static_cast<std::size_t>(i * n + j)] / 8.0 : 0.0;
      EXPECT_EQ(a(i, j), want) << ped.name << " (" << i << ", " << j << ")";
    }
  // Padding between the extent and the leading dimension is not touched.
  for (std::int64_t j = 0; j < cols; ++j) EXPECT_TRUE(std::isnan(store[static_cast<std::size_t>(rows + j * ld)]));
}

INSTANTIATE_TEST_SUITE_P(
    Pedigrees, AmrxExample,
    ::testing::Values(
        // 5 is the offspring of the full sibs 3 and 4 (A(5,5) = 1.25),
        // 6 a half sib of 3 and 4, 7 has only its second parent known.
        Pedigree{"seven animals",
                 {0, 0, 1, 1, 3, 1, 0},
                 {0, 0, 2, 2, 4, 0, 5},
                 {8, 0, 4, 4, 4,  4, 2,  //
                  0, 8, 4, 4, 4,  0, 2,  //
                  4, 4, 8, 4, 6,  2, 3,  //
                  4, 4, 4, 8, 6,  2, 3,  //
                  4, 4, 6, 6, 10, 2, 5,  //
                  4, 0, 2, 2, 2,  8, 1,  //
                  2, 2, 3, 3, 5,  1, 8}},
        // A founder after related animals gets exactly a founder's row.
        Pedigree{"late founder", {0, 0, 1, 0}, {0, 0, 2, 0}, {8, 0, 4, 0, 0, 8, 4, 0, 4, 4, 8, 0, 0, 0, 0, 8}},
        // Selfing: both codes name the same parent.
        Pedigree{"selfing", {0, 1}, {0, 1}, {8, 8, 8, 12}},
        Pedigree{"single animal", {0}, {0}, {8}},
        Pedigree{"no animals", {}, {}, {}}),
    [](const auto& info) {
      std::string s = info.param.name;
      for (char& c : s)
        if (c == ' ') c = '_';
      return s;
    });

// A random, deep pedigree against the row-wise reference, bit for bit; and
// exchanging the two parent codes of every animal changes nothing.
TEST(Amrx, RandomPedigreeMatchesRowWiseMethodAndParentsAreSymmetric) {
  std::mt19937 rng(20240611);
  const int n = 150;
  std::vector<std::int32_t> id1(n), id2(n);
  for (int i = 0; i < n; ++i) {
    std::uniform_int_distribution<int> code(0, i);
    id1[i] = i < 5 ? 0 : code(rng);
    id2[i] = i < 5 ? 0 : code(rng);
    if (i % 7 == 0) id2[i] = 0;  // some animals with one parent unknown
  }
  const std::vector<double> want = reference_amrx(id1, id2);

  std::vector<double> got(static_cast<std::size_t>(n) * n, kNaN), swapped(got);
  amrx(id1.data(), id2.data(), MatView(got.data(), n, n), n);
  amrx(id2.data(), id1.data(), MatView(swapped.data(), n, n), n);
  for (std::size_t e = 0; e < want.size(); ++e) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[e]), std::bit_cast<std::uint64_t>(want[e])) << "element " << e;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(swapped[e]), std::bit_cast<std::uint64_t>(want[e])) << "element " << e;
  }
}

}  // namespace
}  // namespace gw

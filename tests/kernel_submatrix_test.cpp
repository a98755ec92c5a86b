// Kronecker product, compaction (cutm) and expansion (addm).
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

constexpr double kSentinel = -999.0;

bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }

// A column-major test matrix with its own storage; ld may exceed rows.
struct Mat {
  std::int64_t rows, cols, ld;
  std::vector<double> v;
  Mat(std::int64_t r, std::int64_t c, std::int64_t l, double fill = kSentinel)
      : rows(r), cols(c), ld(l), v(static_cast<std::size_t>(l * c), fill) {}
  double& operator()(std::int64_t i, std::int64_t j) { return v[static_cast<std::size_t>(i + j * ld)]; }
  MatView view() { return {v.data(), rows, cols, ld}; }
};

Mat random_mat(std::mt19937& rng, std::int64_t rows, std::int64_t cols, std::int64_t ld) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Mat m(rows, cols, ld);
  for (double& x : m.v) x = u(rng);
  return m;
}

// ---------------------------------------------------------------- kron

TEST(Kron, TwoByTwoExample) {
  Mat a(2, 2, 2), b(2, 2, 2), p(4, 4, 4);
  a(0, 0) = 1, a(0, 1) = 2, a(1, 0) = 3, a(1, 1) = 4;
  b(0, 0) = 0, b(0, 1) = 5, b(1, 0) = 6, b(1, 1) = 7;
  kron(a.view(), b.view(), p.view(), 2, 2, 2, 2);
  const double want[4][4] = {{0, 5, 0, 10}, {6, 7, 12, 14}, {0, 15, 0, 20}, {18, 21, 24, 28}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(p(i, j), want[i][j]) << i << "," << j;
}

// Non-square factors inside larger arrays: every element of the product
// block is a(i, j) * b(k, l) at ((i*s)+k, (j*t)+l); nothing else is written.
TEST(Kron, BlockPlacementAndNothingOutside) {
  struct Case { int m, n, s, t; };
  for (const Case c : {Case{2, 3, 3, 2}, Case{1, 4, 2, 1}, Case{0, 2, 2, 2}, Case{2, 2, 0, 3}, Case{3, 0, 1, 1}}) {
    std::mt19937 rng(7);
    Mat a = random_mat(rng, c.m + 1, c.n + 1, c.m + 2), b = random_mat(rng, c.s + 1, c.t + 2, c.s + 1);
    Mat p(c.m * c.s + 2, c.n * c.t + 1, c.m * c.s + 3);
    kron(a.view(), b.view(), p.view(), c.m, c.n, c.s, c.t);
    for (std::int64_t j = 0; j < p.cols; ++j)
      for (std::int64_t i = 0; i < p.ld; ++i) {
        const bool inside = i < c.m * c.s && j < c.n * c.t;
        const double want = inside ? a(i / c.s, j / c.t) * b(i % c.s, j % c.t) : kSentinel;
        EXPECT_TRUE(same_bits(p(i, j), want)) << c.m << c.n << c.s << c.t << " at " << i << "," << j;
      }
  }
}

// ------------------------------------------------------- cutm and addm

// Flags of q animals by p traits, column-major like the matrices.
struct Flags {
  int p, q;
  std::vector<std::int32_t> f;
  ConstIntMatView view() const { return {f.data(), q, p, q}; }
};

Flags random_flags(std::mt19937& rng, int p, int q) {
  const std::int32_t values[] = {1, 1, 0, 2, -1};
  std::uniform_int_distribution<int> pick(0, 4);
  Flags fl{p, q, std::vector<std::int32_t>(static_cast<std::size_t>(p) * q)};
  for (auto& x : fl.f) x = values[pick(rng)];
  return fl;
}

// The element-by-element shifting procedure, one removed position at a
// time over the whole extent of M (1-based indices as in the procedure).
int shifting_cutm(Mat& m, const Flags& fl) {
  auto col_copy = [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t i = 1; i <= m.rows; ++i) m(i - 1, to - 1) = m(i - 1, from - 1);
  };
  auto row_copy = [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t j = 1; j <= m.cols; ++j) m(to - 1, j - 1) = m(from - 1, j - 1);
  };
  int k = 0;
  for (int a = fl.p; a >= 1; --a)
    for (int b = fl.q; b >= 1; --b) {
      const std::int64_t r = static_cast<std::int64_t>(a - 1) * fl.q + b;
      if (fl.f[static_cast<std::size_t>(r - 1)] == 1) {
        ++k;
      } else {
        for (std::int64_t x = 1; x <= k; ++x) {
          col_copy(r + x, r + x - 1);
          row_copy(r + x, r + x - 1);
        }
      }
    }
  return k;
}

void shifting_addm(Mat& m, const Flags& fl, int k) {
  int w = k;
  for (int a = 1; a <= fl.p; ++a)
    for (int b = 1; b <= fl.q; ++b) {
      const std::int64_t r = static_cast<std::int64_t>(a - 1) * fl.q + b;
      if (fl.f[static_cast<std::size_t>(r - 1)] == 1) {
        --w;
      } else {
        for (std::int64_t x = r + w - 1; x >= r; --x) {
          for (std::int64_t i = 1; i <= m.rows; ++i) m(i - 1, x) = m(i - 1, x - 1);
          for (std::int64_t j = 1; j <= m.cols; ++j) m(x, j - 1) = m(x - 1, j - 1);
        }
        for (std::int64_t i = 1; i <= m.rows; ++i) m(i - 1, r - 1) = 0.0;
        for (std::int64_t j = 1; j <= m.cols; ++j) m(r - 1, j - 1) = 0.0;
      }
    }
}

int count_kept(const Flags& fl) {
  int k = 0;
  for (auto x : fl.f) k += x == 1;
  return k;
}

struct SmallCase {
  const char* name;
  std::vector<std::int32_t> flags;  // p = 1, q = 3
  std::vector<int> kept;            // kept positions, ascending
};

// A case shows as its name in the test output.
void PrintTo(const SmallCase& c, std::ostream* os) { *os << c.name; }

class CutmAddmSmall : public ::testing::TestWithParam<SmallCase> {};

TEST_P(CutmAddmSmall, CompactsAndExpands) {
  const SmallCase& c = GetParam();
  const Flags fl{1, 3, c.flags};
  Mat m(3, 3, 3);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) m(i, j) = 10 * (i + 1) + (j + 1);
  const Mat entry = m;

  const int k = cutm(m.view(), fl.view(), 1, 3);
  ASSERT_EQ(k, static_cast<int>(c.kept.size()));
  for (int b = 0; b < k; ++b)
    for (int a = 0; a < k; ++a) EXPECT_EQ(m(b, a), entry.v[c.kept[b] + 3 * c.kept[a]]) << b << "," << a;

  addm(m.view(), fl.view(), 1, 3, k);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      const bool keep = c.flags[i] == 1 && c.flags[j] == 1;
      EXPECT_EQ(m(i, j), keep ? entry.v[i + 3 * j] : 0.0) << i << "," << j;
    }
}

INSTANTIATE_TEST_SUITE_P(ThreePositions, CutmAddmSmall,
                         ::testing::Values(SmallCase{"drop_last", {1, 1, 0}, {0, 1}},
                                           SmallCase{"drop_first", {0, 1, 1}, {1, 2}},
                                           SmallCase{"drop_middle_by_2", {1, 2, 1}, {0, 2}},
                                           SmallCase{"keep_all", {1, 1, 1}, {0, 1, 2}},
                                           SmallCase{"keep_none", {0, -1, 2}, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Random matrices and flags, with extents larger than p*q (and rows !=
// cols): cutm matches the shifting procedure in the leading k x k block,
// addm matches it over the whole array bit for bit, and cutm followed by
// addm zeroes exactly the removed rows and columns, keeping the rest.
TEST(CutmAddm, RandomAgainstShiftingProcedure) {
  std::mt19937 rng(99);
  struct Shape { int p, q, extra_rows, extra_cols; };
  for (const Shape s : {Shape{1, 1, 0, 0}, Shape{2, 3, 0, 0}, Shape{3, 4, 2, 3}, Shape{4, 5, 3, 1}, Shape{2, 9, 1, 4}}) {
    for (int trial = 0; trial < 8; ++trial) {
      const Flags fl = random_flags(rng, s.p, s.q);
      const int np = s.p * s.q;
      const std::int64_t rows = np + s.extra_rows, cols = np + s.extra_cols, ld = rows + trial % 2;
      const Mat entry = random_mat(rng, rows, cols, ld);
      const int kept = count_kept(fl);
      SCOPED_TRACE(::testing::Message() << "p=" << s.p << " q=" << s.q << " trial " << trial << " k=" << kept);

      // cutm
      Mat ours = entry, ref = entry;
      const int k = cutm(ours.view(), fl.view(), s.p, s.q);
      ASSERT_EQ(k, kept);
      ASSERT_EQ(shifting_cutm(ref, fl), kept);
      for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) ASSERT_TRUE(same_bits(ours(i, j), ref(i, j))) << "cutm " << i << "," << j;

      // addm on an arbitrary matrix, over the whole array (padding too)
      Mat ours2 = entry, ref2 = entry;
      addm(ours2.view(), fl.view(), s.p, s.q, k);
      shifting_addm(ref2, fl, k);
      for (std::size_t e = 0; e < ref2.v.size(); ++e) ASSERT_TRUE(same_bits(ours2.v[e], ref2.v[e])) << "addm element " << e;

      // round trip
      addm(ours.view(), fl.view(), s.p, s.q, k);
      for (std::int64_t j = 0; j < cols; ++j)
        for (std::int64_t i = 0; i < rows; ++i) {
          const bool removed = (i < np && fl.f[static_cast<std::size_t>(i)] != 1) || (j < np && fl.f[static_cast<std::size_t>(j)] != 1);
          ASSERT_TRUE(same_bits(ours(i, j), removed ? 0.0 : entry.v[static_cast<std::size_t>(i + j * ld)]))
              << "round trip " << i << "," << j;
        }
    }
  }
}

}  // namespace
}  // namespace gw

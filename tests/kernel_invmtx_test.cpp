// Gauss-Jordan inversion: every case runs against both invmtx and
// invmtx_plain.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/fatal.hpp"
#include "kernels/kernels.hpp"
#include "kit/reference_model.hpp"

namespace gw {
namespace {

using InvertFn = void (*)(int, ConstMatView, MatView, const PivotSteps&);

struct Inverter {
  const char* name;
  InvertFn fn;
};

bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }

struct Mat {
  std::int64_t rows, cols, ld;
  std::vector<double> v;
  Mat(std::int64_t r, std::int64_t c, std::int64_t l, double fill = 0.0)
      : rows(r), cols(c), ld(l), v(static_cast<std::size_t>(l * c), fill) {}
  Mat(std::int64_t n, std::initializer_list<double> row_major) : Mat(n, n, n) {
    auto it = row_major.begin();
    for (std::int64_t i = 0; i < n; ++i)
      for (std::int64_t j = 0; j < n; ++j) (*this)(i, j) = *it++;
  }
  double& operator()(std::int64_t i, std::int64_t j) { return v[static_cast<std::size_t>(i + j * ld)]; }
  MatView view() { return {v.data(), rows, cols, ld}; }
  ConstMatView cview() const { return {v.data(), rows, cols, ld}; }
};

// The test kit's literal elimination (whole-row exchanges, the pivot row
// shifted left and divided, every other row updated in ascending row and
// column order, then the column exchanges) on the leading n x n block of
// `w`. Used to check both forms bit for bit on random input. Returns false
// where the run would stop as singular.
bool reference_invert(int n, Mat& w) {
  reference::Mat a(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) a(i, j) = w(i, j);
  try {
    const reference::Mat inverse = reference::invert(a);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) w(i, j) = inverse(i, j);
  } catch (const reference::Stop&) {
    return false;
  }
  return true;
}

// A case shows as its name in the test output.
void PrintTo(const Inverter& c, std::ostream* os) { *os << c.name; }

class Inversion : public ::testing::TestWithParam<Inverter> {
 protected:
  void invert(int n, const Mat& a, Mat& b, const PivotSteps& progress = {}) { GetParam().fn(n, a.cview(), b.view(), progress); }

  // Runs an inversion that must stop; returns the fatal text.
  std::string stop_text(int n, const Mat& a, Mat& b) {
    try {
      invert(n, a, b);
    } catch (const FatalError& e) {
      EXPECT_EQ(e.status(), ExitStatus::failure);
      EXPECT_EQ(e.channel(), Channel::console);
      return e.text();
    }
    ADD_FAILURE() << "the inversion returned";
    return {};
  }
};

TEST_P(Inversion, SmallExamples) {
  struct Case {
    const char* name;
    Mat a;
    std::vector<double> inverse;  // row-major
  };
  const Case cases[] = {
      // Equal |values| in column 1: the first row is the pivot.
      {"tie", Mat(2, {-2, 1, 2, 3}), {-0.375, 0.125, 0.25, 0.25}},
      {"exchange", Mat(2, {0, 1, 1, 0}), {0, 1, 1, 0}},
      {"one", Mat(1, {-4}), {-0.25}},
      {"three", Mat(3, {2, 0, 0, 0, 4, 0, 0, 0, 8}), {0.5, 0, 0, 0, 0.25, 0, 0, 0, 0.125}},
  };
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.a.rows);
    Mat b(n, n, n, 7.0);
    invert(n, c.a, b);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) EXPECT_EQ(b(i, j), c.inverse[static_cast<std::size_t>(i * n + j)]) << c.name << " " << i << "," << j;
  }
}

// n = 1 writes b(0,0) only; for n >= 2 the leading block holds the inverse
// and every other element of b (extent and leading dimension larger than
// n) equals a's. a is never changed.
TEST_P(Inversion, LeadingBlockInsideLargerArrays) {
  for (const int n : {1, 2, 5}) {
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Mat a(n + 2, n + 3, n + 4);
    for (double& x : a.v) x = u(rng);
    for (int i = 0; i < n; ++i) a(i, i) += 4.0;
    const Mat a_before = a;
    Mat b(n + 2, n + 3, n + 4, 123.0);

    invert(n, a, b);

    Mat want = a;
    ASSERT_TRUE(reference_invert(n, want));
    for (std::int64_t j = 0; j < b.cols; ++j)
      for (std::int64_t i = 0; i < b.ld; ++i) {
        double expect;
        if (i < n && j < n)
          expect = want(i, j);
        else if (n == 1 || i >= b.rows)
          expect = 123.0;  // n = 1 writes one element; padding is never written
        else
          expect = a(i, j);
        EXPECT_TRUE(same_bits(b(i, j), expect)) << "n=" << n << " (" << i << ", " << j << ")";
      }
    EXPECT_EQ(a.v, a_before.v);
  }
}

// Random matrices against the written-out elimination, bit for bit, with
// small integers so that pivot ties and exact zeros occur; and the same
// array as input and output gives the same bits.
TEST_P(Inversion, RandomMatchesEliminationAndAliasing) {
  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int checked = 0;
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 2 + trial % 11;
    Mat a(n, n, n + trial % 3);
    for (double& x : a.v) x = trial % 2 ? small(rng) : u(rng);
    Mat want = a;
    const bool regular = reference_invert(n, want);
    Mat separate(a.rows, a.cols, a.ld, -1.0);
    if (!regular) {
      EXPECT_EQ(stop_text(n, a, separate), " Matrix is singular !") << "trial " << trial;
      continue;
    }
    invert(n, a, separate);
    Mat in_place = a;
    GetParam().fn(n, in_place.cview(), in_place.view(), {});
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bits(separate(i, j), want(i, j))) << "trial " << trial << " (" << i << ", " << j << ")";
        ASSERT_TRUE(same_bits(in_place(i, j), want(i, j))) << "aliased, trial " << trial << " (" << i << ", " << j << ")";
      }
    ++checked;
  }
  EXPECT_GT(checked, 40);
}

// The threshold is 1e-12 rounded to single precision: a pivot of exactly
// that size passes, the next double below stops the run. Tested at the
// first and at the last pivot step, and for n = 1.
TEST_P(Inversion, SingularThresholdIsExact) {
  const double thr = 9.999999960041972e-13;
  ASSERT_EQ(kSingularThreshold, thr);
  const double below = std::nextafter(thr, 0.0);
  struct Case { int n; double a00, a11; };
  for (const double pivot : {thr, -thr, below, -below}) {
    const bool passes = std::fabs(pivot) == thr;
    for (const Case c : {Case{1, pivot, 0}, Case{2, pivot, 1}, Case{2, 1, pivot}}) {
      Mat a = c.n == 1 ? Mat(1, {c.a00}) : Mat(2, {c.a00, 0, 0, c.a11});
      Mat b(c.n, c.n, c.n);
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " pivot=" << pivot);
      if (passes) {
        invert(c.n, a, b);
        EXPECT_EQ(b(c.n - 1, c.n - 1), 1.0 / (c.n == 1 ? c.a00 : c.a11));
        EXPECT_EQ(b(0, 0), 1.0 / c.a00);
      } else {
        EXPECT_EQ(stop_text(c.n, a, b), " Matrix is singular !");
      }
    }
  }
}

TEST_P(Inversion, Stops) {
  struct Case {
    const char* name;
    int n;
    Mat a;
    std::string text;
  };
  const std::string order = " Order of matrix is less than 1 !";
  const std::string singular = " Matrix is singular !";
  const Case cases[] = {
      {"order 0", 0, Mat(2, {1, 0, 0, 1}), order},
      {"negative order", -3, Mat(2, {1, 0, 0, 1}), order},
      {"zero column", 2, Mat(2, {1, 0, 2, 0}), singular},
      {"zero row", 3, Mat(3, {1, 2, 3, 0, 0, 0, 4, 5, 7}), singular},
      {"dependent rows", 2, Mat(2, {1, 2, 2, 4}), singular},
      {"NaN column", 2, Mat(2, {std::nan(""), 1, std::nan(""), 1}), singular},
      {"1x1 zero", 1, Mat(1, {0.0}), singular},
  };
  for (const Case& c : cases) {
    Mat b(c.a.rows, c.a.cols, c.a.ld, 5.0);
    EXPECT_EQ(stop_text(c.n, c.a, b), c.text) << c.name;
    if (c.n < 1) {
      EXPECT_EQ(b.v, std::vector<double>(b.v.size(), 5.0)) << c.name << ": b must be untouched";
    }
  }
}

// Progress after every 100th pivot step, in order; none for n = 99.
TEST_P(Inversion, ProgressEveryHundredSteps) {
  for (const int n : {99, 250}) {
    Mat a(n, n, n);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) a(i, j) = i == j ? n : 1.0 / (1 + i + j);
    Mat b(n, n, n);
    std::vector<int> seen;
    invert(n, a, b, [&](int step) { seen.push_back(step); });
    const std::vector<int> want = n == 99 ? std::vector<int>() : std::vector<int>({100, 200});
    EXPECT_EQ(seen, want) << "n=" << n;
  }
}

INSTANTIATE_TEST_SUITE_P(BothForms, Inversion,
                         ::testing::Values(Inverter{"invmtx", &invmtx}, Inverter{"invmtx_plain", &invmtx_plain}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gw

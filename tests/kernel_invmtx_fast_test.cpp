// The blocked inversion against the one-step-at-a-time form, bit for bit:
// the whole output array, the progress calls and the stop, over orders,
// blockings, thread counts, every kernel set the processor runs, array
// shapes and awkward values.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/fatal.hpp"
#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"

namespace {

using gw::ConstMatView;
using gw::MatView;
using gw::invmtx_detail::Blocking;
using gw::KernelSet;

// Array shape around the order n that is inverted.
struct Shape {
  int n;
  std::int64_t rows, cols, ld;
  bool alias = false;  // invert in place: a and b are the same array
};

Shape square(int n) { return {n, n, n, n}; }

struct Outcome {
  std::vector<double> b;  // the whole buffer of b, padding rows included
  std::vector<double> a;  // the whole buffer of a afterwards
  std::vector<int> progress;
  std::string stop;  // text of the exception that ended the call, if any
};

using Inversion = void (*)(int, ConstMatView, MatView, const gw::PivotSteps&, const Blocking&);

void plain(int n, ConstMatView a, MatView b, const gw::PivotSteps& progress, const Blocking&) {
  gw::invmtx_plain(n, a, b, progress);
}

// Runs an inversion on copies of the two buffers; the progress callback
// records the steps and throws once it sees `throw_at`.
Outcome run(Inversion inv, const Shape& s, const std::vector<double>& a0, const std::vector<double>& b0,
            const Blocking& blocking = {}, int throw_at = -1) {
  Outcome o;
  o.a = a0;
  o.b = s.alias ? a0 : b0;
  double* bdata = s.alias ? o.a.data() : o.b.data();
  ConstMatView a(o.a.data(), s.rows, s.cols, s.ld);
  MatView b(bdata, s.rows, s.cols, s.ld);
  auto progress = [&](int k) {
    o.progress.push_back(k);
    if (k == throw_at) throw std::runtime_error("progress " + std::to_string(k));
  };
  try {
    inv(s.n, a, b, progress, blocking);
  } catch (const gw::FatalError& e) {
    o.stop = e.text();
  } catch (const std::runtime_error& e) {
    o.stop = e.what();
  }
  if (s.alias) o.b = o.a;
  return o;
}

std::uint64_t bits(double x) {
  std::uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

std::string describe(const Blocking& b) {
  std::ostringstream os;
  os << "panel " << b.panel << " leaf " << b.leaf << " col_block " << b.col_block << " row_block " << b.row_block
     << " threads " << b.threads << " kernels " << gw::kernel_set_name(b.kernels);
  return os.str();
}

void expect_same(const Outcome& want, const Outcome& got, const Shape& s, const std::string& what) {
  SCOPED_TRACE(what + ", n " + std::to_string(s.n) + ", ld " + std::to_string(s.ld) +
               (s.alias ? ", in place" : ""));
  EXPECT_EQ(want.stop, got.stop);
  EXPECT_EQ(want.progress, got.progress);
  ASSERT_EQ(want.b.size(), got.b.size());
  int shown = 0;
  for (std::size_t i = 0; i < want.b.size() && shown < 5; ++i) {
    if (bits(want.b[i]) != bits(got.b[i])) {
      ADD_FAILURE() << "b differs at row " << i % s.ld << ", column " << i / s.ld << ": " << want.b[i] << " vs "
                    << got.b[i];
      ++shown;
    }
  }
  if (!s.alias) {
    EXPECT_TRUE(std::memcmp(want.a.data(), got.a.data(), want.a.size() * sizeof(double)) == 0) << "a changed";
  }
}

enum class Kind {
  uniform,     // U(-1, 1): row exchanges nearly every step
  dominant,    // symmetric, strong diagonal: no row exchanges
  integers,    // small integers and signed zeros: ties in the pivot search, exact zeros
  awkward,     // uniform with not-a-number, infinities, signed zeros and subnormals sprinkled in
};

// Fills an ld x cols buffer (everything, also what lies outside the block).
std::vector<double> make(Kind kind, const Shape& s, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> small(-3, 3);
  std::vector<double> m(static_cast<std::size_t>(s.ld * s.cols));
  for (auto& x : m) x = u(rng);
  auto at = [&](std::int64_t i, std::int64_t j) -> double& { return m[static_cast<std::size_t>(i + j * s.ld)]; };
  const int n = s.n;
  switch (kind) {
    case Kind::uniform:
      break;
    case Kind::dominant:
      for (int j = 0; j < n; ++j) {
        for (int i = 0; i < j; ++i) at(i, j) = at(j, i);
        at(j, j) = n + 1.0 + u(rng);
      }
      break;
    case Kind::integers:
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const int v = small(rng);
          at(i, j) = v == 0 ? ((i + j) % 2 ? -0.0 : 0.0) : v;
        }
      break;
    case Kind::awkward: {
      const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(), -0.0, 0.0, 4.9e-324, -2.5e-310};
      std::uniform_int_distribution<int> pick(0, 6);
      std::uniform_int_distribution<int> where(0, n - 1);
      for (int c = 0; c < 1 + n / 20; ++c) at(where(rng), where(rng)) = specials[pick(rng)];
      break;
    }
  }
  return m;
}

// Blockings small enough to give many panels, groups and edge tiles even for
// small orders; odd widths on purpose. Each is listed once per kernel set,
// the sets one after another, so that taking the blockings in turn covers
// every set.
std::vector<Blocking> blockings() {
  std::vector<Blocking> v;
  const int shapes[][4] = {{0, 0, 0, 0}, {8, 1, 8, 24}, {16, 4, 24, 48}, {24, 8, 16, 24},
                           {7, 3, 5, 24}, {40, 5, 40, 72}, {13, 13, 9, 100}, {32, 2, 64, 24}};
  const std::vector<KernelSet> sets = gw::supported_kernel_sets();
  for (const auto& sh : shapes)
    for (int threads : {1, 2})
      for (KernelSet set : sets) {
        Blocking b;
        b.panel = sh[0];
        b.leaf = sh[1];
        b.col_block = sh[2];
        b.row_block = sh[3];
        b.threads = threads;
        b.kernels = set;
        v.push_back(b);
      }
  return v;
}

// The number of kernel sets: taking that many blockings in turn gives one
// of each set.
std::size_t sets() { return gw::supported_kernel_sets().size(); }

TEST(InvmtxFast, MatchesPlainOverOrdersBlockingsAndThreads) {
  std::mt19937_64 rng(20240611);
  const auto configs = blockings();
  std::vector<int> orders;
  for (int n = 1; n <= 130; ++n) orders.push_back(n);
  for (int n : {143, 191, 192, 193, 200, 239, 240, 241, 255, 256, 257, 288, 300}) orders.push_back(n);
  const Kind kinds[] = {Kind::uniform, Kind::dominant, Kind::integers, Kind::uniform};
  std::size_t next = 0;
  for (int n : orders) {
    const Shape s = square(n);
    const auto a = make(kinds[n % 4], s, rng);
    const auto b = make(Kind::uniform, s, rng);
    const Outcome want = run(plain, s, a, b);
    for (std::size_t rep = 0; rep < sets(); ++rep) {
      const Blocking& bl = configs[next++ % configs.size()];
      expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl), s, describe(bl));
    }
  }
}

TEST(InvmtxFast, MatchesPlainOnLargeOrders) {
  std::mt19937_64 rng(7);
  for (int n : {517, 1031}) {
    const Shape s = square(n);
    const auto a = make(n % 2 ? Kind::uniform : Kind::dominant, s, rng);
    const auto b = make(Kind::uniform, s, rng);
    const Outcome want = run(plain, s, a, b);
    // The public entry with the default blocking, under both thread counts.
    const int saved_threads = omp_get_max_threads();
    for (int threads : {1, 2}) {
      omp_set_num_threads(threads);
      const Outcome got = run(
          [](int n, ConstMatView a, MatView b, const gw::PivotSteps& p, const Blocking&) { gw::invmtx(n, a, b, p); },
          s, a, b);
      expect_same(want, got, s, "invmtx, omp threads " + std::to_string(threads));
    }
    omp_set_num_threads(saved_threads);
    for (KernelSet set : gw::supported_kernel_sets()) {
      Blocking bl;
      bl.panel = 40;
      bl.leaf = 6;
      bl.col_block = 56;
      bl.row_block = 48;
      bl.threads = 2;
      bl.kernels = set;
      expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl), s, describe(bl));
    }
  }
}

// The leading block of larger arrays, strides beyond the rows, and
// inversion in place; everything of b outside the block must equal a.
TEST(InvmtxFast, LeadingBlockOfLargerArraysAndInPlace) {
  std::mt19937_64 rng(99);
  const Shape shapes[] = {
      {1, 3, 3, 5},          {2, 2, 2, 3},          {5, 9, 7, 11},      {37, 40, 45, 41},
      {100, 130, 120, 133}, {251, 260, 251, 263}, {1, 4, 4, 4, true}, {2, 5, 5, 5, true},
      {60, 64, 64, 64, true}, {203, 230, 230, 233, true},
  };
  const auto configs = blockings();
  std::size_t next = 3;
  for (const Shape& s : shapes) {
    const auto a = make(Kind::uniform, s, rng);
    const auto b = make(Kind::uniform, s, rng);
    const Outcome want = run(plain, s, a, b);
    for (std::size_t rep = 0; rep < 2 * sets(); ++rep) {
      const Blocking& bl = configs[next++ % configs.size()];
      expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl), s, describe(bl));
    }
  }
}

// Not-a-number, infinities, signed zeros, subnormals and pivot ties.
TEST(InvmtxFast, AwkwardValues) {
  std::mt19937_64 rng(5);
  const auto configs = blockings();
  std::size_t next = 1;
  for (int n : {2, 3, 9, 17, 33, 64, 97, 150}) {
    for (Kind kind : {Kind::awkward, Kind::integers}) {
      const Shape s = square(n);
      const auto a = make(kind, s, rng);
      const auto b = make(Kind::uniform, s, rng);
      const Outcome want = run(plain, s, a, b);
      for (std::size_t rep = 0; rep < 2 * sets(); ++rep) {
        const Blocking& bl = configs[next++ % configs.size()];
        expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl), s, describe(bl));
      }
    }
  }
  // Inputs where the damage enters late: one bad element in the last column.
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    const Shape s = square(120);
    auto a = make(Kind::dominant, s, rng);
    a[static_cast<std::size_t>(5 + 119 * s.ld)] = bad;
    const auto b = make(Kind::uniform, s, rng);
    const Outcome want = run(plain, s, a, b);
    for (const Blocking& bl : configs) expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl), s, describe(bl));
  }
}

// A stop part-way: singular at a chosen step, or the progress callback
// throwing. The same progress calls must have been made and b must be left
// exactly as the plain form leaves it.
TEST(InvmtxFast, StopsAtTheSameStepWithTheSameState) {
  std::mt19937_64 rng(3);
  struct Case {
    int n;
    int step;      // column made a copy of the one before: singular at about this step
    int throw_at;  // progress step at which the callback throws (-1: never)
  };
  const Case cases[] = {{2, 1, -1},    {9, 0, -1},     {40, 8, -1},    {40, 24, -1},  {40, 39, -1},
                        {130, 97, -1}, {250, 150, -1}, {250, 201, -1}, {250, -1, 100}, {250, -1, 200},
                        {310, 300, 200}};
  const auto configs = blockings();
  for (const Case& c : cases) {
    const Shape s = square(c.n);
    auto a = make(Kind::uniform, s, rng);
    if (c.step >= 0) {
      for (int i = 0; i < c.n; ++i) {
        double& x = a[static_cast<std::size_t>(i + c.step * s.ld)];
        x = c.step == 0 ? 1e-13 * x : a[static_cast<std::size_t>(i + (c.step - 1) * s.ld)];
      }
    }
    const auto b = make(Kind::uniform, s, rng);
    const Outcome want = run(plain, s, a, b, {}, c.throw_at);
    ASSERT_FALSE(want.stop.empty());
    // Every third blocking shape still covers one and two threads and stops
    // inside the panel being factored ahead; each with every kernel set.
    for (std::size_t i = 0; i < configs.size(); i += 3 * sets())
      for (std::size_t j = i; j < i + sets(); ++j) {
        const Blocking& bl = configs[j];
        expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b, bl, c.throw_at), s, describe(bl));
      }
  }
}

TEST(InvmtxFast, PivotAtTheThresholdAndOrderBelowOne) {
  const double t = gw::kSingularThreshold;
  for (double p : {t, std::nextafter(t, 0.0), -t}) {
    for (int n : {1, 3}) {
      const Shape s = square(n);
      std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
      for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * (n + 1))] = i == n - 1 ? p : 2.0;
      const std::vector<double> b(a.size(), 7.0);
      const Outcome want = run(plain, s, a, b);
      expect_same(want, run(gw::invmtx_detail::invmtx_blocked, s, a, b), s, "threshold");
    }
  }
  for (int n : {0, -3}) {
    const Shape s{n, 2, 2, 2};
    const std::vector<double> a{1, 2, 3, 4}, b{5, 6, 7, 8};
    const Outcome got = run(gw::invmtx_detail::invmtx_blocked, s, a, b);
    EXPECT_EQ(got.stop, " Order of matrix is less than 1 !");
    EXPECT_EQ(got.b, b);
  }
}

}  // namespace

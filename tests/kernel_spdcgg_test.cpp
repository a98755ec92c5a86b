// Conjugate gradient solver.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <typeinfo>
#include <vector>

#include "base/fatal.hpp"
#include "kernels/kernels.hpp"

namespace gw {
namespace {

bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }

// A square system given row by row, stored column-major with a leading
// dimension larger than n so that the solver must respect it.
struct System {
  int n;
  std::vector<double> a;  // column-major, ld = n + 1
  std::vector<double> b;

  System(int order, std::initializer_list<double> row_major, std::vector<double> rhs)
      : n(order), a(static_cast<std::size_t>((order + 1) * order), std::nan("")), b(std::move(rhs)) {
    auto it = row_major.begin();
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) a[static_cast<std::size_t>(i + j * (n + 1))] = *it++;
  }
  ConstMatView view() const { return {a.data(), n, n, n + 1}; }
};

// Solves with x pre-filled with garbage; A and b must be unchanged.
std::vector<double> solve(const System& s) {
  const std::vector<double> a_before = s.a, b_before = s.b;
  std::vector<double> x(static_cast<std::size_t>(s.n), std::numeric_limits<double>::quiet_NaN());
  spdcgg(s.n, s.view(), s.b.data(), x.data());
  EXPECT_TRUE(std::equal(s.a.begin(), s.a.end(), a_before.begin(), [](double u, double v) { return same_bits(u, v); }));
  EXPECT_EQ(s.b, b_before);
  return x;
}

// Exact results, bit for bit. Most of these end on an exactly vanishing
// direction (p'Ap = 0 with p = 0), which must return x as it stands.
TEST(Spdcgg, ExactResults) {
  struct Case {
    const char* name;
    System sys;
    std::vector<double> x;
  };
  const Case cases[] = {
      // The residual becomes exactly zero after iteration 2.
      {"zero residual 2x2", System(2, {4, 1, 1, 3}, {1, 2}), {1.0 / 11, 7.0 / 11}},
      {"one by one", System(1, {4}, {2}), {0.5}},
      {"multiple of identity", System(3, {2.5, 0, 0, 0, 2.5, 0, 0, 0, 2.5}, {1, -2, 3}), {0.4, -0.8, 0x1.3333333333334p+0}},
      // After iteration 1 the residual is a rounding remainder (-2^-56)
      // while the new direction is exactly zero: x is final.
      {"vanishing direction", System(1, {7}, {0.1}), {0x1.d41d41d41d41fp-7}},
      // A zero right-hand side gives x = 0 at once.
      {"zero rhs", System(2, {4, 1, 1, 3}, {0, 0}), {0, 0}},
      // Not symmetric: the change first reaches the tolerance in iteration
      // 199, one before the limit of 200.
      {"converges at 199", System(2, {0.545, -0.431, 0.319, 1.1}, {1, 0}), {0x1.7e1862a448b96p+0, -0x1.bb3b01c8cfce7p-2}},
  };
  for (const Case& c : cases) {
    const std::vector<double> x = solve(c.sys);
    ASSERT_EQ(x.size(), c.x.size());
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_TRUE(same_bits(x[i], c.x[i])) << c.name << " x[" << i << "] = " << x[i];
  }
}

TEST(Spdcgg, DiagonalTwentyTraits) {
  const int n = 20;
  std::vector<double> a(static_cast<std::size_t>(n) * n, 0.0), b(n, 1.0), x(n, 99.0);
  for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i) * (n + 1)] = 1.0 + 0.01 * i;
  spdcgg(n, ConstMatView(a.data(), n, n), b.data(), x.data());
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], 1.0 / (1.0 + 0.01 * i), 1.0e-12) << i;
}

// The limit stop: text "No. iterations = " and 100 n right-aligned in ten
// columns. The limit is tested before convergence: a system whose change
// first reaches the tolerance in iteration 200 still stops. With a
// non-finite matrix or right-hand side the overflow test stays out of the
// way, and the iteration runs on to the limit as well.
TEST(Spdcgg, IterationLimit) {
  const double inf = std::numeric_limits<double>::infinity();
  const System cases[] = {
      System(2, {1, 1, -1, 1}, {1, 0}),              // diverges
      System(2, {2.949, -1.315, 0.953, 1.864}, {1, 0}),  // converges in iteration 200
      System(2, {inf, 0, 0, 1}, {1, 1}),
      System(2, {4, 1, 1, 3}, {inf, 1}),
  };
  for (const System& s : cases) {
    std::vector<double> x(2);
    try {
      spdcgg(s.n, s.view(), s.b.data(), x.data());
      ADD_FAILURE() << "spdcgg returned";
    } catch (const FatalError& e) {
      EXPECT_TRUE(typeid(e) == typeid(FatalError)) << "wrong stop: " << e.text();
      EXPECT_EQ(e.text(), "No. iterations =        200");
      EXPECT_EQ(e.status(), ExitStatus::failure);
      EXPECT_EQ(e.channel(), Channel::console);
    }
  }
}

// A finite system whose iteration overflows is reported as such at once,
// never as converged on a change of 0 / inf nor at the iteration limit:
// r.p = inf in the first step (alpha = inf / inf), p'Ap = inf with a finite
// r.p (alpha = 0, x would not move), and an iterate beyond the range.
TEST(Spdcgg, OverflowOfAFiniteSystem) {
  const System cases[] = {
      System(2, {1e-300, 0, 0, 1}, {1e300, 1}),
      System(2, {4, 1, 1, 3}, {1e200, 1e200}),
      System(2, {1e300, 0, 0, 1e300}, {1e10, 1}),
      System(1, {1e-300}, {1e10}),
  };
  for (const System& s : cases) {
    std::vector<double> x(static_cast<std::size_t>(s.n));
    EXPECT_THROW(spdcgg(s.n, s.view(), s.b.data(), x.data()), SystemOverflow) << s.b[0];
  }
}

// p'Ap = 0 for a direction that is not zero: a singular (or indefinite)
// matrix is reported, never a NaN solution.
TEST(Spdcgg, SingularSystem) {
  const System cases[] = {
      System(2, {0, 0, 0, 0}, {1, 2}),
      System(1, {0}, {3}),
      System(2, {1, 0, 0, -1}, {1, 1}),  // indefinite: p'Ap = 1 - 1 = 0
  };
  for (const System& s : cases) {
    std::vector<double> x(static_cast<std::size_t>(s.n));
    EXPECT_THROW(spdcgg(s.n, s.view(), s.b.data(), x.data()), SingularSystem);
  }
}

}  // namespace
}  // namespace gw

// The factorisation's report of a matrix that is not positive definite: the
// unknown to blame, in the matrix's own order, whatever the fill-reducing
// ordering did with it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sparse/cholmod.hpp"

namespace gw {
namespace {

// A tridiagonal matrix of order n with 4 on the diagonal and 1 beside it,
// except for the diagonal element `bad`, which gets `value`.
SparseLower tridiagonal(std::int64_t n, std::int64_t bad, double value) {
  SparseLower m;
  m.n = n;
  m.colptr.push_back(0);
  for (std::int64_t c = 0; c < n; ++c) {
    m.rowind.push_back(c);
    m.values.push_back(c == bad ? value : 4.0);
    if (c + 1 < n) {
      m.rowind.push_back(c + 1);
      m.values.push_back(1.0);
    }
    m.colptr.push_back(static_cast<std::int64_t>(m.rowind.size()));
  }
  return m;
}

struct Case {
  const char* name;
  double value;  // the bad diagonal element
};

// A case shows as its name in the test output.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Factorise : public ::testing::TestWithParam<Case> {};

TEST_P(Factorise, NamesTheUnknownWhereTheMatrixFails) {
  for (const std::int64_t bad : {0, 7, 39}) {
    Cholmod cm;
    CholmodSparse a = to_cholmod(cm, tridiagonal(40, bad, GetParam().value));
    CholmodFactor l(cholmod_l_analyze(a.get(), cm.get()), CholmodFactorDeleter{cm.get()});
    ASSERT_TRUE(l);
    const auto column = factorise(cm, a.get(), l.get());
    ASSERT_TRUE(column.has_value()) << "bad element " << bad;
    EXPECT_EQ(*column, bad);
  }
  Cholmod cm;
  CholmodSparse a = to_cholmod(cm, tridiagonal(40, 0, 4.0));
  CholmodFactor l(cholmod_l_analyze(a.get(), cm.get()), CholmodFactorDeleter{cm.get()});
  EXPECT_FALSE(factorise(cm, a.get(), l.get()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Cases, Factorise,
                         ::testing::Values(Case{"negative", -3.0}, Case{"zero", 0.0},
                                           Case{"not_a_number", std::numeric_limits<double>::quiet_NaN()},
                                           Case{"infinite", std::numeric_limits<double>::infinity()}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gw

// The selected inverse on small sparse positive definite matrices: the
// supernodal form against the column-by-column form and both against a
// dense inverse, on every element of the factor's pattern.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernels.hpp"
#include "kit/stages.hpp"
#include "pedigree/relationships.hpp"
#include "sparse/cholmod.hpp"
#include "sparse/mixed_model.hpp"
#include "sparse/selected_inverse.hpp"

namespace gw {
namespace {

// A symmetric matrix from its lower triangle, given as (row, column, value)
// with row >= column; duplicates are summed.
SparseLower from_entries(std::int64_t n, std::vector<std::tuple<std::int64_t, std::int64_t, double>> e) {
  std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) {
    return std::get<1>(a) != std::get<1>(b) ? std::get<1>(a) < std::get<1>(b) : std::get<0>(a) < std::get<0>(b);
  });
  SparseLower m;
  m.n = n;
  m.colptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::size_t k = 0; k < e.size(); ++k) {
    const auto [r, c, v] = e[k];
    if (k > 0 && std::get<0>(e[k - 1]) == r && std::get<1>(e[k - 1]) == c) {
      m.values.back() += v;
      continue;
    }
    m.rowind.push_back(r);
    m.values.push_back(v);
    ++m.colptr[static_cast<std::size_t>(c) + 1];
  }
  for (std::size_t c = 0; c < static_cast<std::size_t>(n); ++c) m.colptr[c + 1] += m.colptr[c];
  return m;
}

// Random symmetric pattern (plus a band and blocks where asked), random
// values, and a diagonal that makes the matrix diagonally dominant.
SparseLower random_spd(std::int64_t n, double density, std::int64_t band, std::int64_t blocks, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0), p(0.0, 1.0);
  std::vector<std::tuple<std::int64_t, std::int64_t, double>> e;
  std::vector<double> row_sum(static_cast<std::size_t>(n), 0.0);
  const std::int64_t block = n / std::max<std::int64_t>(blocks, 1);
  for (std::int64_t c = 0; c < n; ++c)
    for (std::int64_t r = c + 1; r < n; ++r) {
      if (blocks > 1 && r / block != c / block) continue;
      if (r - c <= band || p(rng) < density) {
        const double v = u(rng);
        e.emplace_back(r, c, v);
        row_sum[r] += std::fabs(v);
        row_sum[c] += std::fabs(v);
      }
    }
  for (std::int64_t i = 0; i < n; ++i) e.emplace_back(i, i, row_sum[i] + 0.5 + p(rng));
  return from_entries(n, std::move(e));
}

// The equations of a small herd: a random pedigree, three traits, records
// missing at random.
SparseLower herd_equations(int animals, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::int32_t> id1(animals), id2(animals);
  for (int i = 10; i < animals; ++i) {
    id1[i] = static_cast<std::int32_t>(1 + rng() % i);
    id2[i] = static_cast<std::int32_t>(1 + rng() % i);
  }
  const std::vector<double> f = inbreeding(id1, id2);
  const SparseLower ainv = pedigree_inverse(id1, id2, mendelian_variances(id1, id2, f));
  const double g[9] = {2.0, 0.5, -0.3, 0.5, 1.0, 0.2, -0.3, 0.2, 3.0};
  const double r[9] = {5.0, 1.0, 0.5, 1.0, 4.0, -0.5, 0.5, -0.5, 6.0};
  const std::vector<int> traits = {0, 1, 2};
  Matrix<double> g0inv(3, 3), rinv(3, 3);
  EXPECT_FALSE(invert_positive_definite(ConstMatView(g, 3, 3), traits, g0inv.view()));
  EXPECT_FALSE(invert_positive_definite(ConstMatView(r, 3, 3), traits, rinv.view()));
  std::vector<const double*> blocks(static_cast<std::size_t>(animals));
  for (auto& b : blocks) b = rng() % 4 == 0 ? nullptr : rinv.data();
  return mixed_model_lower(ainv, g0inv.cview(), blocks);
}

Matrix<double> dense_inverse(const SparseLower& m) {
  Matrix<double> a(m.n, m.n), inv(m.n, m.n);
  for (std::int64_t c = 0; c < m.n; ++c)
    for (std::int64_t e = m.colptr[c]; e < m.colptr[c + 1]; ++e) a(m.rowind[e], c) = a(c, m.rowind[e]) = m.values[e];
  invmtx_plain(static_cast<int>(m.n), a.cview(), inv.view());
  return inv;
}

struct Case {
  const char* name;
  SparseLower (*matrix)();
  bool amalgamate;  // CHOLMOD's relaxed supernodes (explicit zeros in the factor)
};

// A case shows as its name in the test output.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SelectedInverse : public ::testing::TestWithParam<Case> {};

TEST_P(SelectedInverse, SupernodalAgreesWithPlainAndWithTheDenseInverse) {
  const SparseLower c = GetParam().matrix();
  Cholmod cm;
  if (!GetParam().amalgamate) {
    for (auto& n : cm->nrelax) n = 0;
    for (auto& z : cm->zrelax) z = 0.0;
  }
  CholmodSparse a = to_cholmod(cm, c);
  CholmodFactor l(cholmod_l_analyze(a.get(), cm.get()), CholmodFactorDeleter{cm.get()});
  ASSERT_TRUE(l);
  ASSERT_TRUE(cholmod_l_factorize(a.get(), l.get(), cm.get()));
  ASSERT_EQ(cm->status, CHOLMOD_OK);
  ASSERT_TRUE(l->is_super && l->is_ll);
  const SupernodalView f = supernodal_view(*l);
  const std::vector<double> factor(f.x, f.x + l->xsize);
  // Narrow panels (of Z_RR, and of the roots) and two threads take the
  // paths that large supernodes and deep trees take; the same options give
  // the same bits.
  const SelectedInverseOptions options{2, 5, 8};
  selected_inverse(f, options);
  const std::vector<double> fast(f.x, f.x + l->xsize);
  std::copy(factor.begin(), factor.end(), f.x);
  selected_inverse(f, options);
  EXPECT_TRUE(std::equal(fast.begin(), fast.end(), f.x)) << "not the same bits from run to run";
  std::copy(factor.begin(), factor.end(), f.x);
  selected_inverse(f);
  // On the pattern (the lower trapezoid of each supernode; the rest of the
  // storage is not used).
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    for (std::int64_t j = 0; j < f.ncols(k); ++j)
      for (std::int64_t i = j; i < f.nrows(k); ++i) {
        const auto at = static_cast<std::size_t>(f.px[k] + i + j * f.nrows(k));
        ASSERT_NEAR(f.x[at], fast[at], 1e-12 * (1.0 + std::fabs(fast[at])));
      }
  std::copy(factor.begin(), factor.end(), f.x);
  selected_inverse_plain(f);

  const Matrix<double> dense = dense_inverse(c);
  const auto* perm = static_cast<const std::int64_t*>(l->Perm);
  std::int64_t checked = 0;
  bool wide = false;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    wide = wide || f.ncols(k) > 1;
    for (std::int64_t j = 0; j < f.ncols(k); ++j)
      for (std::int64_t i = j; i < f.nrows(k); ++i) {
        const std::int64_t at = f.px[k] + i + j * f.nrows(k);
        const double exact = dense(perm[f.s[f.pi[k] + i]], perm[f.super[k] + j]);
        const double scale = std::sqrt(std::fabs(dense(perm[f.s[f.pi[k] + i]], perm[f.s[f.pi[k] + i]])) *
                                       std::fabs(dense(perm[f.super[k] + j], perm[f.super[k] + j])));
        ASSERT_NEAR(fast[at], f.x[at], 1e-13 * scale) << "supernode " << k << " row " << i << " column " << j;
        ASSERT_NEAR(f.x[at], exact, 1e-11 * scale) << "supernode " << k << " row " << i << " column " << j;
        ++checked;
      }
  }
  EXPECT_GE(checked, c.n);
  if (c.n > 1) {
    EXPECT_TRUE(wide) << "the case should have supernodes of more than one column";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectedInverse,
    ::testing::Values(Case{"random", [] { return random_spd(300, 0.01, 0, 1, 1); }, true},
                      Case{"random_fundamental_supernodes", [] { return random_spd(300, 0.01, 0, 1, 2); }, false},
                      Case{"banded", [] { return random_spd(200, 0.0, 6, 1, 3); }, true},
                      Case{"separate_blocks", [] { return random_spd(240, 0.05, 2, 6, 4); }, true},
                      Case{"herd", [] { return herd_equations(150, 5); }, true},
                      Case{"herd_fundamental_supernodes", [] { return herd_equations(110, 6); }, false},
                      Case{"one_element", [] { return random_spd(1, 0.0, 0, 1, 7); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Two dense blocks joined through a dense tail: the root supernode holds
// nearly all the work. It is inverted in panels, so the progress moves
// through it step by step, not only once it is done; it never goes back,
// ends at 1, changes no bit of the result, and the root's part of Z is the
// dense inverse's.
TEST(SelectedInverseProgress, MovesWithinALargeSupernode) {
  std::vector<std::tuple<std::int64_t, std::int64_t, double>> e;
  const auto dense = [&](std::int64_t r0, std::int64_t r1, std::int64_t c0, std::int64_t c1) {
    for (std::int64_t c = c0; c < c1; ++c)
      for (std::int64_t r = std::max(r0, c + 1); r < r1; ++r)
        e.emplace_back(r, c, 0.01 * static_cast<double>((r * 7 + c) % 13 - 6));
  };
  dense(0, 200, 0, 200);    // block A
  dense(200, 250, 200, 250);  // block B
  dense(250, 300, 250, 300);  // the tail
  dense(250, 300, 0, 250);    // A and B joined to the tail
  for (std::int64_t i = 0; i < 300; ++i) e.emplace_back(i, i, 30.0);
  const SparseLower c = from_entries(300, e);
  Cholmod cm;
  for (auto& n : cm->nrelax) n = 0;
  for (auto& z : cm->zrelax) z = 0.0;
  CholmodSparse a = to_cholmod(cm, c);
  CholmodFactor l(cholmod_l_analyze(a.get(), cm.get()), CholmodFactorDeleter{cm.get()});
  ASSERT_TRUE(l);
  ASSERT_TRUE(cholmod_l_factorize(a.get(), l.get(), cm.get()));
  const SupernodalView f = supernodal_view(*l);
  const std::vector<double> factor(f.x, f.x + l->xsize);
  const SelectedInverseOptions options{1, 8, 16};
  selected_inverse(f, options);
  const std::vector<double> quiet(f.x, f.x + l->xsize);
  std::copy(factor.begin(), factor.end(), f.x);
  testing::RecordedStages stages;
  selected_inverse(f, options, &stages);
  const std::vector<double>& shares = stages.shares;
  EXPECT_TRUE(std::equal(quiet.begin(), quiet.end(), f.x));
  ASSERT_FALSE(shares.empty());
  EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
  EXPECT_EQ(shares.back(), 1.0);
  EXPECT_GE(shares.size(), static_cast<std::size_t>(f.nsuper) + 10) << ::testing::PrintToString(shares);
  EXPECT_LT(shares.front(), 0.1) << ::testing::PrintToString(shares);
  // Against the dense inverse, on the root's part.
  const Matrix<double> exact = dense_inverse(c);
  const auto* perm = static_cast<const std::int64_t*>(l->Perm);
  const std::int64_t k = f.nsuper - 1;
  ASSERT_EQ(f.nrows(k), f.ncols(k));
  for (std::int64_t j = 0; j < f.ncols(k); ++j)
    for (std::int64_t i = j; i < f.nrows(k); ++i)
      ASSERT_NEAR(f.x[f.px[k] + i + j * f.nrows(k)], exact(perm[f.s[f.pi[k] + i]], perm[f.super[k] + j]), 1e-14)
          << i << "," << j;
}

}  // namespace
}  // namespace gw

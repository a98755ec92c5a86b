// The computation stages on random small problems, checked against the
// meaning of their results rather than against a second transcription.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

#include "base/memory.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "base/fatal.hpp"
#include "kernels/kernels.hpp"

namespace gw {
namespace {

using LMat = std::vector<std::vector<long double>>;

struct Problem {
  Parameters par;
  Pedigree ped;
};

// A random positive definite n x n matrix: L L' plus a diagonal.
LMat random_spd(int n, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  LMat l(n, std::vector<long double>(n, 0.0L)), m(n, std::vector<long double>(n, 0.0L));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) l[i][j] = u(rng);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      for (int k = 0; k < n; ++k) m[i][j] += l[i][k] * l[j][k];
      if (i == j) m[i][j] += 0.5L;
    }
  return m;
}

Problem random_problem(int ntrait, int nanim, std::mt19937& rng) {
  Problem pb;
  pb.par.ntrait = ntrait;
  pb.par.k0.resize(ntrait);
  pb.par.wvp.resize(ntrait);
  pb.par.gp = Matrix<double>(ntrait, ntrait);
  const LMat g = random_spd(ntrait, rng), r = random_spd(ntrait, rng);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int i = 0; i < ntrait; ++i) {
    pb.par.k0[i] = u(rng);
    pb.par.wvp[i] = static_cast<double>(g[i][i] + r[i][i]);
    for (int j = 0; j < ntrait; ++j)
      pb.par.gp(i, j) = static_cast<double>(i >= j ? g[i][j] : r[i][j]);
  }
  Pedigree& ped = pb.ped;
  ped.nanim = nanim;
  ped.id1.resize(nanim);
  ped.id2.resize(nanim);
  ped.cand.resize(nanim);
  ped.gend.resize(nanim);
  ped.nonr = Matrix<std::int32_t>(nanim, ntrait);
  for (int k = 0; k < nanim; ++k) {
    ped.id1[k] = k > 0 && rng() % 3 ? static_cast<int>(rng() % k) + 1 : 0;
    ped.id2[k] = k > 0 && rng() % 3 ? static_cast<int>(rng() % k) + 1 : 0;
    ped.cand[k] = rng() % 2;
    ped.gend[k] = rng() % 2 + 1;
    for (int i = 0; i < ntrait; ++i) ped.nonr(k, i) = rng() % 4 ? 1 : 0;
  }
  return pb;
}

// The relationship matrix by the recursion A(i, j) = (A(s, j) + A(d, j)) / 2,
// in long double.
LMat relationships(const Pedigree& ped) {
  const int n = ped.nanim;
  LMat a(n, std::vector<long double>(n, 0.0L));
  for (int i = 0; i < n; ++i) {
    const int s = ped.id1[i] - 1, d = ped.id2[i] - 1;
    for (int j = 0; j < i; ++j) {
      long double v = 0.0L;
      if (s >= 0) v += a[s][j] / 2;
      if (d >= 0) v += a[d][j] / 2;
      a[i][j] = a[j][i] = v;
    }
    a[i][i] = 1.0L + (s >= 0 && d >= 0 ? a[s][d] / 2 : 0.0L);
  }
  return a;
}

// Solves m x = b for symmetric positive definite m by Cholesky, in long double.
std::vector<long double> cholesky_solve(LMat m, std::vector<long double> b) {
  const std::size_t n = m.size();
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < j; ++k) m[j][j] -= m[j][k] * m[j][k];
    m[j][j] = std::sqrt(m[j][j]);
    for (std::size_t i = j + 1; i < n; ++i) {
      for (std::size_t k = 0; k < j; ++k) m[i][j] -= m[i][k] * m[j][k];
      m[i][j] /= m[j][j];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < i; ++k) b[i] -= m[i][k] * b[k];
    b[i] /= m[i][i];
  }
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= m[k][i] * b[k];
    b[i] /= m[i][i];
  }
  return b;
}

// For every candidate of random problems: the system matrix is the
// covariance of the candidate's predicted breeding values, C' V^-1 C over the
// present records (computed here by Cholesky in long double), and the weights
// solve it.
TEST(CandidateStage, SystemIsTheCovarianceOfPredictedBreedingValuesAndWeightsSolveIt) {
  std::mt19937 rng(12345);
  int checked = 0;
  for (int trial = 0; trial < 40; ++trial) {
    const int ntrait = 1 + trial % 3, nanim = 3 + trial % 9;
    const Problem pb = random_problem(ntrait, nanim, rng);
    const TraitMatrices t = trait_covariances(pb.par, {});
    const int d = ntrait * nanim;
    Matrix<double> a0(nanim, nanim), ppi(d, d);
    amrx(pb.ped.id1.data(), pb.ped.id2.data(), a0.view(), nanim);
    if (pb.ped.record_count() == 0) continue;
    record_covariance_inverse(t.g0.cview(), t.r0.cview(), a0.cview(), pb.ped.nonr.cview(), ppi.view(), {});

    const LMat a = relationships(pb.ped);
    std::vector<int> present;  // combined positions: trait-major
    for (int i = 0; i < ntrait; ++i)
      for (int k = 0; k < nanim; ++k)
        if (pb.ped.nonr(k, i) == 1) present.push_back(i * nanim + k);
    const std::size_t m = present.size();
    LMat v(m, std::vector<long double>(m));
    for (std::size_t x = 0; x < m; ++x)
      for (std::size_t y = 0; y < m; ++y) {
        const int ti = present[x] / nanim, k = present[x] % nanim, tj = present[y] / nanim, l = present[y] % nanim;
        v[x][y] = t.g0(ti, tj) * a[k][l] + (k == l ? t.r0(ti, tj) : 0.0);
      }

    for (int cand = 0; cand < nanim; ++cand) {
      Matrix<double> lhs(ntrait, ntrait);
      candidate_lhs(t.g0.cview(), a0.cview(), ppi.cview(), cand, lhs.view());
      std::vector<std::vector<long double>> vinv_c(ntrait);
      for (int j = 0; j < ntrait; ++j) {
        std::vector<long double> c(m);
        for (std::size_t x = 0; x < m; ++x)
          c[x] = t.g0(present[x] / nanim, j) * a[present[x] % nanim][cand];
        vinv_c[j] = cholesky_solve(v, c);
      }
      long double scale = 0.0L;
      for (int i = 0; i < ntrait; ++i) scale = std::max(scale, std::fabs((long double)lhs(i, i)));
      if (scale < 1e-6L) continue;  // no information on this candidate
      for (int i = 0; i < ntrait; ++i)
        for (int j = 0; j < ntrait; ++j) {
          long double expect = 0.0L;
          for (std::size_t x = 0; x < m; ++x)
            expect += t.g0(present[x] / nanim, i) * a[present[x] % nanim][cand] * vinv_c[j][x];
          EXPECT_NEAR(lhs(i, j), static_cast<double>(expect), 1e-9 * static_cast<double>(scale))
              << "trial " << trial << " candidate " << cand;
        }
      std::vector<double> w(ntrait);
      spdcgg(ntrait, lhs.cview(), pb.par.k0.data(), w.data());
      for (int i = 0; i < ntrait; ++i) {
        long double s = 0.0L, size = 0.0L;
        for (int j = 0; j < ntrait; ++j) s += lhs(i, j) * (long double)w[j], size += std::fabs(lhs(i, j) * w[j]);
        EXPECT_NEAR(static_cast<double>(s), pb.par.k0[i], 1e-9 * static_cast<double>(size) + 1e-12);
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 50);
}

// Unrelated animals that all have every record: each candidate's system is
// the single-animal system G0' P0^-1 G0.
TEST(CandidateStage, UnrelatedAnimalsWithAllRecordsHaveTheSingleAnimalSystem) {
  std::mt19937 rng(99);
  Problem pb = random_problem(3, 5, rng);
  for (int k = 0; k < 5; ++k) {
    pb.ped.id1[k] = pb.ped.id2[k] = 0;
    for (int i = 0; i < 3; ++i) pb.ped.nonr(k, i) = 1;
  }
  const TraitMatrices t = trait_covariances(pb.par, {});
  Matrix<double> a0(5, 5), ppi(15, 15);
  amrx(pb.ped.id1.data(), pb.ped.id2.data(), a0.view(), 5);
  EXPECT_EQ(record_covariance_inverse(t.g0.cview(), t.r0.cview(), a0.cview(), pb.ped.nonr.cview(), ppi.view(), {}),
            15);
  for (int cand = 0; cand < 5; ++cand) {
    Matrix<double> lhs(3, 3);
    candidate_lhs(t.g0.cview(), a0.cview(), ppi.cview(), cand, lhs.view());
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double gpg = 0.0;
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b) gpg += t.g0(a, i) * t.p0i(a, b) * t.g0(b, j);
        EXPECT_NEAR(lhs(i, j), gpg, 1e-10 * std::fabs(gpg) + 1e-14);
      }
  }
}

TEST(ReferenceWeights, ScaleAtTheFirstTraitWhereBothDifferFromZero) {
  Matrix<double> g0(2, 2), p0i(2, 2);
  g0(0, 0) = 2, g0(1, 1) = 1;  // GPG0 = diag(4, 1) with P0I = I: V0 = (K0(1) / 4, K0(2))
  p0i(0, 0) = 1, p0i(1, 1) = 1;
  const std::vector<double> k0{8, 3};
  // VV0(1) = 0: trait 1 is skipped and trait 2 sets q = 3 / 6 = 0.5.
  std::vector<double> v0 = reference_weights(g0.cview(), p0i.cview(), k0, {0.0, 6.0}, {});
  EXPECT_EQ(v0, (std::vector<double>{4.0, 6.0}));
  // K0 = 0 gives V0 = 0, and nothing qualifies.
  v0 = reference_weights(g0.cview(), p0i.cview(), {0, 0}, {1.0, 1.0}, {});
  EXPECT_EQ(v0, (std::vector<double>{0.0, 0.0}));
  // A negative factor reverses every sign.
  v0 = reference_weights(g0.cview(), p0i.cview(), k0, {-1.0, 5.0}, {});
  EXPECT_EQ(v0, (std::vector<double>{-1.0, -1.5}));
}

TEST(MemoryCheck, RefusesSizesThatDoNotFitOrCannotBeRepresented) {
  EXPECT_EQ(matrix_bytes(1000, 1000), std::optional<std::uint64_t>(8000000));
  EXPECT_FALSE(matrix_bytes(std::uint64_t{1} << 31, std::uint64_t{1} << 31).has_value());
  EXPECT_NO_THROW(check_fits("x", 100, 100));
  EXPECT_NO_THROW(check_fits("x", 100, std::nullopt));
  try {
    check_fits("the record matrix", 4096, 1024);
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.status(), ExitStatus::resource);
    EXPECT_NE(e.text().find("needs 4096 bytes, but only 1024 bytes are available"), std::string::npos);
  }
  // One of a kind is singular.
  for (const auto& [needed, available, text] : {std::tuple{1, 0, "needs 1 byte, but only 0 bytes are available"},
                                                std::tuple{2, 1, "needs 2 bytes, but only 1 byte is available"}}) {
    try {
      check_fits("x", needed, available);
      FAIL();
    } catch (const FatalError& e) {
      EXPECT_NE(e.text().find(text), std::string::npos) << e.text();
    }
  }
  EXPECT_THROW(check_fits("x", std::nullopt, 1024), FatalError);
}

}  // namespace
}  // namespace gw

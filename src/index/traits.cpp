#include "index/traits.hpp"

#include <cstdint>

#include "kernels/kernels.hpp"

namespace gw {

namespace {

// c = a' b for small matrices: c(i, j) = sum over l of a(l, i) b(l, j),
// ascending l from 0.0.
void transposed_product(ConstMatView a, ConstMatView b, MatView c) {
  for (std::int64_t j = 0; j < b.cols; ++j)
    for (std::int64_t i = 0; i < a.cols; ++i) {
      double s = 0.0;
      for (std::int64_t l = 0; l < a.rows; ++l) s += a(l, i) * b(l, j);
      c(i, j) = s;
    }
}

// c = a b: c(i, j) = sum over l of a(i, l) b(l, j), ascending l from 0.0.
void product(ConstMatView a, ConstMatView b, MatView c) {
  for (std::int64_t j = 0; j < b.cols; ++j)
    for (std::int64_t i = 0; i < a.rows; ++i) {
      double s = 0.0;
      for (std::int64_t l = 0; l < a.cols; ++l) s += a(i, l) * b(l, j);
      c(i, j) = s;
    }
}

}  // namespace

TraitMatrices trait_covariances(const Parameters& par, const PivotSteps& pivots) {
  TraitMatrices t = trait_matrices(par);
  invert_phenotypic(t, pivots);
  return t;
}

TraitMatrices trait_matrices(const Parameters& par) {
  const int n = par.ntrait;
  TraitMatrices t{Matrix<double>(n, n), Matrix<double>(n, n), Matrix<double>(n, n)};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      if (i == j) {
        t.g0(i, i) = par.gp(i, i);
        t.r0(i, i) = par.wvp[i] - par.gp(i, i);
      } else if (i > j) {
        t.g0(i, j) = t.g0(j, i) = par.gp(i, j);
      } else {
        t.r0(i, j) = t.r0(j, i) = par.gp(i, j);
      }
    }
  return t;
}

void invert_phenotypic(TraitMatrices& t, const PivotSteps& pivots) {
  const auto n = static_cast<int>(t.g0.rows());
  Matrix<double> p0(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) p0(i, j) = t.g0(i, j) + t.r0(i, j);
  invmtx(n, p0.cview(), t.p0i.view(), pivots);
}

std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const PivotSteps& pivots) {
  const int n = static_cast<int>(g0.rows);
  Matrix<double> t(n, n), gpg0(n, n), gpg0i(n, n);
  transposed_product(g0, p0i, t.view());
  product(t.cview(), g0, gpg0.view());
  invmtx(n, gpg0.cview(), gpg0i.view(), pivots);
  std::vector<double> v0(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s += gpg0i(i, j) * k0[j];
    v0[i] = s;
  }
  for (int i = 0; i < n; ++i) {
    if (vv0[i] != 0.0 && v0[i] != 0.0) {
      const double q = v0[i] / vv0[i];
      for (double& x : v0) x = x / q;
      break;
    }
  }
  return v0;
}

}  // namespace gw

#include "sparse/mixed_model.hpp"

#include <cmath>
#include <sstream>

namespace gw {

namespace {

std::string trait_list(std::span<const int> traits, std::size_t count) {
  std::string s;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) s += i + 1 == count ? " and " : ", ";
    s += std::to_string(traits[i] + 1);
  }
  return s;
}

std::string number(double x) {
  std::ostringstream os;
  os.precision(6);
  os << x;
  return os.str();
}

}  // namespace

std::optional<std::size_t> invert_positive_definite(ConstMatView m, std::span<const int> traits, MatView inverse) {
  const std::size_t k = traits.size();
  // Lower Cholesky factor in `inverse`, column by column.
  for (std::size_t j = 0; j < k; ++j) {
    for (std::size_t i = j; i < k; ++i) {
      double s = m(traits[i], traits[j]);
      for (std::size_t l = 0; l < j; ++l) s -= inverse(i, l) * inverse(j, l);
      if (i == j) {
        const double diag = m(traits[j], traits[j]);
        if (!(s > 1e-12 * diag) || !std::isfinite(s)) return j;
        inverse(j, j) = std::sqrt(s);
      } else {
        inverse(i, j) = s / inverse(j, j);
      }
    }
  }
  // L^-1 in the lower triangle, then (L^-1)' L^-1 into the full matrix.
  std::vector<double> li(k * k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    li[j + j * k] = 1.0 / inverse(j, j);
    for (std::size_t i = j + 1; i < k; ++i) {
      double s = 0.0;
      for (std::size_t l = j; l < i; ++l) s += inverse(i, l) * li[l + j * k];
      li[i + j * k] = -s / inverse(i, i);
    }
  }
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = j; i < k; ++i) {
      double s = 0.0;
      for (std::size_t l = i; l < k; ++l) s += li[l + i * k] * li[l + j * k];
      inverse(i, j) = s;
      inverse(j, i) = s;
    }
  return std::nullopt;
}

std::string definiteness_fault(ConstMatView m, std::span<const int> traits, std::size_t at, const std::string& kind) {
  const int t = traits[at];
  const double v = m(t, t);
  if (!(v > 0.0))
    return "the " + kind + " variance of trait " + std::to_string(t + 1) + " is " + number(v) +
           ", but a variance must be positive";
  for (std::size_t i = 0; i < at; ++i) {
    const int u = traits[i];
    const double r = m(t, u) / std::sqrt(m(t, t) * m(u, u));
    if (!(std::fabs(r) < 1.0))
      return "the " + kind + " correlation of traits " + std::to_string(u + 1) + " and " + std::to_string(t + 1) +
             " is " + number(r) + " (covariance " + number(m(t, u)) + "), outside (-1, 1)";
  }
  return "every pair of traits looks plausible, but the " + kind + " (co)variances of traits " +
         trait_list(traits, at + 1) + " together are not positive definite: trait " + std::to_string(t + 1) +
         " is (almost) a linear combination of the others";
}

SparseLower mixed_model_lower(const SparseLower& ainv, ConstMatView g0inv, std::span<const double* const> rinv) {
  const std::int64_t nt = g0inv.rows;
  const std::int64_t na = ainv.n;
  SparseLower c;
  c.n = na * nt;
  c.colptr.assign(static_cast<std::size_t>(c.n) + 1, 0);
  // Column (b, t2): rows (b, t1) for t1 >= t2, then (a, t1) for every a > b
  // in column b of A^-1 and every t1.
  std::int64_t nnz = 0;
  for (std::int64_t b = 0; b < na; ++b) {
    const std::int64_t below = ainv.colptr[b + 1] - ainv.colptr[b] - 1;
    for (std::int64_t t2 = 0; t2 < nt; ++t2) {
      nnz += (nt - t2) + below * nt;
      c.colptr[static_cast<std::size_t>(b * nt + t2) + 1] = nnz;
    }
  }
  c.rowind.resize(static_cast<std::size_t>(nnz));
  c.values.resize(static_cast<std::size_t>(nnz));
  for (std::int64_t b = 0; b < na; ++b) {
    const std::int64_t e0 = ainv.colptr[b], e1 = ainv.colptr[b + 1];
    const double abb = ainv.values[e0];  // the diagonal comes first
    const double* r = rinv[static_cast<std::size_t>(b)];
    for (std::int64_t t2 = 0; t2 < nt; ++t2) {
      std::int64_t p = c.colptr[static_cast<std::size_t>(b * nt + t2)];
      for (std::int64_t t1 = t2; t1 < nt; ++t1, ++p) {
        c.rowind[p] = b * nt + t1;
        c.values[p] = abb * g0inv(t1, t2) + (r ? r[t1 + t2 * nt] : 0.0);
      }
      for (std::int64_t e = e0 + 1; e < e1; ++e) {
        const std::int64_t a = ainv.rowind[e];
        const double aab = ainv.values[e];
        for (std::int64_t t1 = 0; t1 < nt; ++t1, ++p) {
          c.rowind[p] = a * nt + t1;
          c.values[p] = aab * g0inv(t1, t2);
        }
      }
    }
  }
  return c;
}

}  // namespace gw

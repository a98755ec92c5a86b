#include "driver/stages.hpp"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "kernels/fatal.hpp"

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

TraitMatrices trait_covariances(const Parameters& par, const ProgressFn& progress) {
  TraitMatrices t = trait_matrices(par);
  invert_phenotypic(t, progress);
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

void invert_phenotypic(TraitMatrices& t, const ProgressFn& progress) {
  const auto n = static_cast<int>(t.g0.rows());
  Matrix<double> p0(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) p0(i, j) = t.g0(i, j) + t.r0(i, j);
  invmtx(n, p0.cview(), t.p0i.view(), progress);
}

namespace {

void add_residuals(ConstMatView r0, int nanim, MatView v) {
  const int ntrait = static_cast<int>(r0.rows);
  for (int i = 0; i < ntrait; ++i)
    for (int j = 0; j < ntrait; ++j)
      for (int k = 0; k < nanim; ++k)
        v(static_cast<std::int64_t>(i) * nanim + k, static_cast<std::int64_t>(j) * nanim + k) += r0(i, j);
}

}  // namespace

int invert_present_block(ConstIntMatView nonr, int ntrait, int nanim, MatView v, const ProgressFn& progress) {
  const int nrec = cutm(v, nonr, ntrait, nanim);
  // The packed block is inverted in place: the inverse needs no second array
  // of the record matrix's size.
  invmtx(nrec, v, v, progress);
  addm(v, nonr, ntrait, nanim, nrec);
  return nrec;
}

int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const ProgressFn& progress) {
  const int ntrait = static_cast<int>(g0.rows);
  const int nanim = static_cast<int>(a0.rows);
  kron(g0, a0, v, ntrait, ntrait, nanim, nanim);
  add_residuals(r0, nanim, v);
  return invert_present_block(nonr, ntrait, nanim, v, progress);
}

Matrix<double> allocate_record_matrix(std::int64_t d) {
  Matrix<double> m(d, d, false);
#ifdef __linux__
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(m.data()) + page - 1) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(m.data() + d * d) / page * page;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
  return m;
}

void record_covariance_in_place(ConstMatView g0, ConstMatView r0, int nanim, MatView v) {
  const std::int64_t nt = g0.rows;
  const std::int64_t n = nanim;
  const std::int64_t d = nt * n;
  if (d == 0) return;
  const double* a0 = v.data;  // column l of A0 at a0 + l * n
  // Column c = j * n + l of V is G0(., j) (x) column l of A0, and it
  // overwrites the storage [c * ld, c * ld + d). A0 occupies [0, n * n), so
  // column c overwrites at most A0's columns from c * ld / n >= c * nt >= c
  // on: going down from the last column, every A0 column that a column still
  // to come reads is intact. Column 0 (every column with one trait) reads
  // the A0 column that its first block overwrites: its other blocks are
  // written first, and the first one from the bottom up, which reads each
  // element before anything is written over it.
  const auto column = [&](std::int64_t c) {
    const std::int64_t j = c / n;
    const double* src = a0 + (c % n) * n;
    double* dst = v.col(c);
    for (std::int64_t i = nt - 1; i >= 1; --i) {
      const double gij = g0(i, j);
      double* block = dst + i * n;
      for (std::int64_t k = 0; k < n; ++k) block[k] = gij * src[k];
    }
    const double g0j = g0(0, j);
    for (std::int64_t k = n - 1; k >= 0; --k) dst[k] = g0j * src[k];
  };
  // Columns that lie wholly beyond A0's storage can go in any order.
  const std::int64_t clear = std::min(d, (n * n + v.ld - 1) / v.ld);
#pragma omp parallel for schedule(static)
  for (std::int64_t c = d - 1; c >= clear; --c) column(c);
  for (std::int64_t c = clear - 1; c >= 0; --c) column(c);
  add_residuals(r0, nanim, v);
}

std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const ProgressFn& progress) {
  const int n = static_cast<int>(g0.rows);
  Matrix<double> t(n, n), gpg0(n, n), gpg0i(n, n);
  transposed_product(g0, p0i, t.view());
  product(t.cview(), g0, gpg0.view());
  invmtx(n, gpg0.cview(), gpg0i.view(), progress);
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

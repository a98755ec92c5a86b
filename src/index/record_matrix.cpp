#include "index/record_matrix.hpp"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "base/fatal.hpp"

namespace gw {

void add_residuals(ConstMatView r0, int nanim, MatView v) {
  const int ntrait = static_cast<int>(r0.rows);
  for (int i = 0; i < ntrait; ++i)
    for (int j = 0; j < ntrait; ++j)
      for (int k = 0; k < nanim; ++k)
        v(static_cast<std::int64_t>(i) * nanim + k, static_cast<std::int64_t>(j) * nanim + k) += r0(i, j);
}

int invert_present_block(ConstIntMatView nonr, int ntrait, int nanim, MatView v, const PivotSteps& pivots) {
  const int nrec = cutm(v, nonr, ntrait, nanim);
  // The packed block is inverted in place: the inverse needs no second array
  // of the record matrix's size.
  invmtx(nrec, v, v, pivots);
  addm(v, nonr, ntrait, nanim, nrec);
  return nrec;
}

int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const PivotSteps& pivots) {
  const int ntrait = static_cast<int>(g0.rows);
  const int nanim = static_cast<int>(a0.rows);
  kron(g0, a0, v, ntrait, ntrait, nanim, nanim);
  add_residuals(r0, nanim, v);
  return invert_present_block(nonr, ntrait, nanim, v, pivots);
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

}  // namespace gw

// Gauss-Jordan inversion, one pivot step at a time over the whole matrix.
//
// The elimination runs in place in b in a column-shifting form: at every
// pivot step the column that would become a unit column is dropped, the
// working block moves one column to the left and the new column of the
// inverse enters as the last column. Each element sees exactly these
// operations, in this order:
//   pivot row:  w(k, j-1) = w(k, j) / p            (a true division)
//               w(k, n-1) = 1.0 / p
//   other rows: w(i, j-1) = w(i, j) - t_i * w(k, j-1)
//               w(i, n-1) = -(t_i * w(k, n-1))
// with t_i = w(i, 0) taken before the step. The loops below run over columns
// on the outside so that the inner loop walks contiguous storage; every
// element still receives the same operations on the same operands.
#include <cmath>
#include <utility>
#include <vector>

#include "base/fatal.hpp"
#include "kernels/kernels.hpp"

namespace gw {

namespace {

// Copies a into b over b's whole extent, unless they are the same array.
void copy_whole(ConstMatView a, MatView b) {
  if (a.data == b.data && a.ld == b.ld) return;
  for (std::int64_t j = 0; j < b.cols; ++j)
    for (std::int64_t i = 0; i < b.rows; ++i) b(i, j) = a(i, j);
}

}  // namespace

void invmtx_plain(int n, ConstMatView a, MatView b, const PivotSteps& pivots) {
  if (n < 1) throw FatalError::console_message("Order of matrix is less than 1 !");
  if (n == 1) {
    const double v = a(0, 0);
    if (std::fabs(v) < kSingularThreshold) throw FatalError::console_message("Matrix is singular !");
    b(0, 0) = 1.0 / v;
    return;
  }
  copy_whole(a, b);
  MatView w = b;
  std::vector<int> perm(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) perm[i] = i;
  std::vector<double> t(static_cast<std::size_t>(n));

  for (int k = 0; k < n; ++k) {
    // Pivot search: strict greater-than from 0.0, so the lowest row wins a
    // tie and a not-a-number is never chosen.
    double best = 0.0;
    int l = k;
    for (int i = k; i < n; ++i) {
      const double v = std::fabs(w(i, 0));
      if (v > best) {
        best = v;
        l = i;
      }
    }
    if (best < kSingularThreshold) throw FatalError::console_message("Matrix is singular !");

    std::swap(perm[l], perm[k]);
    for (int j = 0; j < n; ++j) std::swap(w(l, j), w(k, j));

    const double p = w(k, 0);
    for (int i = 0; i < n; ++i) t[i] = w(i, 0);
    for (int j = 1; j < n; ++j) {
      double* dst = w.col(j - 1);
      const double* src = w.col(j);
      const double pk = src[k] / p;
      for (int i = 0; i < k; ++i) dst[i] = src[i] - t[i] * pk;
      dst[k] = pk;
      for (int i = k + 1; i < n; ++i) dst[i] = src[i] - t[i] * pk;
    }
    double* last = w.col(n - 1);
    const double pk = 1.0 / p;
    for (int i = 0; i < k; ++i) last[i] = -(t[i] * pk);
    last[k] = pk;
    for (int i = k + 1; i < n; ++i) last[i] = -(t[i] * pk);

    if ((k + 1) % 100 == 0 && pivots) pivots(k + 1);
  }

  // Undo the row exchanges as column exchanges.
  for (int k = 0; k < n; ++k) {
    int i = k;
    while (perm[i] != k) ++i;
    perm[i] = perm[k];
    if (i != k)
      for (int r = 0; r < n; ++r) std::swap(w(r, i), w(r, k));
  }
}

}  // namespace gw

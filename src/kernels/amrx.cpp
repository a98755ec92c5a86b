// Additive relationship matrix by the tabular method.
//
// Animals are processed in list order. For animal i with parents s and d
// (1-based codes, 0 = unknown) the relationships with every earlier animal j
// are
//   both parents known:  A(i,j) = (A(d,j) + A(s,j)) / 2,  A(i,i) = 1 + A(s,d) / 2
//   one parent known:    A(i,j) = A(parent,j) / 2,        A(i,i) = 1
//   none known:          A(i,j) = 0,                      A(i,i) = 1
// Every off-diagonal value is computed once and copied to its mirror, so the
// matrix is symmetric bit for bit and A(p,j) may be read at (p, j) or at
// (j, p) alike. The new values are computed down column i (contiguous in
// column-major storage) and copied into row i. Every value comes from the
// same operation on the same operands as the row-wise formulation.
//
// The copies into the rows are made for a block of animals at a time, tile
// by tile, rather than one strided row per animal. Until its block is
// copied, the row of an animal j of the current block is missing; where
// column i needs A(p, j) for such a j > p, it reads the mirror A(j, p) at
// (p, j) in column j instead, which is already final.
#include <algorithm>
#include <cassert>

#include "kernels/kernels.hpp"

namespace gw {

namespace {

constexpr int kBlock = 64;  // animals whose row copies are made together

}  // namespace

void amrx(const std::int32_t* id1, const std::int32_t* id2, MatView a, int n) {
  for (std::int64_t j = 0; j < a.cols; ++j) std::fill_n(a.col(j), a.rows, 0.0);
  for (int i = 0; i < n; ++i) a(i, i) = 1.0;

  // A(p, j) for j < i, p < i: from column p above and on its diagonal, from
  // column j (the mirror) below it in the current block.
  const auto parent = [&](int p, int j, int b0) { return j <= p || j < b0 ? a(j, p) : a(p, j); };

  for (int b0 = 0; b0 < n; b0 += kBlock) {
    const int b1 = std::min(n, b0 + kBlock);
    for (int i = b0; i < b1; ++i) {
      const int s = id1[i];
      const int d = id2[i];
      assert(s >= 0 && s <= i && d >= 0 && d <= i && "parents must precede their offspring");
      if (s == 0 && d == 0) continue;

      double* ci = a.col(i);
      if (s != 0 && d != 0) {
        a(i, i) = 1.0 + a(std::min(s, d) - 1, std::max(s, d) - 1) / 2.0;
        const double* cs = a.col(s - 1);
        const double* cd = a.col(d - 1);
        const int direct = std::min(i, b0);
        for (int j = 0; j < direct; ++j) ci[j] = (cd[j] + cs[j]) / 2.0;
        for (int j = direct; j < i; ++j) ci[j] = (parent(d - 1, j, b0) + parent(s - 1, j, b0)) / 2.0;
      } else {
        const int p = (s != 0 ? s : d) - 1;
        const double* cp = a.col(p);
        const int direct = std::min(i, b0);
        for (int j = 0; j < direct; ++j) ci[j] = cp[j] / 2.0;
        for (int j = direct; j < i; ++j) ci[j] = parent(p, j, b0) / 2.0;
      }
    }
    // Rows b0 .. b1-1 receive their columns' values, A(i, j) = A(j, i) for
    // j < i, a tile of kBlock columns j at a time.
    for (int j0 = 0; j0 < b1 - 1; j0 += kBlock) {
      const int j1 = std::min(b1 - 1, j0 + kBlock);
      for (int j = j0; j < j1; ++j) {
        double* cj = a.col(j);
        for (int i = std::max(b0, j + 1); i < b1; ++i) cj[i] = a(j, i);
      }
    }
  }
}

}  // namespace gw

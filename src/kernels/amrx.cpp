// Additive relationship matrix by the tabular method.
//
// Animals are processed in list order. For animal i with parents s and d
// (1-based codes, 0 = unknown) the relationships with every earlier animal j
// are
//   both parents known:  A(i,j) = (A(d,j) + A(s,j)) / 2,  A(i,i) = 1 + A(s,d) / 2
//   one parent known:    A(i,j) = A(parent,j) / 2,        A(i,i) = 1
//   none known:          A(i,j) = 0,                      A(i,i) = 1
// When animal i is reached, the leading (i-1) x (i-1) block is final and
// exactly symmetric (every off-diagonal value is written once and copied to
// its mirror), so A(s,j) == A(j,s) bit for bit. The new values are therefore
// computed down column i from columns s and d, which are contiguous in
// column-major storage, and then copied into row i. Every value comes from
// the same operation on the same operands as the row-wise formulation.
#include <algorithm>
#include <cassert>

#include "kernels/kernels.hpp"

namespace gw {

void amrx(const std::int32_t* id1, const std::int32_t* id2, MatView a, int n) {
  for (std::int64_t j = 0; j < a.cols; ++j) std::fill_n(a.col(j), a.rows, 0.0);
  for (int i = 0; i < n; ++i) a(i, i) = 1.0;

  for (int i = 0; i < n; ++i) {
    const int s = id1[i];
    const int d = id2[i];
    assert(s >= 0 && s <= i && d >= 0 && d <= i && "parents must precede their offspring");
    if (s == 0 && d == 0) continue;

    double* ci = a.col(i);
    if (s != 0 && d != 0) {
      a(i, i) = 1.0 + a(s - 1, d - 1) / 2.0;
      const double* cs = a.col(s - 1);
      const double* cd = a.col(d - 1);
      for (int j = 0; j < i; ++j) ci[j] = (cd[j] + cs[j]) / 2.0;
    } else {
      const double* cp = a.col((s != 0 ? s : d) - 1);
      for (int j = 0; j < i; ++j) ci[j] = cp[j] / 2.0;
    }
    for (int j = 0; j < i; ++j) a(i, j) = ci[j];
  }
}

}  // namespace gw

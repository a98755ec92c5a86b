// Kronecker product of an m x n left factor and an s x t right factor.
#include "kernels/kernels.hpp"

namespace gw {

void kron(ConstMatView a, ConstMatView b, MatView p, int m, int n, int s, int t) {
  // Each element of the product block is one multiplication, written once;
  // the loops run down the columns of p so that the writes are contiguous.
  for (int j = 0; j < n; ++j) {
    for (int l = 0; l < t; ++l) {
      double* dst = p.col(static_cast<std::int64_t>(j) * t + l);
      const double* bl = b.col(l);
      for (int i = 0; i < m; ++i) {
        const double aij = a(i, j);
        double* block = dst + static_cast<std::int64_t>(i) * s;
        for (int k = 0; k < s; ++k) block[k] = aij * bl[k];
      }
    }
  }
}

}  // namespace gw

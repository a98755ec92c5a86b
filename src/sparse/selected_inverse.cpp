#include "sparse/selected_inverse.hpp"

#include <algorithm>
#include <stdexcept>

#include "sparse/blas.hpp"

namespace gw {

namespace {

struct Sizes {
  std::int64_t max_rows = 0;   // most off-diagonal rows of a supernode (m)
  std::int64_t max_block = 0;  // largest m x nscol
};

Sizes work_sizes(const SupernodalView& f) {
  Sizes z;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    const std::int64_t m = f.nrows(k) - f.ncols(k);
    z.max_rows = std::max(z.max_rows, m);
    z.max_block = std::max(z.max_block, m * f.ncols(k));
  }
  return z;
}

[[noreturn]] void not_on_pattern() {
  throw std::logic_error("selected inverse: the factor's pattern is not closed (a row of a supernode is missing "
                         "from the column that should hold it)");
}

// Z_RR of supernode J, lower triangle, into w (m x m, leading dimension m).
// The rows R that are columns of one later supernode S are handled
// together: their positions in S's row list are found in one walk down it,
// and column R[b] of Z is then read at those positions.
void gather(const SupernodalView& f, const std::vector<std::int64_t>& owners, const std::int64_t* rows,
            std::int64_t m, double* w, std::int64_t* pos) {
  for (std::int64_t a0 = 0; a0 < m;) {
    const std::int64_t c0 = rows[a0];
    const std::int64_t sn = owners[static_cast<std::size_t>(c0)];
    const std::int64_t first = f.super[sn], end = f.super[sn + 1], nsrow = f.nrows(sn);
    const std::int64_t* srows = f.s + f.pi[sn];
    const double* xs = f.x + f.px[sn];
    std::int64_t a1 = a0;
    while (a1 < m && rows[a1] < end) ++a1;
    std::int64_t q = c0 - first;
    for (std::int64_t a = a0; a < m; ++a) {
      while (q < nsrow && srows[q] < rows[a]) ++q;
      if (q == nsrow || srows[q] != rows[a]) not_on_pattern();
      pos[a] = q;
    }
    for (std::int64_t b = a0; b < a1; ++b) {
      const double* zc = xs + (rows[b] - first) * nsrow;
      double* wc = w + b * m;
      for (std::int64_t a = b; a < m; ++a) wc[a] = zc[pos[a]];
    }
    a0 = a1;
  }
}

}  // namespace

std::vector<std::int64_t> column_owners(const SupernodalView& f) {
  std::vector<std::int64_t> owners(static_cast<std::size_t>(f.n));
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    std::fill(owners.begin() + f.super[k], owners.begin() + f.super[k + 1], k);
  return owners;
}

void selected_inverse(const SupernodalView& f) {
  const std::vector<std::int64_t> owners = column_owners(f);
  const Sizes z = work_sizes(f);
  std::vector<double> w(static_cast<std::size_t>(z.max_rows * z.max_rows));
  std::vector<double> t(static_cast<std::size_t>(z.max_block));
  std::vector<std::int64_t> pos(static_cast<std::size_t>(z.max_rows));
  const double one = 1.0, minus_one = -1.0, zero = 0.0;
  for (std::int64_t j = f.nsuper - 1; j >= 0; --j) {
    const int nscol = static_cast<int>(f.ncols(j));
    const int nsrow = static_cast<int>(f.nrows(j));
    const int m = nsrow - nscol;
    double* l = f.x + f.px[j];
    double* lr = l + nscol;  // L_RJ, becoming Y, then Z_RJ
    if (m > 0) {
      gather(f, owners, f.s + f.pi[j] + nscol, m, w.data(), pos.data());
      // Y = L_RJ L_JJ^-1, in place.
      dtrsm_("R", "L", "N", "N", &m, &nscol, &one, l, &nsrow, lr, &nsrow, 1, 1, 1, 1);
      // T = -Z_RR Y, from the lower triangle of Z_RR.
      dsymm_("L", "L", &m, &nscol, &minus_one, w.data(), &m, lr, &nsrow, &zero, t.data(), &m, 1, 1);
    }
    // Z_JJ = L_JJ^-T L_JJ^-1 (lower triangle), then less Y' Z_RJ.
    int info = 0;
    dtrtri_("L", "N", &nscol, l, &nsrow, &info, 1, 1);
    if (info != 0) throw std::logic_error("selected inverse: a diagonal element of the factor is zero");
    dlauum_("L", &nscol, l, &nsrow, &info, 1);
    if (m > 0) {
      dgemm_("T", "N", &nscol, &nscol, &m, &minus_one, lr, &nsrow, t.data(), &m, &one, l, &nsrow, 1, 1);
      for (int c = 0; c < nscol; ++c)
        std::copy_n(t.data() + static_cast<std::size_t>(c) * m, m, lr + static_cast<std::int64_t>(c) * nsrow);
    }
  }
}

double selected_element(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t r,
                        std::int64_t c) {
  if (r < c) std::swap(r, c);
  const std::int64_t sn = owners[static_cast<std::size_t>(c)];
  const std::int64_t offset = c - f.super[sn], nsrow = f.nrows(sn);
  const std::int64_t* srows = f.s + f.pi[sn];
  const std::int64_t* at = std::lower_bound(srows + offset, srows + nsrow, r);
  if (at == srows + nsrow || *at != r) not_on_pattern();
  return f.x[f.px[sn] + offset * nsrow + (at - srows)];
}

void selected_inverse_plain(const SupernodalView& f) {
  const std::vector<std::int64_t> owners = column_owners(f);
  std::vector<double> l, z;
  for (std::int64_t j = f.n - 1; j >= 0; --j) {
    const std::int64_t sn = owners[static_cast<std::size_t>(j)];
    const std::int64_t o = j - f.super[sn], nsrow = f.nrows(sn);
    double* col = f.x + f.px[sn] + o * nsrow;
    const std::int64_t* rows = f.s + f.pi[sn] + o + 1;  // the rows below j
    const std::int64_t m = nsrow - o - 1;
    const double ljj = col[o];
    l.assign(col + o + 1, col + nsrow);
    z.assign(static_cast<std::size_t>(m), 0.0);
    // z = -Z_RR l / l_jj, Z_jj = 1 / l_jj^2 - (l / l_jj)' z
    for (std::int64_t a = 0; a < m; ++a) {
      double sum = 0.0;
      for (std::int64_t b = 0; b < m; ++b) sum += selected_element(f, owners, rows[a], rows[b]) * l[b];
      z[a] = -sum / ljj;
    }
    double zjj = 1.0 / (ljj * ljj);
    for (std::int64_t a = 0; a < m; ++a) zjj -= l[a] / ljj * z[a];
    col[o] = zjj;
    std::copy(z.begin(), z.end(), col + o + 1);
  }
}

double selected_inverse_flops(const SupernodalView& f) {
  double flops = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    const double c = static_cast<double>(f.ncols(k));
    const double m = static_cast<double>(f.nrows(k)) - c;
    // trsm, symm, trtri + lauum, gemm
    flops += m * c * c + 2 * m * m * c + 2 * c * c * c / 3 + 2 * c * c * m;
  }
  return flops;
}

std::uint64_t selected_inverse_work_bytes(const SupernodalView& f) {
  const Sizes z = work_sizes(f);
  return static_cast<std::uint64_t>(z.max_rows * z.max_rows + z.max_block) * sizeof(double) +
         static_cast<std::uint64_t>(f.n + z.max_rows) * sizeof(std::int64_t);
}

}  // namespace gw

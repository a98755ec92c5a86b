// Compaction and expansion of the rows and columns of a square matrix over
// the combined (trait, animal) positions r = a*q + b, keep flag f(b, a).
//
// Both are pure moves of elements (plus zeros for addm), so they are done in
// one pass that moves every kept column and row once, working down columns
// (contiguous storage):
//
//  cutm: kept positions pos[0] < pos[1] < ... < pos[k-1]. For a = 0..k-1,
//        column a receives column pos[a] with its rows gathered,
//        new(b, a) = old(pos[b], pos[a]), and its rows beyond the p*q
//        positions copied unchanged. Since a <= pos[a] and b <= pos[b], in
//        ascending order nothing is overwritten before it has been read.
//        Columns beyond p*q get the same row gathering in place. The leading
//        k x k block is the input restricted to the kept positions; rows and
//        columns beyond p*q also follow the moves, so that an expansion
//        afterwards restores them.
//
//  addm: the reverse, in descending order: column pos[a] receives column a
//        with its rows scattered, new(pos[b], pos[a]) = old(b, a), and rows
//        beyond p*q copied; columns beyond p*q are scattered in place. Then
//        every row and column of a removed position is set to zero over the
//        whole extent. Rows and columns beyond p*q thus end up exactly as a
//        one-position-at-a-time shifting would leave them: moved with the
//        kept rows and columns, zero in removed ones.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include "kernels/kernels.hpp"

namespace gw {

namespace {

// Combined positions whose flag is exactly 1, in ascending order.
std::vector<std::int64_t> kept_positions(ConstIntMatView f, int p, int q) {
  std::vector<std::int64_t> pos;
  for (int a = 0; a < p; ++a)
    for (int b = 0; b < q; ++b)
      if (f(b, a) == 1) pos.push_back(static_cast<std::int64_t>(a) * q + b);
  return pos;
}

}  // namespace

int cutm(MatView m, ConstIntMatView f, int p, int q) {
  const std::vector<std::int64_t> pos = kept_positions(f, p, q);
  const auto k = static_cast<std::int64_t>(pos.size());
  const std::int64_t npos = static_cast<std::int64_t>(p) * q;

  // Gathers the kept rows of column `src` into the leading k rows of column
  // `dst` (possibly the same column) and copies the rows beyond npos.
  auto gather = [&](const double* src, double* dst) {
    for (std::int64_t b = 0; b < k; ++b) dst[b] = src[pos[b]];
    if (src != dst)
      for (std::int64_t i = npos; i < m.rows; ++i) dst[i] = src[i];
  };
  for (std::int64_t a = 0; a < k; ++a) gather(m.col(pos[a]), m.col(a));
  for (std::int64_t j = npos; j < m.cols; ++j) gather(m.col(j), m.col(j));
  return static_cast<int>(k);
}

void addm(MatView m, ConstIntMatView f, int p, int q, int k) {
  const std::vector<std::int64_t> pos = kept_positions(f, p, q);
  assert(static_cast<std::int64_t>(pos.size()) == k && "k must be the count returned by cutm for these flags");
  const auto kk = std::min(static_cast<std::int64_t>(pos.size()), static_cast<std::int64_t>(k));
  const std::int64_t npos = static_cast<std::int64_t>(p) * q;

  // Scatters the leading kk rows of column `src` to the kept rows of column
  // `dst` (possibly the same column) and copies the rows beyond npos.
  auto scatter = [&](const double* src, double* dst) {
    for (std::int64_t b = kk - 1; b >= 0; --b) dst[pos[b]] = src[b];
    if (src != dst)
      for (std::int64_t i = npos; i < m.rows; ++i) dst[i] = src[i];
  };
  for (std::int64_t a = kk - 1; a >= 0; --a) scatter(m.col(a), m.col(pos[a]));
  for (std::int64_t j = npos; j < m.cols; ++j) scatter(m.col(j), m.col(j));

  // Zero the removed positions: whole columns, and their rows in every
  // other column.
  std::vector<std::int64_t> gone;
  gone.reserve(static_cast<std::size_t>(npos - kk));
  for (std::int64_t r = 0, b = 0; r < npos; ++r) {
    if (b < kk && pos[b] == r)
      ++b;
    else
      gone.push_back(r);
  }
  std::size_t next_gone = 0;
  for (std::int64_t j = 0; j < m.cols; ++j) {
    double* c = m.col(j);
    if (next_gone < gone.size() && gone[next_gone] == j) {
      ++next_gone;
      std::fill_n(c, m.rows, 0.0);
    } else {
      for (const std::int64_t i : gone) c[i] = 0.0;
    }
  }
}

}  // namespace gw

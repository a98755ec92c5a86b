// The selected inverse of a sparse symmetric positive definite matrix from
// its supernodal Cholesky factor: the elements of C^-1 on the pattern of the
// factor L (C = L L', both in the factor's permuted order), written over L.
//
// With Z = C^-1 = L^-T L^-1, Z L = L^-T is upper triangular. For a
// supernode J with diagonal block L_JJ and off-diagonal rows R (block L_RJ)
// this gives the recurrences of Takahashi, Fagan and Chen (1973):
//
//   Y    = L_RJ L_JJ^-1
//   Z_RJ = -Z_RR Y
//   Z_JJ = L_JJ^-T L_JJ^-1 - Y' Z_RJ
//
// Z_RR lies on the factor's pattern (the rows of a supernode form a clique of
// the filled graph) in supernodes after J. So the supernodes are taken from
// the last to the first, and each one's part of Z is written over its part
// of L as soon as it is complete: L_JJ and L_RJ are needed by no other
// supernode. Memory stays at one factor plus the work space of the largest
// supernode.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/stages.hpp"

namespace gw {

// A supernodal LL' factor in CHOLMOD's layout; nothing is owned. Supernode
// k holds the columns super[k] .. super[k+1]-1; its row indices are
// s[pi[k]] .. s[pi[k+1]-1], ascending and starting with its own columns; its
// values are an nsrow x nscol column-major block at x + px[k] (nsrow =
// pi[k+1] - pi[k], nscol = super[k+1] - super[k]) whose lower trapezoid
// holds the factor. `x` may be null for a symbolic factor.
struct SupernodalView {
  std::int64_t n = 0;
  std::int64_t nsuper = 0;
  const std::int64_t* super = nullptr;
  const std::int64_t* pi = nullptr;
  const std::int64_t* px = nullptr;
  const std::int64_t* s = nullptr;
  double* x = nullptr;

  std::int64_t ncols(std::int64_t k) const { return super[k + 1] - super[k]; }
  std::int64_t nrows(std::int64_t k) const { return pi[k + 1] - pi[k]; }
};

// The supernode that holds each column.
std::vector<std::int64_t> column_owners(const SupernodalView& f);

struct SelectedInverseOptions {
  int threads = 0;  // 0: omp_get_max_threads()
  int panel = 0;    // columns of Z_RR gathered at a time; 0: 512
  int split = 0;    // columns of a panel of a root supernode wider than that; 0: 256
};

// Overwrites the factor in f.x with the selected inverse, a supernode at a
// time with BLAS-3 and LAPACK calls on dense blocks. The large supernodes at the top of the tree
// run one after another with multithreaded BLAS, the independent subtrees
// below them in parallel, each on one thread; which supernode runs how
// follows from the pattern and the thread count alone, so the result is the
// same from run to run for a given thread count. `stages`, when given, is
// told the share of the floating-point operations done (0 to 1) from time
// to time, within the stage its caller has begun, always from the calling
// thread.
void selected_inverse(const SupernodalView& f, const SelectedInverseOptions& options = {},
                      StageObserver* stages = nullptr);

// The same, one column at a time with plain loops; the reference that the
// supernodal form is tested against.
void selected_inverse_plain(const SupernodalView& f);

// Z(r, c) after either routine, for any r and c on the pattern (either
// order). `owners` is column_owners(f).
double selected_element(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t r,
                        std::int64_t c);

// Floating-point operations of selected_inverse (from the pattern alone).
double selected_inverse_flops(const SupernodalView& f, const SelectedInverseOptions& options = {});

// Bytes of work space that selected_inverse allocates (from the pattern
// alone): a panel of Z_RR and Z_RJ of the largest supernode of the top or,
// per thread, of the subtrees below it; the column owners, the schedule and
// the row positions.
std::uint64_t selected_inverse_work_bytes(const SupernodalView& f, const SelectedInverseOptions& options = {});

}  // namespace gw

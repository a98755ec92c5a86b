// Internals of the blocked Gauss-Jordan inversion behind invmtx.
//
// The blocked form gives the same bits as invmtx_plain for every input,
// thread count and blocking, because in the unshifted column frame every
// element receives one separately rounded multiply-then-subtract per pivot
// step, in step order, whatever the blocking: there are no sums across
// elements. The blocking below only changes when an element receives its
// operations, never which ones or in what order.
#pragma once

#include <cstdint>

#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"

namespace gw::invmtx_detail {

// Zero in a field picks its default.
struct Blocking {
  int panel = 0;      // pivot steps factored together as one panel
  int leaf = 0;       // panel width up to which steps are taken one at a time
  int col_block = 0;  // columns per work unit of the delayed update
  int row_block = 0;  // rows per cache block of the update kernel
  int threads = 0;    // worker threads; 0 uses omp_get_max_threads()
  KernelSet kernels = KernelSet::automatic;
};

// The blocking invmtx uses.
Blocking default_blocking();

// invmtx with an explicit blocking (for tests and measurements).
void invmtx_blocked(int n, ConstMatView a, MatView b, const PivotSteps& pivots, const Blocking& blocking);

// ---------------------------------------------------------------------------
// Inner loops, one set per instruction set. All of them apply to each element
// exactly the operations of the plain form, in the same order.

// The largest register tile of any set.
inline constexpr int kMaxTileRows = 24;
inline constexpr int kMaxTileCols = 8;

struct Loops {
  KernelSet set;  // the instruction set these loops are built for
  // The update kernel works on tiles of tile_rows x tile_cols elements
  // (at most kMaxTileRows x kMaxTileCols).
  int tile_rows;
  int tile_cols;

  // c(i, j) = c(i, j) - t(i, k) * u(k, j) for k = 0, 1, ..., depth-1 in this
  // order, each product and difference rounded on its own, over the
  // rows x cols block c (column-major, leading dimension ldc).
  // t is packed by tiles of tile_rows rows: tile m holds at
  // tpack + m*tile_rows*depth the values t(m*tile_rows + i, k) at
  // [k*tile_rows + i]; its rows beyond `rows` are padding. u is packed by
  // groups of tile_cols columns: group q holds at upack + q*tile_cols*depth
  // the values u(k, q*tile_cols + j) at [k*tile_cols + j].
  void (*update)(double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols, const double* tpack,
                 const double* upack, int depth, std::int64_t row_block);

  // y[i] = y[i] - x[i] * s for i < len.
  void (*sub_scaled)(double* y, const double* x, double s, std::int64_t len);

  // The pivot rows of `depth` consecutive steps s0, s0+1, ... for one group
  // of tile_cols columns. x holds the rows s0.. of these columns, row r at
  // x[r*tile_cols ...]; t(r, k) = t[r + k*ldt] is row s0+r's multiplier of
  // step s0+k and pivot[k] that step's pivot. For k = 0, 1, ...: row k is
  // divided by pivot[k], which gives u(k, .) (written to u[k*tile_cols ...]),
  // and then every other row r receives x(r) = x(r) - t(r, k) * u(k).
  void (*pivot_rows)(double* x, const double* t, std::int64_t ldt, const double* pivot, int depth, double* u);
};

// The loops of a kernel set; automatic resolves through resolve_kernel_set.
const Loops& loops_for(KernelSet set);

}  // namespace gw::invmtx_detail

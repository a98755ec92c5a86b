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

#include "kernels/kernels.hpp"

namespace gw::invmtx_detail {

enum class Isa {
  automatic,  // AVX-512 when the processor has it, else the portable loops
  portable,   // plain C++ loops, whatever the processor
};

// Zero in a field picks its default.
struct Blocking {
  int panel = 0;      // pivot steps factored together as one panel
  int leaf = 0;       // panel width up to which steps are taken one at a time
  int col_block = 0;  // columns per work unit of the delayed update
  int row_block = 0;  // rows per cache block of the update kernel
  int threads = 0;    // worker threads; 0 uses omp_get_max_threads()
  Isa isa = Isa::automatic;
};

// The blocking invmtx uses.
Blocking default_blocking();

// invmtx with an explicit blocking (for tests and measurements).
void invmtx_blocked(int n, ConstMatView a, MatView b, const ProgressFn& progress, const Blocking& blocking);

// ---------------------------------------------------------------------------
// Inner loops, one set per instruction set. All of them apply to each element
// exactly the operations of the plain form, in the same order.

// The update kernel works on tiles of kTileRows x kTileCols elements.
inline constexpr int kTileRows = 24;
inline constexpr int kTileCols = 8;

struct Loops {
  // c(i, j) = c(i, j) - t(i, k) * u(k, j) for k = 0, 1, ..., depth-1 in this
  // order, each product and difference rounded on its own, over the
  // rows x cols block c (column-major, leading dimension ldc).
  // t is packed by tiles of kTileRows rows: tile m holds at tpack + m*kTileRows*depth
  // the values t(m*kTileRows + i, k) at [k*kTileRows + i]; its rows beyond
  // `rows` are padding. u is packed by groups of kTileCols columns: group q
  // holds at upack + q*kTileCols*depth the values u(k, q*kTileCols + j) at
  // [k*kTileCols + j]. tpack must be aligned to 64 bytes.
  void (*update)(double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols, const double* tpack,
                 const double* upack, int depth, std::int64_t row_block);

  // y[i] = y[i] - x[i] * s for i < len.
  void (*sub_scaled)(double* y, const double* x, double s, std::int64_t len);

  // The pivot rows of `depth` consecutive steps s0, s0+1, ... for one group
  // of kTileCols columns. x holds the rows s0.. of these columns, row r at
  // x[r*kTileCols ...]; t(r, k) = t[r + k*ldt] is row s0+r's multiplier of
  // step s0+k and pivot[k] that step's pivot. For k = 0, 1, ...: row k is
  // divided by pivot[k], which gives u(k, .) (written to u[k*kTileCols ...]),
  // and then every other row r receives x(r) = x(r) - t(r, k) * u(k).
  void (*pivot_rows)(double* x, const double* t, std::int64_t ldt, const double* pivot, int depth, double* u);
};

// The loops for an instruction set; Isa::automatic resolves at run time.
const Loops& loops_for(Isa isa);

}  // namespace gw::invmtx_detail

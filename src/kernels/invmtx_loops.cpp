// Inner loops of the blocked inversion, one set per instruction set: the
// portable loops in plain C++, and vector loops from one source
// (invmtx_vector_loops.inc) compiled for SSE2, AVX2 and AVX-512 on x86-64 and
// for NEON on aarch64. All apply to every element the same multiply and
// subtract (never fused), in the same order, so they give the same bits.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw::invmtx_detail {

namespace {

using TileFn = void (*)(double*, std::int64_t, const double*, const double*, int);

// Runs `tile` (mr x nr elements) over the block; partial tiles at the edges
// go through a scratch tile so that the tile code always sees full tiles.
// With widen > 1 the tile receives every value of u repeated `widen` times
// (aligned to 64 bytes), for sets that cannot broadcast from memory.
void update_blocked(TileFn tile, int mr, int nr, int widen, double* c, std::int64_t ldc, std::int64_t rows,
                    std::int64_t cols, const double* tpack, const double* upack, int depth, std::int64_t row_block) {
  if (rows <= 0 || cols <= 0) return;
  const std::int64_t tiles = (rows + mr - 1) / mr;
  const std::int64_t groups = (cols + nr - 1) / nr;
  const std::int64_t tiles_per_block = std::max<std::int64_t>(1, row_block / mr);
  std::vector<double> wide_store;
  double* wide = nullptr;
  if (widen > 1) {
    wide_store.resize(static_cast<std::size_t>(depth) * nr * widen + 8);
    wide = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(wide_store.data()) + 63) & ~std::uintptr_t{63});
  }
  for (std::int64_t m0 = 0; m0 < tiles; m0 += tiles_per_block) {
    const std::int64_t m1 = std::min(tiles, m0 + tiles_per_block);
    for (std::int64_t q = 0; q < groups; ++q) {
      const std::int64_t nc = std::min<std::int64_t>(nr, cols - q * nr);
      const double* uq = upack + q * nr * depth;
      if (wide) {
        for (std::int64_t i = 0; i < std::int64_t{depth} * nr; ++i)
          for (int w = 0; w < widen; ++w) wide[i * widen + w] = uq[i];
        uq = wide;
      }
      for (std::int64_t m = m0; m < m1; ++m) {
        const std::int64_t rr = std::min<std::int64_t>(mr, rows - m * mr);
        double* cm = c + m * mr + q * nr * ldc;
        const double* tm = tpack + m * mr * depth;
        if (m + 1 < m1) {
          // The next tile of these columns, while this one computes.
          const double* nx = cm + mr;
          for (std::int64_t j = 0; j < nc; ++j)
            for (int l = 0; l < mr; l += 8) __builtin_prefetch(nx + j * ldc + l, 1, 3);
        }
        if (rr == mr && nc == nr) {
          tile(cm, ldc, tm, uq, depth);
        } else {
          alignas(64) double scratch[kMaxTileRows * kMaxTileCols] = {};
          for (std::int64_t j = 0; j < nc; ++j) std::memcpy(scratch + j * mr, cm + j * ldc, sizeof(double) * rr);
          tile(scratch, mr, tm, uq, depth);
          for (std::int64_t j = 0; j < nc; ++j) std::memcpy(cm + j * ldc, scratch + j * mr, sizeof(double) * rr);
        }
      }
    }
  }
}

// ----------------------------------------------------------- portable loops

namespace portable_set {

constexpr int MR = 24;
constexpr int NR = 8;

void tile(double* c, std::int64_t ldc, const double* t, const double* u, int depth) {
  for (int j = 0; j < NR; ++j) {
    double acc[MR];
    double* cj = c + j * ldc;
    for (int i = 0; i < MR; ++i) acc[i] = cj[i];
    for (int k = 0; k < depth; ++k) {
      const double uk = u[k * NR + j];
      const double* tk = t + k * MR;
      for (int i = 0; i < MR; ++i) acc[i] = acc[i] - tk[i] * uk;
    }
    for (int i = 0; i < MR; ++i) cj[i] = acc[i];
  }
}

void update(double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols, const double* tpack,
            const double* upack, int depth, std::int64_t row_block) {
  update_blocked(tile, MR, NR, 1, c, ldc, rows, cols, tpack, upack, depth, row_block);
}

void sub_scaled(double* y, const double* x, double s, std::int64_t len) {
  for (std::int64_t i = 0; i < len; ++i) y[i] = y[i] - x[i] * s;
}

void pivot_rows(double* x, const double* t, std::int64_t ldt, const double* pivot, int depth, double* u) {
  for (int k = 0; k < depth; ++k) {
    double* xk = x + k * NR;
    double* uk = u + k * NR;
    for (int j = 0; j < NR; ++j) {
      uk[j] = xk[j] / pivot[k];
      xk[j] = uk[j];
    }
    const double* tk = t + k * ldt;
    for (int r = 0; r < depth; ++r) {
      if (r == k) continue;
      const double tr = tk[r];
      double* xr = x + r * NR;
      for (int j = 0; j < NR; ++j) xr[j] = xr[j] - tr * uk[j];
    }
  }
}

constexpr Loops kLoops{KernelSet::portable, MR, NR, update, sub_scaled, pivot_rows};

}  // namespace portable_set

// ------------------------------------------------------------- vector loops
// Tile shapes per set: as many accumulators as the registers hold beside
// the multipliers and a product (16 registers for SSE2 and AVX2, 32 for
// AVX-512 and NEON). SSE2 has no broadcast from memory, so its tiles take u
// widened (kWideU): one instruction less per value.

#if defined(__x86_64__) && defined(__GNUC__)
#define GW_INVMTX_X86 1

namespace sse2_set {
constexpr KernelSet kSet = KernelSet::sse2;
constexpr int kLanes = 2, kTileVectors = 3, kTileCols = 4;
constexpr bool kWideU = true;
#include "kernels/invmtx_vector_loops.inc"
}  // namespace sse2_set

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_set {
constexpr KernelSet kSet = KernelSet::avx2;
constexpr int kLanes = 4, kTileVectors = 3, kTileCols = 4;
constexpr bool kWideU = false;
#include "kernels/invmtx_vector_loops.inc"
}  // namespace avx2_set
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512_set {
constexpr KernelSet kSet = KernelSet::avx512;
constexpr int kLanes = 8, kTileVectors = 3, kTileCols = 8;
constexpr bool kWideU = false;
#include "kernels/invmtx_vector_loops.inc"
}  // namespace avx512_set
#pragma GCC pop_options

#endif

#if defined(__aarch64__)
#define GW_INVMTX_NEON 1

namespace neon_set {
constexpr KernelSet kSet = KernelSet::neon;
constexpr int kLanes = 2, kTileVectors = 4, kTileCols = 6;
constexpr bool kWideU = false;
#include "kernels/invmtx_vector_loops.inc"
}  // namespace neon_set

#endif

}  // namespace

const Loops& loops_for(KernelSet set) {
  switch (resolve_kernel_set(set)) {
#ifdef GW_INVMTX_X86
    case KernelSet::sse2:
      return sse2_set::kLoops;
    case KernelSet::avx2:
      return avx2_set::kLoops;
    case KernelSet::avx512:
      return avx512_set::kLoops;
#endif
#ifdef GW_INVMTX_NEON
    case KernelSet::neon:
      return neon_set::kLoops;
#endif
    default:
      return portable_set::kLoops;
  }
}

}  // namespace gw::invmtx_detail

// Inner loops of the blocked inversion: a portable set in plain C++ and an
// AVX-512 set chosen at run time. Both apply to every element the same
// multiply and subtract (never fused), in the same order, so they give the
// same bits.
#include <algorithm>
#include <cstring>

#include "kernels/invmtx_fast.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define GW_INVMTX_AVX512 1
#include <immintrin.h>
#endif

namespace gw::invmtx_detail {

namespace {

constexpr int MR = kTileRows;
constexpr int NR = kTileCols;

using TileFn = void (*)(double*, std::int64_t, const double*, const double*, int);

// Runs `tile` over the block; partial tiles at the edges go through a
// scratch tile so that the tile code always sees full tiles.
void update_blocked(TileFn tile, double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols,
                    const double* tpack, const double* upack, int depth, std::int64_t row_block) {
  if (rows <= 0 || cols <= 0) return;
  const std::int64_t tiles = (rows + MR - 1) / MR;
  const std::int64_t groups = (cols + NR - 1) / NR;
  const std::int64_t tiles_per_block = std::max<std::int64_t>(1, row_block / MR);
  for (std::int64_t m0 = 0; m0 < tiles; m0 += tiles_per_block) {
    const std::int64_t m1 = std::min(tiles, m0 + tiles_per_block);
    for (std::int64_t q = 0; q < groups; ++q) {
      const std::int64_t nc = std::min<std::int64_t>(NR, cols - q * NR);
      const double* uq = upack + q * NR * depth;
      for (std::int64_t m = m0; m < m1; ++m) {
        const std::int64_t nr = std::min<std::int64_t>(MR, rows - m * MR);
        double* cm = c + m * MR + q * NR * ldc;
        const double* tm = tpack + m * MR * depth;
        if (m + 1 < m1) {
          // The next tile of these columns, while this one computes.
          const double* nx = cm + MR;
          for (std::int64_t j = 0; j < nc; ++j)
            for (int l = 0; l < MR; l += 8) __builtin_prefetch(nx + j * ldc + l, 1, 3);
        }
        if (nr == MR && nc == NR) {
          tile(cm, ldc, tm, uq, depth);
        } else {
          alignas(64) double scratch[MR * NR] = {};
          for (std::int64_t j = 0; j < nc; ++j) std::memcpy(scratch + j * MR, cm + j * ldc, sizeof(double) * nr);
          tile(scratch, MR, tm, uq, depth);
          for (std::int64_t j = 0; j < nc; ++j) std::memcpy(cm + j * ldc, scratch + j * MR, sizeof(double) * nr);
        }
      }
    }
  }
}

// ----------------------------------------------------------- portable loops

void tile_portable(double* c, std::int64_t ldc, const double* t, const double* u, int depth) {
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

void update_portable(double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols, const double* tpack,
                     const double* upack, int depth, std::int64_t row_block) {
  update_blocked(tile_portable, c, ldc, rows, cols, tpack, upack, depth, row_block);
}

void sub_scaled_portable(double* y, const double* x, double s, std::int64_t len) {
  for (std::int64_t i = 0; i < len; ++i) y[i] = y[i] - x[i] * s;
}

void pivot_rows_portable(double* x, const double* t, std::int64_t ldt, const double* pivot, int depth, double* u) {
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

constexpr Loops kPortable{update_portable, sub_scaled_portable, pivot_rows_portable};

// ------------------------------------------------------------ AVX-512 loops
#ifdef GW_INVMTX_AVX512

#define GW_AVX512 __attribute__((target("avx512f")))

GW_AVX512 void tile_avx512(double* c, std::int64_t ldc, const double* t, const double* u, int depth) {
  __m512d a0[NR], a1[NR], a2[NR];
#pragma GCC unroll 8
  for (int j = 0; j < NR; ++j) {
    a0[j] = _mm512_loadu_pd(c + j * ldc);
    a1[j] = _mm512_loadu_pd(c + j * ldc + 8);
    a2[j] = _mm512_loadu_pd(c + j * ldc + 16);
  }
  for (int k = 0; k < depth; ++k) {
    const __m512d t0 = _mm512_load_pd(t + k * MR);
    const __m512d t1 = _mm512_load_pd(t + k * MR + 8);
    const __m512d t2 = _mm512_load_pd(t + k * MR + 16);
    const double* uk = u + k * NR;
#pragma GCC unroll 8
    for (int j = 0; j < NR; ++j) {
      const __m512d b = _mm512_set1_pd(uk[j]);
      a0[j] = _mm512_sub_pd(a0[j], _mm512_mul_pd(t0, b));
      a1[j] = _mm512_sub_pd(a1[j], _mm512_mul_pd(t1, b));
      a2[j] = _mm512_sub_pd(a2[j], _mm512_mul_pd(t2, b));
    }
  }
#pragma GCC unroll 8
  for (int j = 0; j < NR; ++j) {
    _mm512_storeu_pd(c + j * ldc, a0[j]);
    _mm512_storeu_pd(c + j * ldc + 8, a1[j]);
    _mm512_storeu_pd(c + j * ldc + 16, a2[j]);
  }
}

void update_avx512(double* c, std::int64_t ldc, std::int64_t rows, std::int64_t cols, const double* tpack,
                   const double* upack, int depth, std::int64_t row_block) {
  update_blocked(tile_avx512, c, ldc, rows, cols, tpack, upack, depth, row_block);
}

GW_AVX512 void sub_scaled_avx512(double* y, const double* x, double s, std::int64_t len) {
  const __m512d vs = _mm512_set1_pd(s);
  std::int64_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m512d y0 = _mm512_sub_pd(_mm512_loadu_pd(y + i), _mm512_mul_pd(_mm512_loadu_pd(x + i), vs));
    const __m512d y1 = _mm512_sub_pd(_mm512_loadu_pd(y + i + 8), _mm512_mul_pd(_mm512_loadu_pd(x + i + 8), vs));
    _mm512_storeu_pd(y + i, y0);
    _mm512_storeu_pd(y + i + 8, y1);
  }
  for (; i < len; i += 8) {
    const std::int64_t left = len - i;
    const __mmask8 m = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1u);
    const __m512d yv = _mm512_maskz_loadu_pd(m, y + i);
    const __m512d xv = _mm512_maskz_loadu_pd(m, x + i);
    _mm512_mask_storeu_pd(y + i, m, _mm512_sub_pd(yv, _mm512_mul_pd(xv, vs)));
  }
}

// Row r of the pivot rows, one vector of kTileCols columns, receives
// x(r) = x(r) - t(r, k) * u(k) for k in [k0, k1), in this order.
GW_AVX512 inline __m512d pivot_row_updates(__m512d xr, const double* t, std::int64_t ldt, int r, int k0, int k1,
                                           const double* u) {
  for (int k = k0; k < k1; ++k) xr = _mm512_sub_pd(xr, _mm512_mul_pd(_mm512_set1_pd(t[r + k * ldt]), _mm512_loadu_pd(u + k * NR)));
  return xr;
}

// The pivot rows in two passes, each row in ascending step order:
// first every row receives the steps before it and is divided by its pivot
// (rows in order, since a row needs the u of all earlier rows), then every
// row receives the steps after it. Blocks of RB rows are held in registers
// so that each u(k) is loaded once per block and the rows form independent
// chains.
GW_AVX512 void pivot_rows_avx512(double* x, const double* t, std::int64_t ldt, const double* pivot, int depth,
                                 double* u) {
  static_assert(NR == 8, "one vector per row of a column group");
  constexpr int RB = 8;
  const int full = depth / RB * RB;
  // Pass 1: steps before the row, then the division.
  for (int r0 = 0; r0 < full; r0 += RB) {
    __m512d xr[RB];
#pragma GCC unroll 8
    for (int i = 0; i < RB; ++i) xr[i] = _mm512_loadu_pd(x + (r0 + i) * NR);
    for (int k = 0; k < r0; ++k) {
      const __m512d uk = _mm512_loadu_pd(u + k * NR);
      const double* tk = t + k * ldt + r0;
#pragma GCC unroll 8
      for (int i = 0; i < RB; ++i) xr[i] = _mm512_sub_pd(xr[i], _mm512_mul_pd(_mm512_set1_pd(tk[i]), uk));
    }
#pragma GCC unroll 8
    for (int i = 0; i < RB; ++i) {
      xr[i] = _mm512_div_pd(xr[i], _mm512_set1_pd(pivot[r0 + i]));
      _mm512_storeu_pd(u + (r0 + i) * NR, xr[i]);
      const double* tk = t + (r0 + i) * ldt + r0;
#pragma GCC unroll 8
      for (int j = i + 1; j < RB; ++j) xr[j] = _mm512_sub_pd(xr[j], _mm512_mul_pd(_mm512_set1_pd(tk[j]), xr[i]));
    }
  }
  for (int r = full; r < depth; ++r) {
    __m512d xr = pivot_row_updates(_mm512_loadu_pd(x + r * NR), t, ldt, r, 0, r, u);
    xr = _mm512_div_pd(xr, _mm512_set1_pd(pivot[r]));
    _mm512_storeu_pd(u + r * NR, xr);
  }
  // Pass 2: steps after the row, starting from u(r).
  for (int r0 = 0; r0 < full; r0 += RB) {
    __m512d xr[RB];
#pragma GCC unroll 8
    for (int i = 0; i < RB; ++i) xr[i] = _mm512_loadu_pd(u + (r0 + i) * NR);
#pragma GCC unroll 8
    for (int i = 1; i < RB; ++i) {
      const __m512d uk = _mm512_loadu_pd(u + (r0 + i) * NR);
      const double* tk = t + (r0 + i) * ldt + r0;
#pragma GCC unroll 8
      for (int j = 0; j < i; ++j) xr[j] = _mm512_sub_pd(xr[j], _mm512_mul_pd(_mm512_set1_pd(tk[j]), uk));
    }
    for (int k = r0 + RB; k < depth; ++k) {
      const __m512d uk = _mm512_loadu_pd(u + k * NR);
      const double* tk = t + k * ldt + r0;
#pragma GCC unroll 8
      for (int i = 0; i < RB; ++i) xr[i] = _mm512_sub_pd(xr[i], _mm512_mul_pd(_mm512_set1_pd(tk[i]), uk));
    }
#pragma GCC unroll 8
    for (int i = 0; i < RB; ++i) _mm512_storeu_pd(x + (r0 + i) * NR, xr[i]);
  }
  for (int r = full; r < depth; ++r)
    _mm512_storeu_pd(x + r * NR, pivot_row_updates(_mm512_loadu_pd(u + r * NR), t, ldt, r, r + 1, depth, u));
}

constexpr Loops kAvx512{update_avx512, sub_scaled_avx512, pivot_rows_avx512};

#endif

}  // namespace

const Loops& loops_for(Isa isa) {
#ifdef GW_INVMTX_AVX512
  if (isa == Isa::automatic && __builtin_cpu_supports("avx512f")) return kAvx512;
#endif
  (void)isa;
  return kPortable;
}

}  // namespace gw::invmtx_detail

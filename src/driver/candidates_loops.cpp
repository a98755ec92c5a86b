// Register tiles of the candidate stage's pass over PPI: a portable set in
// plain C++ and an AVX-512 set chosen at run time. Every output element is
// one sequential sum over u; vector lanes only ever hold different sums
// (different lanes of candidate and trait), and every product is rounded
// before it is added (no fused multiply-add), so both sets give the same
// bits as the plain candidate code.
#include "driver/candidates.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define GW_CANDIDATES_AVX512 1
#include <immintrin.h>
#endif

namespace gw::candidates_detail {

namespace {

constexpr int NC = kTileCols;
constexpr int VW = kVector;

template <int V>
void tile_portable_v(const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt) {
  constexpr int L = V * VW;
  double acc[NC][L];
  for (int c = 0; c < NC; ++c)
    for (int x = 0; x < L; ++x) acc[c][x] = t[c * ldt + x];
  for (std::int64_t u = 0; u < depth; ++u) {
    const double* gu = g + u * L;
    const double* pu = p + u * NC;
    for (int c = 0; c < NC; ++c) {
      const double pc = pu[c];
      for (int x = 0; x < L; ++x) {
        const double prod = gu[x] * pc;
        acc[c][x] = acc[c][x] + prod;
      }
    }
  }
  for (int c = 0; c < NC; ++c)
    for (int x = 0; x < L; ++x) t[c * ldt + x] = acc[c][x];
}

void tile_portable(int vectors, const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt) {
  switch (vectors) {
    case 1:
      return tile_portable_v<1>(g, p, depth, t, ldt);
    case 2:
      return tile_portable_v<2>(g, p, depth, t, ldt);
    default:
      return tile_portable_v<3>(g, p, depth, t, ldt);
  }
}

#ifdef GW_CANDIDATES_AVX512

#define GW_AVX512 __attribute__((target("avx512f")))

template <int V>
GW_AVX512 inline void tile_avx512_v(const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt) {
  __m512d acc[NC][V];
  for (int c = 0; c < NC; ++c)
    for (int v = 0; v < V; ++v) acc[c][v] = _mm512_load_pd(t + c * ldt + v * VW);
  for (std::int64_t u = 0; u < depth; ++u) {
    const double* gu = g + u * (V * VW);
    const double* pu = p + u * NC;
    __m512d gv[V];
    for (int v = 0; v < V; ++v) gv[v] = _mm512_load_pd(gu + v * VW);
    for (int c = 0; c < NC; ++c) {
      const __m512d pc = _mm512_set1_pd(pu[c]);
      for (int v = 0; v < V; ++v) acc[c][v] = _mm512_add_pd(acc[c][v], _mm512_mul_pd(gv[v], pc));
    }
  }
  for (int c = 0; c < NC; ++c)
    for (int v = 0; v < V; ++v) _mm512_store_pd(t + c * ldt + v * VW, acc[c][v]);
}

GW_AVX512 void tile_avx512(int vectors, const double* g, const double* p, std::int64_t depth, double* t,
                           std::int64_t ldt) {
  switch (vectors) {
    case 1:
      return tile_avx512_v<1>(g, p, depth, t, ldt);
    case 2:
      return tile_avx512_v<2>(g, p, depth, t, ldt);
    default:
      return tile_avx512_v<3>(g, p, depth, t, ldt);
  }
}

#endif

}  // namespace

TileFn tile_function(bool portable) {
#ifdef GW_CANDIDATES_AVX512
  if (!portable && __builtin_cpu_supports("avx512f")) return tile_avx512;
#endif
  (void)portable;
  return tile_portable;
}

}  // namespace gw::candidates_detail

// Register tiles of the candidate stage's pass over PPI, one set per
// instruction set: the portable tile in plain C++, and a vector tile from one
// source (candidates_vector_tile.inc) compiled for SSE2, AVX2 and AVX-512 on
// x86-64 and for NEON on aarch64. Every output element is one sequential sum
// over u; vector lanes only ever hold different sums (different lanes of
// candidate and trait), and every product is rounded before it is added (no
// fused multiply-add), so all sets give the same bits as the plain
// candidate code.
#include <cstdint>

#include "kernels/candidate_pass.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw::candidates_detail {

namespace {

namespace portable_set {

constexpr int NC = 8;

template <int G>
void tile_groups(const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt) {
  constexpr int L = G * kLaneGroup;
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

void tile(int groups, const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt) {
  switch (groups) {
    case 1:
      return tile_groups<1>(g, p, depth, t, ldt);
    case 2:
      return tile_groups<2>(g, p, depth, t, ldt);
    default:
      return tile_groups<3>(g, p, depth, t, ldt);
  }
}

constexpr Tiles kTiles{KernelSet::portable, 3, NC, 1, tile};

}  // namespace portable_set

// Tile shapes per set: as many accumulators as the registers hold beside
// one row of g and a product (16 registers for SSE2 and AVX2, 32 for
// AVX-512 and NEON). SSE2 has no broadcast from memory, so its tiles take p
// widened (kWideP): one instruction less per value.

#if defined(__x86_64__) && defined(__GNUC__)
#define GW_CANDIDATES_X86 1

namespace sse2_set {
constexpr KernelSet kSet = KernelSet::sse2;
constexpr int kLanes = 2, kGroups = 1, kCols = 3;
constexpr bool kWideP = true;
#include "kernels/candidate_vector_tile.inc"
}  // namespace sse2_set

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_set {
constexpr KernelSet kSet = KernelSet::avx2;
constexpr int kLanes = 4, kGroups = 1, kCols = 6;
constexpr bool kWideP = false;
#include "kernels/candidate_vector_tile.inc"
}  // namespace avx2_set
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512_set {
constexpr KernelSet kSet = KernelSet::avx512;
constexpr int kLanes = 8, kGroups = 3, kCols = 8;
constexpr bool kWideP = false;
#include "kernels/candidate_vector_tile.inc"
}  // namespace avx512_set
#pragma GCC pop_options

#endif

#if defined(__aarch64__)
#define GW_CANDIDATES_NEON 1

namespace neon_set {
constexpr KernelSet kSet = KernelSet::neon;
constexpr int kLanes = 2, kGroups = 1, kCols = 6;
constexpr bool kWideP = false;
#include "kernels/candidate_vector_tile.inc"
}  // namespace neon_set

#endif

}  // namespace

const Tiles& tiles_for(KernelSet set) {
  switch (resolve_kernel_set(set)) {
#ifdef GW_CANDIDATES_X86
    case KernelSet::sse2:
      return sse2_set::kTiles;
    case KernelSet::avx2:
      return avx2_set::kTiles;
    case KernelSet::avx512:
      return avx512_set::kTiles;
#endif
#ifdef GW_CANDIDATES_NEON
    case KernelSet::neon:
      return neon_set::kTiles;
#endif
    default:
      return portable_set::kTiles;
  }
}

}  // namespace gw::candidates_detail

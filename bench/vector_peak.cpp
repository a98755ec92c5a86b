// The rate one core reaches with separate vector multiplies and adds of a
// kernel set's width: the ceiling of code that, like every kernel set, never
// fuses a multiply into an add. Measured rather than taken from a table, so
// that "of peak" means the same on every processor and at every clock.
#include "vector_peak.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

namespace gw::bench {

namespace {

// Two loops, for what may bound separate multiplies and adds: the latency
// of each operation, or the loads that feed them.
//  - chains: independent chains x = x * c and y = y + d in registers, as many
//    of each as the registers hold beside c and d (16 registers for SSE2 and
//    AVX2, 32 for AVX-512 and NEON);
//  - fed: accumulators a = a + b * c with b loaded from a small buffer in
//    the first-level cache, the shape of the kernels' inner loops; the
//    products chain into nothing, so fewer registers cover the latency.
// c = 1 and d = 0 come from the caller at run time and the buffer holds
// zeros, so the values neither grow nor shrink and the compiler cannot fold
// the operations away.
constexpr int kBuffer = 256;  // doubles the fed loop cycles through

#define GW_PEAK_LOOPS                                                                   \
  using Vec = double __attribute__((vector_size(8 * kLanes)));                          \
  double chains(double c, double d, const double*, std::int64_t iterations) {           \
    Vec x[kChains], y[kChains];                                                         \
    _Pragma("GCC unroll 16") for (int k = 0; k < kChains; ++k) {                        \
      x[k] = Vec{} + (1.0 + k);                                                         \
      y[k] = Vec{} + static_cast<double>(k);                                            \
    }                                                                                   \
    for (std::int64_t i = 0; i < iterations; ++i) {                                     \
      _Pragma("GCC unroll 16") for (int k = 0; k < kChains; ++k) {                      \
        x[k] = x[k] * c;                                                                \
        y[k] = y[k] + d;                                                                \
      }                                                                                 \
    }                                                                                   \
    double s = 0.0;                                                                     \
    for (int k = 0; k < kChains; ++k)                                                   \
      for (int l = 0; l < kLanes; ++l) s += x[k][l] + y[k][l];                          \
    return s;                                                                           \
  }                                                                                     \
  double fed(double c, double, const double* buffer, std::int64_t iterations) {         \
    Vec a[kAccumulators];                                                               \
    _Pragma("GCC unroll 16") for (int k = 0; k < kAccumulators; ++k) a[k] =             \
        Vec{} + (1.0 + k);                                                              \
    for (std::int64_t i = 0; i < iterations; ++i) {                                     \
      const double* p = buffer + ((i * kAccumulators * kLanes) & (kBuffer - 1));        \
      _Pragma("GCC unroll 16") for (int k = 0; k < kAccumulators; ++k) {                \
        Vec b;                                                                          \
        __builtin_memcpy(&b, p + k * kLanes, sizeof b);                                 \
        a[k] = a[k] + b * c;                                                            \
      }                                                                                 \
    }                                                                                   \
    double s = 0.0;                                                                     \
    for (int k = 0; k < kAccumulators; ++k)                                             \
      for (int l = 0; l < kLanes; ++l) s += a[k][l];                                    \
    return s;                                                                           \
  }                                                                                     \
  constexpr double kChainFlops = 2.0 * kChains * kLanes;                                \
  constexpr double kFedFlops = 2.0 * kAccumulators * kLanes;

#if defined(__x86_64__) && defined(__GNUC__)
namespace sse2_set {
constexpr int kLanes = 2, kChains = 7, kAccumulators = 8;
GW_PEAK_LOOPS
}  // namespace sse2_set

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_set {
constexpr int kLanes = 4, kChains = 7, kAccumulators = 8;
GW_PEAK_LOOPS
}  // namespace avx2_set
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512_set {
constexpr int kLanes = 8, kChains = 15, kAccumulators = 12;
GW_PEAK_LOOPS
}  // namespace avx512_set
#pragma GCC pop_options
#endif

#if defined(__aarch64__)
namespace neon_set {
constexpr int kLanes = 2, kChains = 15, kAccumulators = 12;
GW_PEAK_LOOPS
}  // namespace neon_set
#endif

#undef GW_PEAK_LOOPS

// GFLOP/s of one loop: scaled to run about 0.1 s, best of three.
template <class Run>
double rate(Run run, double flops_per_iteration, double one, double zero, const double* buffer) {
  using clock = std::chrono::steady_clock;
  volatile double sink = 0.0;
  std::int64_t iterations = 1 << 16;
  double seconds = 0.0;
  for (;;) {
    const auto t0 = clock::now();
    sink = sink + run(one, zero, buffer, iterations);
    seconds = std::chrono::duration<double>(clock::now() - t0).count();
    if (seconds > 0.05) break;
    iterations *= 4;
  }
  iterations = static_cast<std::int64_t>(static_cast<double>(iterations) * 0.1 / seconds) + 1;
  double best = 0.0;
  for (int round = 0; round < 3; ++round) {
    const auto t0 = clock::now();
    sink = sink + run(one, zero, buffer, iterations);
    const double s = std::chrono::duration<double>(clock::now() - t0).count();
    best = std::max(best, flops_per_iteration * static_cast<double>(iterations) / s * 1e-9);
  }
  return best;
}

}  // namespace

KernelSet vector_set(KernelSet set) {
  if (set != KernelSet::portable) return set;
#if defined(__aarch64__)
  return KernelSet::neon;
#else
  return KernelSet::sse2;
#endif
}

double vector_peak(KernelSet set) {
  // Read at run time, so that the compiler cannot know them.
  volatile double one_store = 1.0, zero_store = 0.0;
  const double one = one_store, zero = zero_store;
  // Beyond kBuffer, room for the last offset's loads.
  alignas(64) std::array<double, 2 * kBuffer> buffer{};
  const double* b = buffer.data();
  auto best = [&](auto chains, double chain_flops, auto fed, double fed_flops) {
    return std::max(rate(chains, chain_flops, one, zero, b), rate(fed, fed_flops, one, zero, b));
  };
  switch (vector_set(set)) {
#if defined(__x86_64__) && defined(__GNUC__)
    case KernelSet::sse2:
      return best(sse2_set::chains, sse2_set::kChainFlops, sse2_set::fed, sse2_set::kFedFlops);
    case KernelSet::avx2:
      return best(avx2_set::chains, avx2_set::kChainFlops, avx2_set::fed, avx2_set::kFedFlops);
    case KernelSet::avx512:
      return best(avx512_set::chains, avx512_set::kChainFlops, avx512_set::fed, avx512_set::kFedFlops);
#endif
#if defined(__aarch64__)
    case KernelSet::neon:
      return best(neon_set::chains, neon_set::kChainFlops, neon_set::fed, neon_set::kFedFlops);
#endif
    default:
      return 0.0;
  }
}

}  // namespace gw::bench

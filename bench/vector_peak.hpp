// The rate of separate vector multiplies and adds one core reaches in a
// kernel set's vector width, measured on this processor.
#pragma once

#include "kernels/kernel_sets.hpp"

namespace gw::bench {

// GFLOP/s on one core. The portable loops get their baseline's vectors
// (SSE2 on x86-64, NEON on aarch64); 0 for a set this build has no loop
// for. Takes about a second.
double vector_peak(KernelSet set);

}  // namespace gw::bench

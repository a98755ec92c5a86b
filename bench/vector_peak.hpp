// The rate of separate vector multiplies and adds one core reaches in a
// kernel set's vector width, measured on this processor.
#pragma once

#include "kernels/kernel_sets.hpp"

namespace gw::bench {

// The set whose vectors bound `set`'s loops: the baseline's (SSE2 on
// x86-64, NEON on aarch64) for the portable loops, else `set` itself.
KernelSet vector_set(KernelSet set);

// GFLOP/s on one core with vector_set(set)'s vectors; 0 for a set this
// build has no loop for. Takes about a second.
double vector_peak(KernelSet set);

}  // namespace gw::bench

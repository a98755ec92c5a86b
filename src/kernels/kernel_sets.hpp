// The instruction sets the fast kernels are built for, and the one place
// that decides which of them runs.
//
// Every set applies to every element the same separately rounded operations
// in the same order (never a fused multiply-add), so all of them give the
// same bits; they differ in speed only. The blocked inversion and the
// candidate stage both take a KernelSet and resolve it here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

enum class KernelSet {
  automatic,  // the set GAINWEIGHTS_KERNELS names, else the fastest this processor runs
  portable,   // plain C++ loops, compiled for the build's baseline
  sse2,       // x86-64: 2 doubles a vector (the x86-64 baseline)
  avx2,       // x86-64: 4 doubles a vector
  avx512,     // x86-64: 8 doubles a vector (AVX-512F)
  neon,       // aarch64: 2 doubles a vector
};

// The environment variable that forces a set for the whole process (for
// tests and measurements): one of the names below; unset or empty picks the
// fastest set the processor runs.
inline constexpr const char* kKernelsVariable = "GAINWEIGHTS_KERNELS";

// "automatic", "portable", "sse2", "avx2", "avx512", "neon".
std::string_view kernel_set_name(KernelSet set);

// The set of that name; nothing for any other text.
std::optional<KernelSet> parse_kernel_set(std::string_view name);

// Whether this build has the set and this processor can run it (automatic
// and portable always).
bool kernel_set_supported(KernelSet set);

// Every set this build and processor can run, portable first and then from
// the narrowest vectors to the widest (the last is the fastest).
std::vector<KernelSet> supported_kernel_sets();

// The supported sets' names, separated by ", ".
std::string supported_kernel_set_names();

// The set that runs for `set`: automatic becomes the set GAINWEIGHTS_KERNELS
// names, or the fastest supported one when the variable is unset or empty.
// Throws FatalError (bad input) when the variable names no set or a set this
// processor cannot run, and when `set` itself is not supported.
KernelSet resolve_kernel_set(KernelSet set = KernelSet::automatic);

}  // namespace gw

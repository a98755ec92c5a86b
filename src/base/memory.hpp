// Memory needs of the large work arrays, checked before they are allocated.
//
// Every byte count is worked out in 64-bit arithmetic and is "nothing" when
// it does not fit in 63 bits, so that a size that cannot be represented is
// refused like one that does not fit, and never wraps around to a small one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gw {

using Bytes = std::optional<std::uint64_t>;

// Bytes of `count` elements of `element_size` bytes each.
Bytes array_bytes(std::uint64_t count, std::uint64_t element_size);

// Bytes of an rows x cols array of elements of `element_size` bytes (doubles
// by default).
Bytes matrix_bytes(std::uint64_t rows, std::uint64_t cols, std::uint64_t element_size = sizeof(double));

// The sum, nothing when a term is nothing or the sum needs more than 63 bits.
Bytes add_bytes(Bytes a, Bytes b);

// The trait-sized arrays that a run holds at its peak: the parameter table,
// the genetic, residual and inverse phenotypic covariance matrices, and the
// three matrices of the reference weights, with room for one more as the
// inversions' work space: eight ntrait x ntrait arrays of doubles.
Bytes trait_arrays_bytes(std::uint64_t ntrait);

// The memory the system can give to a new allocation: MemAvailable of
// /proc/meminfo, lowered to what the memory limit of the process's control
// group leaves; nothing when neither can be told.
Bytes available_memory();

// Throws FatalError (exit status 3) with the "not enough memory" diagnostic
// naming `what` when `needed` is nothing (not representable) or larger than
// `available` (when known). `advice`, when given, is a sentence appended to
// the diagnostic.
void check_fits(const std::string& what, Bytes needed, Bytes available, const std::string& advice = {});

}  // namespace gw

// Memory needs of the large work arrays, checked before they are allocated.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gw {

// Bytes of an rows x cols array of doubles, or nothing when that number does
// not fit in 63 bits.
std::optional<std::uint64_t> matrix_bytes(std::uint64_t rows, std::uint64_t cols);

// The memory the system reports as available to a new allocation
// (MemAvailable of /proc/meminfo), or nothing when it cannot be told.
std::optional<std::uint64_t> available_memory();

// Throws FatalError (exit status 3) naming `what` when `needed` is missing
// (not representable) or larger than `available` (when known).
void check_fits(const std::string& what, std::optional<std::uint64_t> needed, std::optional<std::uint64_t> available);

}  // namespace gw

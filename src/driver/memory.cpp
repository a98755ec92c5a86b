#include "driver/memory.hpp"

#include <fstream>
#include <limits>
#include <sstream>

#include "kernels/fatal.hpp"

namespace gw {

std::optional<std::uint64_t> matrix_bytes(std::uint64_t rows, std::uint64_t cols) {
  constexpr std::uint64_t limit = std::numeric_limits<std::int64_t>::max();
  if (rows != 0 && cols > limit / 8 / rows) return std::nullopt;
  return rows * cols * 8;
}

std::optional<std::uint64_t> available_memory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit)
    if (key == "MemAvailable:") return kib * 1024;
  return std::nullopt;
}

void check_fits(const std::string& what, std::optional<std::uint64_t> needed, std::optional<std::uint64_t> available) {
  if (!needed)
    throw FatalError::diagnostic("not enough memory: " + what + " would need more bytes than can be addressed",
                                 ExitStatus::resource);
  if (available && *needed > *available) {
    std::ostringstream msg;
    msg << "not enough memory: " << what << " needs " << *needed << " bytes, but only " << *available
        << " bytes are available";
    throw FatalError::diagnostic(msg.str(), ExitStatus::resource);
  }
}

}  // namespace gw

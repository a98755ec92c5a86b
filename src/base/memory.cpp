#include "base/memory.hpp"

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>

#include "base/fatal.hpp"

namespace gw {

namespace {

constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();

// The first whole number in a one-line file such as memory.max; nothing for
// "max", a missing file or anything else.
std::optional<std::uint64_t> read_number(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  if (in >> value) return value;
  return std::nullopt;
}

// The value of `key` in a file of "key value" lines (memory.stat).
std::optional<std::uint64_t> read_keyed(const std::string& path, std::string_view key) {
  std::ifstream in(path);
  std::string name;
  std::uint64_t value = 0;
  while (in >> name >> value)
    if (name == key) return value;
  return std::nullopt;
}

// What the memory limit of a control group leaves to allocate: the limit less
// the usage, with the reclaimable file cache counted as free.
std::optional<std::uint64_t> cgroup_room(const std::string& dir, const char* limit_file, const char* usage_file,
                                         const char* stat_file, std::string_view inactive_key) {
  const auto limit = read_number(dir + "/" + limit_file);
  const auto usage = read_number(dir + "/" + usage_file);
  if (!limit || !usage || *limit >= kLimit) return std::nullopt;  // no file, or no limit
  const std::uint64_t reclaimable = read_keyed(dir + "/" + stat_file, inactive_key).value_or(0);
  const std::uint64_t used = *usage - std::min(*usage, reclaimable);
  return *limit > used ? *limit - used : 0;
}

// The room left by the memory control group of this process (version 2 or
// version 1), looked up under its own path and at the root of the mount (what
// a container sees as its own group).
std::optional<std::uint64_t> cgroup_available() {
  std::ifstream in("/proc/self/cgroup");
  std::string line, v2_path, v1_path;
  while (std::getline(in, line)) {
    if (line.starts_with("0::")) v2_path = line.substr(3);
    const auto at = line.find(":memory:");
    if (at != std::string::npos) v1_path = line.substr(at + 8);
  }
  std::optional<std::uint64_t> room;
  const auto lower = [&room](std::optional<std::uint64_t> r) {
    if (r) room = room ? std::min(*room, *r) : *r;
  };
  for (const std::string& dir : {"/sys/fs/cgroup" + v2_path, std::string("/sys/fs/cgroup")}) {
    if (const auto r = cgroup_room(dir, "memory.max", "memory.current", "memory.stat", "inactive_file")) {
      lower(r);
      break;
    }
  }
  for (const std::string& dir : {"/sys/fs/cgroup/memory" + v1_path, std::string("/sys/fs/cgroup/memory")}) {
    if (const auto r = cgroup_room(dir, "memory.limit_in_bytes", "memory.usage_in_bytes", "memory.stat",
                                   "total_inactive_file")) {
      lower(r);
      break;
    }
  }
  return room;
}

}  // namespace

Bytes array_bytes(std::uint64_t count, std::uint64_t element_size) {
  if (element_size != 0 && count > kLimit / element_size) return std::nullopt;
  return count * element_size;
}

Bytes matrix_bytes(std::uint64_t rows, std::uint64_t cols, std::uint64_t element_size) {
  if (rows != 0 && cols > kLimit / rows) return std::nullopt;
  return array_bytes(rows * cols, element_size);
}

Bytes add_bytes(Bytes a, Bytes b) {
  if (!a || !b || *b > kLimit - *a) return std::nullopt;
  return *a + *b;
}

Bytes trait_arrays_bytes(std::uint64_t ntrait) {
  const Bytes one = matrix_bytes(ntrait, ntrait);
  return one ? array_bytes(*one, 8) : std::nullopt;
}

Bytes available_memory() {
  Bytes available;
  {
    std::ifstream in("/proc/meminfo");
    std::string key, unit;
    std::uint64_t kib = 0;
    while (in >> key >> kib >> unit)
      if (key == "MemAvailable:") {
        available = array_bytes(kib, 1024);
        break;
      }
  }
  if (const auto room = cgroup_available()) available = available ? std::min(*available, *room) : *room;
  return available;
}

void check_fits(const std::string& what, Bytes needed, Bytes available, const std::string& advice) {
  const std::string tail = advice.empty() ? std::string() : ". " + advice;
  if (!needed)
    throw FatalError::diagnostic("not enough memory: " + what + " would need more bytes than can be addressed" + tail,
                                 ExitStatus::resource);
  if (available && *needed > *available) {
    std::ostringstream msg;
    msg << "not enough memory: " << what << " needs " << plural(static_cast<long long>(*needed), "byte")
        << ", but only " << plural(static_cast<long long>(*available), "byte") << (*available == 1 ? " is" : " are")
        << " available" << tail;
    throw FatalError::diagnostic(msg.str(), ExitStatus::resource);
  }
}

}  // namespace gw

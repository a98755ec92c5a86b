// Process measurements shared by the benchmarks: CPU time, resident memory
// (from /proc/self/status) and the machine's load.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace gw::bench {

// CPU time of the process, all threads, in seconds.
inline double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

// A size field of /proc/self/status ("VmHWM:", "VmRSS:") in bytes.
inline std::uint64_t status_bytes(const char* key) {
  std::ifstream in("/proc/self/status");
  const std::size_t len = std::strlen(key);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, len, key) == 0) return std::strtoull(line.c_str() + len, nullptr, 10) * 1024;
  return 0;
}

// Peak resident memory of this process in bytes.
inline std::uint64_t peak_rss() { return status_bytes("VmHWM:"); }

// Lowers the peak to the current resident size.
inline void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The one-minute load average, as the kernel writes it.
inline std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

}  // namespace gw::bench

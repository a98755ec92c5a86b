// A memory limit for a child of a test, and a herd whose factor needs far
// more memory than everything before it: for the tests of the memory
// checks before a factorisation.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "kit/process.hpp"

namespace gw::testing {

// A cgroup (version 1 or 2) of this process's own in which a child may be
// given a memory limit; nothing when the system does not allow it.
class MemoryLimit {
 public:
  explicit MemoryLimit(std::uint64_t bytes) {
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
      std::string base, file;
      if (line.find(":memory:") != std::string::npos)
        base = "/sys/fs/cgroup/memory" + line.substr(line.find(":memory:") + 8), file = "memory.limit_in_bytes";
      else if (line.rfind("0::", 0) == 0 && fs::exists("/sys/fs/cgroup" + line.substr(3) + "/memory.max"))
        base = "/sys/fs/cgroup" + line.substr(3), file = "memory.max";
      if (base.empty()) continue;
      const fs::path dir = fs::path(base) / ("gainweights-test-" + std::to_string(::getpid()));
      std::error_code ec;
      if (!fs::create_directory(dir, ec)) continue;
      std::ofstream(dir / file) << bytes;
      if (fs::exists(dir / "cgroup.procs")) {
        dir_ = dir;
        return;
      }
      fs::remove(dir, ec);
    }
  }
  ~MemoryLimit() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove(dir_, ec);
  }
  MemoryLimit(const MemoryLimit&) = delete;
  MemoryLimit& operator=(const MemoryLimit&) = delete;

  bool ok() const { return !dir_.empty(); }
  // A shell command that runs `command` inside the group.
  std::string wrap(const std::string& command) const {
    return "sh -c 'echo $$ > \"" + (dir_ / "cgroup.procs").string() + "\" && exec " + command + "'";
  }
  // A prefix of a shell command that moves the shell, and so the command
  // after it, into the group.
  std::string prefix() const { return "echo $$ > '" + (dir_ / "cgroup.procs").string() + "' &&"; }

 private:
  fs::path dir_;
};

// A pedigree of `animals` random matings over all earlier animals (the
// first 20 founders, the last 10 candidates) with ten traits, all recorded,
// and its parameters: its factor fills up, needing far more memory than
// everything before it (about 185 MB for 1500 animals).
inline void write_dense_herd(const fs::path& dir, int animals) {
  std::string par, ped;
  for (int i = 0; i < 10; ++i) {
    par += "1,2";
    for (int j = 0; j < 10; ++j) par += j == i ? ",1" : ",0";
    par += "\n";
  }
  std::mt19937_64 rng(1);
  for (int k = 1; k <= animals; ++k) {
    const int s = k > 20 ? 1 + static_cast<int>(rng() % (k - 1)) : 0;
    const int d = k > 20 ? 1 + static_cast<int>(rng() % (k - 1)) : 0;
    ped += std::to_string(k) + "," + std::to_string(s) + "," + std::to_string(d) +
           (k > animals - 10 ? ",1,1" : ",0,1");
    for (int t = 0; t < 10; ++t) ped += ",1";
    ped += "\n";
  }
  write_file(dir / "GParameter.csv", par);
  write_file(dir / "Pedigree&Record.csv", ped);
}

}  // namespace gw::testing

// Runs the built program in a folder and captures what it prints.
#pragma once

#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace gw::testing {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("gainweights-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The program under test: GAINWEIGHTS_PROGRAM from the environment (the
// sanitizer pass runs the same tests against the instrumented program),
// else this build's own.
inline std::string program() {
  const char* p = std::getenv("GAINWEIGHTS_PROGRAM");
  return p && *p ? p : GAINWEIGHTS_EXE;
}

// Whether the program under test carries the sanitizers
// (GAINWEIGHTS_SANITIZED=1 in the environment).
inline bool sanitized() {
  const char* s = std::getenv("GAINWEIGHTS_SANITIZED");
  return s && std::string_view(s) == "1";
}

struct RunResult {
  int status = -1;
  std::string out, err;
};

// Runs the shell command `command` in `dir`, standard input empty; its
// standard output and error are captured.
inline RunResult run_command_in(const fs::path& dir, const std::string& command) {
  const fs::path capture = dir.parent_path() / (dir.filename().string() + ".capture");
  fs::create_directories(capture);
  const std::string cmd = "cd '" + dir.string() + "' && " + command + " >'" + (capture / "out").string() + "' 2>'" +
                          (capture / "err").string() + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = read_file(capture / "out");
  r.err = read_file(capture / "err");
  fs::remove_all(capture);
  return r;
}

// Runs the program with `args` in `dir`; stdout and stderr are captured.
inline RunResult run_in(const fs::path& dir, const std::string& args = "") {
  return run_command_in(dir, "'" + program() + "' " + args);
}

// Replaces the digits of the date-and-time lines so that runs compare.
// ("Date = 20261211  Time = 145520.1" becomes "Date = YYYYMMDD  Time =
// hhmmss.s").
inline std::string mask_clock(std::string console) {
  const std::string_view shape = "Date = 99999999  Time = 999999.9", mask = "Date = YYYYMMDD  Time = hhmmss.s";
  const auto fits = [&](std::size_t at) {
    if (console.size() - at < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      const char c = console[at + i];
      if (shape[i] == '9' ? c < '0' || c > '9' : c != shape[i]) return false;
    }
    return true;
  };
  for (std::size_t at = console.find("Date = "); at != std::string::npos; at = console.find("Date = ", at + 1))
    if (fits(at)) console.replace(at, shape.size(), mask);
  return console;
}

// The files of a folder other than the two inputs and the result.
inline std::vector<std::string> stray_files(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n != "GParameter.csv" && n != "Pedigree&Record.csv" && n != "Weighted_value.csv") names.push_back(n);
  }
  return names;
}

// A folder on a tiny file system of its own, so that the disk can fill up or
// turn read-only under the program. Mounting needs privileges; without them
// the tests that use it are skipped.
class TinyFileSystem {
 public:
  TinyFileSystem() {
    fs::create_directories(dir_);
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") == 0;
    error_ = errno;
  }
  ~TinyFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string error() const { return std::strerror(error_); }
  const fs::path& path() const { return dir_; }
  bool remount_read_only() {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
  }
  // Fills the disk with the file "filler", then gives `free` bytes back.
  void fill_leaving(std::uintmax_t free) {
    {
      std::ofstream fill(dir_ / "filler", std::ios::binary);
      const std::string block(4096, 'x');
      for (int i = 0; i < 64 && fill.write(block.data(), block.size()); ++i) fill.flush();
    }
    const std::uintmax_t size = fs::file_size(dir_ / "filler");
    fs::resize_file(dir_ / "filler", size > free ? size - free : 0);
  }

 private:
  TempDir base_;
  fs::path dir_ = base_.path() / "small";
  bool mounted_ = false;
  int error_ = 0;
};

// The numbers of a fixture file of plain comma-separated numbers, line by
// line.
template <class T>
std::vector<std::vector<T>> parse_table(const std::string& text) {
  std::vector<std::vector<T>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<T> row;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');) row.push_back(static_cast<T>(std::stod(f)));
    rows.push_back(row);
  }
  return rows;
}

// The numbers of a result file, line by line ("NaN" included).
inline std::vector<std::vector<double>> result_values(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::vector<double> row;
    for (std::string f; fields >> f;) row.push_back(std::stod(f));
    rows.push_back(row);
  }
  return rows;
}

}  // namespace gw::testing

// Clocks, memory readings, child runs of the program and the reading of
// options, shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/stages.hpp"
#include "io/input_file.hpp"
#include "kit/herd.hpp"

extern char** environ;

namespace gw::bench {

namespace fs = std::filesystem;

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}


// Lowers the peak to the current resident size.
inline void reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

// A size field of /proc/self/status ("VmHWM:", "VmRSS:") in bytes.
inline std::uint64_t status_bytes(const char* key) {
  std::ifstream in("/proc/self/status");
  const std::size_t len = std::strlen(key);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, len, key) == 0) return std::strtoull(line.c_str() + len, nullptr, 10) * 1024;
  return 0;
}

// The one-minute load average, as the kernel writes it.
inline std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

// Peak resident memory of this process in bytes.
inline std::uint64_t peak_rss() { return status_bytes("VmHWM:"); }

inline double mib(std::uint64_t b) { return static_cast<double>(b) / (1024.0 * 1024.0); }

inline std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_text(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

// Times every stage a path reports to it: wall clock, processor time of all
// threads, and the peak resident memory at the stage's end.
class TimedStages final : public StageObserver {
 public:
  struct Timing {
    std::string stage;
    double seconds = 0, cpu = 0;
    std::uint64_t peak = 0;
  };

  void begin(std::string_view stage, bool) override {
    end();
    open_ = true;
    name_ = stage;
    wall0_ = now();
    cpu0_ = cpu_seconds();
  }
  void update(double) override {}
  void end() override {
    if (!open_) return;
    open_ = false;
    timings.push_back({name_, now() - wall0_, cpu_seconds() - cpu0_, peak_rss()});
  }
  // The seconds of the stage named `stage`, 0 when there was none.
  double seconds(std::string_view stage) const {
    for (const Timing& t : timings)
      if (t.stage == stage) return t.seconds;
    return 0;
  }

  std::vector<Timing> timings;

 private:
  bool open_ = false;
  std::string name_;
  double wall0_ = 0, cpu0_ = 0;
};

// A new folder under /tmp holding the two input files of a generated herd
// of shape `o` (seeded by o.seed). Exits with a message when the folder
// cannot be made.
inline fs::path herd_folder(const herd::Shape& o) {
  char tmpl[] = "/tmp/gainweights-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  const fs::path dir = tmpl;
  std::mt19937_64 rng(o.seed);
  write_text(dir / kParameterFileName, herd::parameter_file(o, rng));
  write_text(dir / kPedigreeFileName, herd::pedigree_file(o, rng));
  return dir;
}

struct ChildRun {
  double seconds = 0;
  std::uint64_t peak = 0;  // peak resident memory of the child, bytes
  int status = -1;         // exit status, -1 when it did not exit normally or could not start
};

// Starts the program as a child process and measures it. A child's peak
// resident memory (ru_maxrss) includes the resident size of the process
// that started it, at the moment it started it, even through vfork and
// exec. So the children are started by a small launcher process, forked
// when the benchmark begins, before it has allocated anything large.
class Launcher {
 public:
  Launcher() {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
    std::fflush(stdout);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      serve(down[0], up[1]);
      ::_exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }
  ~Launcher() {
    ::close(to_);
    ::close(from_);
    ::waitpid(pid_, nullptr, 0);
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // Runs `exe` with `args` in `dir`, its standard output in dir/console.txt
  // (standard error stays the benchmark's), with the benchmark's
  // environment plus the "NAME=value" entries of `env`.
  ChildRun run(const fs::path& dir, const std::string& exe, const std::vector<std::string>& args = {},
               const std::vector<std::string>& env = {}) {
    std::vector<std::string> words{dir.string(), std::to_string(env.size())};
    words.insert(words.end(), env.begin(), env.end());
    words.push_back(exe);
    words.insert(words.end(), args.begin(), args.end());
    send_words(to_, words);
    ChildRun r;
    receive(from_, &r, sizeof r);
    return r;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;

  static void transfer(int fd, void* data, std::size_t n, bool out) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
      const ssize_t k = out ? ::write(fd, p, n) : ::read(fd, p, n);
      if (k <= 0) std::_Exit(out ? 1 : 0);  // the other side is gone
      p += k;
      n -= static_cast<std::size_t>(k);
    }
  }
  static void receive(int fd, void* data, std::size_t n) { transfer(fd, data, n, false); }
  static void send(int fd, const void* data, std::size_t n) { transfer(fd, const_cast<void*>(data), n, true); }

  static void send_words(int fd, const std::vector<std::string>& words) {
    const std::uint64_t count = words.size();
    send(fd, &count, sizeof count);
    for (const std::string& w : words) {
      const std::uint64_t len = w.size();
      send(fd, &len, sizeof len);
      send(fd, w.data(), len);
    }
  }

  static void serve(int in, int out) {
    for (;;) {
      std::uint64_t count = 0;
      receive(in, &count, sizeof count);
      std::vector<std::string> words(count);
      for (std::string& w : words) {
        std::uint64_t len = 0;
        receive(in, &len, sizeof len);
        w.resize(len);
        receive(in, w.data(), len);
      }
      const std::size_t nenv = std::strtoull(words[1].c_str(), nullptr, 10);
      const auto first = words.begin() + 2;
      const ChildRun r = spawn(words[0], std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(nenv)),
                               std::vector<std::string>(first + static_cast<std::ptrdiff_t>(nenv), words.end()));
      send(out, &r, sizeof r);
    }
  }

  static ChildRun spawn(const fs::path& dir, std::vector<std::string> env, std::vector<std::string> words) {
    ChildRun r;
    // The environment: the entries of `env`, then every other variable.
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      bool replaced = false;
      for (const std::string& x : env) replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
      if (!replaced) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const double t0 = now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.seconds = now() - t0;
    r.peak = static_cast<std::uint64_t>(ru.ru_maxrss) * 1024;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }
};

// The options that shape a generated herd, shared by the benchmarks that
// generate one.
inline constexpr const char* kHerdOptions =
    "HERD: [--traits T] [--animals N] [--generations G] [--missing M] [--candidates C]\n"
    "      [--sires S] [--overlap K] [--seed N]\n";

// One option of a benchmark: its name, whether it takes a value, and what it
// does with it (`value` is null for an option without one).
struct BenchOption {
  std::string_view name;
  bool takes_value = false;
  std::function<void(const char* value)> apply;
};

// An option whose value is read into `target` as a number of its type
// (atoi, atoll, atof or strtoull: a word that is no number reads as 0).
template <class T>
BenchOption number_option(std::string_view name, T& target) {
  return {name, true, [&target](const char* value) {
            if constexpr (std::is_same_v<T, int>)
              target = std::atoi(value);
            else if constexpr (std::is_same_v<T, std::int64_t>)
              target = std::atoll(value);
            else if constexpr (std::is_same_v<T, double>)
              target = std::atof(value);
            else if constexpr (std::is_same_v<T, std::uint64_t>)
              target = std::strtoull(value, nullptr, 10);
            else
              static_assert(sizeof(T) == 0, "number_option: no reading for this type");
          }};
}

// An option whose value is kept as text in `target`.
inline BenchOption text_option(std::string_view name, std::string& target) {
  return {name, true, [&target](const char* value) { target = value; }};
}

// An option without a value that sets `target` to `to`.
inline BenchOption flag_option(std::string_view name, bool& target, bool to = true) {
  return {name, false, [&target, to](const char*) { target = to; }};
}

// The options of kHerdOptions, writing into `o`; with `only`, just the ones
// named there.
inline std::vector<BenchOption> herd_options(herd::Shape& o, std::initializer_list<std::string_view> only = {}) {
  std::vector<BenchOption> all{
      number_option("--traits", o.traits),         number_option("--animals", o.animals),
      number_option("--generations", o.generations), number_option("--missing", o.missing),
      number_option("--candidates", o.candidates), number_option("--sires", o.sires),
      number_option("--overlap", o.overlap),       number_option("--seed", o.seed),
  };
  if (only.size() == 0) return all;
  std::vector<BenchOption> some;
  for (BenchOption& option : all)
    if (std::find(only.begin(), only.end(), option.name) != only.end()) some.push_back(std::move(option));
  return some;
}

// Applies the words of argv by `table`, in order. A word that is not an
// option (it does not begin with '-') goes to `word` when there is one. An
// unknown option, a word nobody takes or an option without its value is
// named on standard error, followed by the usage text, and the benchmark
// exits with status 2.
inline void parse_options(int argc, char** argv, const std::vector<BenchOption>& table, void (*usage)(),
                          const std::function<void(const char*)>& word = {}) {
  const auto refuse = [usage](const char* what, const char* arg) {
    std::fprintf(stderr, "%s %s\n", what, arg);
    usage();
    std::exit(2);
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto option =
        std::find_if(table.begin(), table.end(), [arg](const BenchOption& o) { return o.name == arg; });
    if (option == table.end()) {
      if (arg.empty() || arg.front() == '-') refuse("unknown option", argv[i]);
      if (!word) refuse("unexpected word", argv[i]);
      word(argv[i]);
    } else if (!option->takes_value) {
      option->apply(nullptr);
    } else {
      if (i + 1 >= argc) refuse("missing value after", argv[i]);
      option->apply(argv[++i]);
    }
  }
}

}  // namespace gw::bench

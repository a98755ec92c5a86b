// Whole runs of the built program on broken and hostile input files: every
// run must end with the right result or with a diagnostic that names the
// file (and line), a non-zero exit status, an untouched result file and no
// file left behind, quickly and in memory proportional to the input. Also
// the saved fuzz inputs, and result files that cannot be written.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kit/fuzz_run.hpp"
#include "base/memory.hpp"
#include "kit/process.hpp"

extern char** environ;

namespace gw {
namespace {

using namespace gw::testing;
using namespace std::string_literals;

const fs::path kData = fs::path(GAINWEIGHTS_TEST_DATA);
const std::string kSentinel = "sentinel: an earlier result\n";
const std::string kStartLines = "Date = YYYYMMDD  Time = hhmmss.s\n\n";

// The two-trait fixture; every run that succeeds here must give its result.
const std::string kTwo = "5,10,3,1\n2,20,0.5,4\n";
const std::string kPedigree = "1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2,1,1,1,0\n";
const fs::path kTwoTraitsResult = kData / "e2e" / "two_traits" / "expected.csv";

struct Measured {
  RunResult run;
  // Largest resident set of the program. Linux carries the high-water mark
  // of the spawning process over the exec, so this is an upper bound that
  // includes the size of the test process.
  long peak_kib = 0;
  double seconds = 0;
};

// Runs the program in `dir` like run_in(), and also measures its peak memory
// and its time.
Measured run_measured(const fs::path& dir) {
  const fs::path capture = dir.parent_path() / (dir.filename().string() + ".capture");
  fs::create_directories(capture);
  const std::string out = (capture / "out").string(), err = (capture / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string exe = program();
  char* argv[] = {exe.data(), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  Measured m;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ) == 0) {
    int raw = 0;
    struct rusage usage {};
    ::wait4(pid, &raw, 0, &usage);
    m.run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    m.peak_kib = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.run.out = read_file(capture / "out");
  m.run.err = read_file(capture / "err");
  fs::remove_all(capture);
  return m;
}

// What stands under an input file's name.
// A file's content is made when the case runs, not when the cases are
// registered: the large ones would otherwise be built by every process of
// the test program, whichever case it runs.
struct Input {
  enum Kind { text, folder, fifo, dangling_link } kind = text;
  std::function<std::string()> content;

  void place(const fs::path& path) const {
    switch (kind) {
      case text: write_file(path, content()); break;
      case folder: fs::create_directory(path); break;
      case fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); break;
      case dangling_link: fs::create_symlink(path.parent_path() / "nowhere", path); break;
    }
  }
};

Input text(std::string s) { return {Input::text, [s] { return s; }}; }
Input made(std::function<std::string()> make) { return {Input::text, std::move(make)}; }

std::string times(std::size_t n, const std::string& piece) {
  std::string s;
  s.reserve(n * piece.size());
  for (std::size_t i = 0; i < n; ++i) s += piece;
  return s;
}

// A pedigree of n unrelated animals with both records, where animal `child`
// names the later animal `parent` as its first parent.
std::string pedigree_with_later_parent(int n, int child, int parent) {
  std::string s;
  for (int k = 1; k <= n; ++k)
    s += std::to_string(k) + "," + (k == child ? std::to_string(parent) : "0") + ",0,1," + (k % 2 ? "1" : "2") +
         ",1,1\n";
  return s;
}

struct Case {
  const char* name;
  Input parameters;
  Input pedigree;
  int status;
  // For a failing run: a fragment of the diagnostic, naming the file and the
  // line. A run that succeeds must give the two-trait fixture's result, and
  // this fragment of a warning (or no warning when empty).
  std::string diagnostic;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HostileInput : public ::testing::TestWithParam<Case> {};

TEST_P(HostileInput, EndsWithTheRightResultOrADiagnostic) {
  const Case& c = GetParam();
  TempDir tmp;
  c.parameters.place(tmp / "GParameter.csv");
  c.pedigree.place(tmp / "Pedigree&Record.csv");
  write_file(tmp / "Weighted_value.csv", kSentinel);

  const Measured m = run_measured(tmp.path());
  EXPECT_EQ(m.run.status, c.status) << m.run.err;
  if (c.status == 0 && c.diagnostic.empty()) {
    EXPECT_EQ(m.run.err, "");
    EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), read_file(kTwoTraitsResult));
  } else if (c.status == 0) {
    EXPECT_NE(m.run.err.find("gainweights: warning: " + c.diagnostic), std::string::npos) << m.run.err;
    EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), read_file(kTwoTraitsResult));
  } else {
    EXPECT_NE(m.run.err.find(c.diagnostic), std::string::npos) << m.run.err;
    EXPECT_EQ(mask_clock(m.run.out), kStartLines);
    EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), kSentinel);
  }
  EXPECT_EQ(stray_files(tmp.path()), std::vector<std::string>{});
  // Every case reads at most a few megabytes: time and memory stay small
  // (the bound leaves room for the sanitizer build).
  EXPECT_LT(m.seconds, 20.0);
  EXPECT_LT(m.peak_kib, 400 * 1024);
}

const Input kParameters = text(kTwo);
const Input kAnimals = text(kPedigree);
const Input kFolder{Input::folder, {}};

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileInput,
    ::testing::Values(
        // Numbers that are not numbers of the required kind.
        Case{"real_too_large", text("5,10,3,1\n2,20,1e999,4\n"), kAnimals, 2,
             "GParameter.csv line 2: \"1e999\" is out of range for a double"},
        Case{"sign_without_digits", text("5,10,3,-\n2,20,0.5,4\n"), kAnimals, 2,
             "GParameter.csv line 1: \"-\" is not a real number"},
        Case{"exponent_sign_without_digits", text("5,10,3,1\n2,20,0.5,4e+\n"), kAnimals, 2,
             "GParameter.csv line 2: \"4e+\" is not a real number"},
        Case{"integer_sign_without_digits", kParameters, text("1,0,0,0,2,1,1\n2,0,0,+,2,1,1\n3,1,2,1,1,1,0\n"), 2,
             "Pedigree&Record.csv line 2: \"+\" is not an integer"},
        Case{"integer_too_large", kParameters, text("1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2,1,2147483648,1,0\n"), 2,
             "Pedigree&Record.csv line 3: \"2147483648\" is outside the range of a 32-bit integer"},
        Case{"repeat_without_count", text("5,10,*3,1\n2,20,0.5,4\n"), kAnimals, 2,
             "GParameter.csv line 1: \"*3\" is not a repeat"},
        Case{"star_alone", kParameters, text("1,0,0,0,2,1,1\n2,0,0,1,2,*,1\n3,1,2,1,1,1,0\n"), 2,
             "Pedigree&Record.csv line 2: \"*\" is not a repeat"},
        Case{"repeat_count_zero", text("5,10,3,1\n2,20,0*0.5,4\n"), kAnimals, 2,
             "GParameter.csv line 2: \"0*0.5\" is not a repeat"},
        // Leftover values are ignored, however many; a repeat count of any
        // size costs nothing beyond the values a read needs.
        Case{"far_too_many_values",
             made([] { return "5,10,3,1" + times(100000, ",7.5") + "\n2,20,0.5,4 " + times(1000, "1e999 x ") + "\n"; }),
             made([] {
               return "1,0,0,0,2,1,1" + times(50000, ",-2147483648") + "\n2,0,0,1,2,1,1\n3,1,2,1,1,1,0,junk\n";
             }),
             0,
             "GParameter.csv line 1 holds 100000 values more than the run reads; they are ignored"},
        Case{"repeat_count_2147483647", text("5,10,3,2147483647*1\n2,20,0.5,4,2147483647*\n"),
             text("1,0,0,0,2,2147483647*1\n2,0,0,1,2,2147483647*1\n3,1,2,3*1,0,99999999999*7\n"), 0,
             "GParameter.csv line 2 holds 2147483647 values more than the run reads"},
        // Lines and files of unusual shape.
        Case{"very_long_line", kParameters,
             made([] { return "1,0,0,0,2,1,1\n2,0,0,1,2,1,1" + times(1 << 20, " 0") + "\n"; }), 2,
             "Pedigree&Record.csv line 2: the line is longer than 1048576 characters"},
        Case{"million_blank_lines", made([] { return times(1000000, "\n"); }), kAnimals, 2,
             "GParameter.csv: end of file while reading trait line 1 (1000002 values expected, 0 found); line 1 is "
             "blank"},
        Case{"million_blank_lines_after_the_data", made([] { return kTwo + times(1000000, "\r\n"); }), kAnimals, 2,
             "GParameter.csv: end of file while reading trait line 1 (1000004 values expected, 8 found); line 3 is "
             "blank"},
        Case{"million_blank_animal_lines", kParameters, made([] { return times(1000000, " \n"); }), 2,
             "Pedigree&Record.csv: end of file while reading animal line 1 (7 values expected, 0 found); line 1 is "
             "blank"},
        // 100 000 well-formed trait lines: the trait matrices alone would
        // need 640 GB, which is refused before they are allocated.
        Case{"hundred_thousand_traits", made([] { return times(100000, "100002*1\n"); }), kAnimals, 3,
             "not enough memory: the storage for the trait matrices of 100000 traits (GParameter.csv) needs"},
        // Bytes that are not text.
        Case{"bytes_that_are_not_text", text("5,10,3,1\n2,20,\xff\xfe,4\n"), kAnimals, 2,
             "GParameter.csv line 2: the file holds bytes that are not UTF-8 text"},
        Case{"utf16_file", text("\xff\xfe" "5\0,\0" "1\0\n\0"s), kAnimals, 2,
             "GParameter.csv line 1: the file holds bytes that are not UTF-8 text"},
        Case{"program_file", kParameters, text("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0"s), 2,
             "Pedigree&Record.csv line 1: the file holds the control character 0x7F"},
        Case{"nul_byte", kParameters, text("1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2\0,1,1,1,0\n"s), 2,
             "Pedigree&Record.csv line 3: the file holds a NUL byte"},
        // Names that are not regular files.
        Case{"parameters_are_a_folder", kFolder, kAnimals, 2, "GParameter.csv: is a folder, not a file"},
        Case{"pedigree_is_a_folder", kParameters, kFolder, 2, "Pedigree&Record.csv: is a folder, not a file"},
        Case{"pedigree_is_a_fifo", kParameters, Input{Input::fifo, {}}, 2,
             "Pedigree&Record.csv: is not a regular file"},
        Case{"parameters_are_a_dangling_link", Input{Input::dangling_link, {}}, kAnimals, 2,
             "GParameter.csv: cannot open the file: No such file or directory"},
        // A large pedigree with one parent on a later line is refused
        // before anything of its size is allocated.
        Case{"later_parent_among_10000_animals", kParameters,
             made([] { return pedigree_with_later_parent(10000, 9000, 9500); }), 2,
             "Pedigree&Record.csv line 9000: parent 9500 does not stand on an earlier line"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Byte counts of the large arrays never wrap around to a small number.
TEST(MemorySizes, CountsThatDoNotFitIn63BitsAreNothing) {
  constexpr std::uint64_t k1 = 1;
  EXPECT_EQ(matrix_bytes(3, 5, 4), Bytes(60));
  EXPECT_EQ(matrix_bytes(k1 << 29, k1 << 29), Bytes(k1 << 61));
  EXPECT_EQ(matrix_bytes(k1 << 30, k1 << 30), std::nullopt);  // 2^63 bytes
  EXPECT_EQ(matrix_bytes(k1 << 32, k1 << 32, 1), std::nullopt);
  EXPECT_EQ(trait_arrays_bytes(1000), Bytes(64000000));
  EXPECT_EQ(trait_arrays_bytes(k1 << 28), Bytes(k1 << 62));
  EXPECT_EQ(trait_arrays_bytes(k1 << 29), std::nullopt);
  EXPECT_EQ(add_bytes(k1 << 62, (k1 << 62) - 1), Bytes((k1 << 63) - 1));
  EXPECT_EQ(add_bytes(k1 << 62, k1 << 62), std::nullopt);
  EXPECT_EQ(add_bytes(std::nullopt, 1), std::nullopt);
  const Bytes available = available_memory();
  ASSERT_TRUE(available.has_value());
  EXPECT_GT(*available, 0u);
}

// Saved fuzz inputs (crashes once found, and hand-made seeds), replayed
// through the same path as the fuzz targets.
void replay(const fs::path& folder, const std::function<void(const std::uint8_t*, std::size_t)>& target) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << folder;
  for (const fs::path& file : files) {
    const std::string bytes = read_file(file);
    EXPECT_NO_THROW(target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
        << file.filename().string();
  }
}

TEST(FuzzRegressions, WholeRuns) { replay(kData / "hostile" / "run", fuzz::run_target); }

TEST(OutputSafety, AFullDiskLeavesTheOldResultAndNoTemporaryFile) {
  TinyFileSystem small;
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << small.error();
  write_file(small.path() / "GParameter.csv", kTwo);
  write_file(small.path() / "Pedigree&Record.csv", kPedigree);
  write_file(small.path() / "Weighted_value.csv", kSentinel);
  // Fill the rest of the disk.
  {
    std::ofstream fill(small.path() / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 64 && fill.write(block.data(), block.size()); ++i) fill.flush();
  }
  const RunResult r = run_in(small.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Weighted_value.csv: cannot write: No space left on device"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(small.path() / "Weighted_value.csv"), kSentinel);
  EXPECT_EQ(stray_files(small.path()), std::vector<std::string>{"filler"});
}

TEST(OutputSafety, AReadOnlyFolderLeavesTheOldResult) {
  TinyFileSystem small;
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << small.error();
  write_file(small.path() / "GParameter.csv", kTwo);
  write_file(small.path() / "Pedigree&Record.csv", kPedigree);
  write_file(small.path() / "Weighted_value.csv", kSentinel);
  ASSERT_TRUE(small.remount_read_only()) << std::strerror(errno);
  const RunResult r = run_in(small.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");  // refused before anything is computed
  EXPECT_NE(r.err.find("Weighted_value.csv: cannot create a file in folder .: Read-only file system"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(small.path() / "Weighted_value.csv"), kSentinel);
  EXPECT_TRUE(stray_files(small.path()).empty());
}

// A result name that is a link is written through: the file it leads to
// gets the result (its temporary file beside it), and the link stays.
TEST(OutputSafety, AResultThatIsALinkIsWrittenThrough) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  fs::create_directory(tmp / "results");
  write_file(tmp / "results" / "herd.txt", kSentinel);
  fs::create_symlink("results/herd.txt", tmp / "Weighted_value.csv");
  const RunResult r = run_in(tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(tmp / "Weighted_value.csv"));
  EXPECT_EQ(read_file(tmp / "results" / "herd.txt"), read_file(kTwoTraitsResult));
  EXPECT_EQ(stray_files(tmp / "results"), std::vector<std::string>{"herd.txt"});
}

}  // namespace
}  // namespace gw

// The run's files as a careless user or a hostile folder would have them:
// outputs that are devices, FIFOs, folders or links, option values that are
// options, the candidate list on standard output, and the result file and
// the candidate file replaced together or not at all.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kit/process.hpp"

namespace gw {
namespace {

using namespace gw::testing;

const std::string kTwo = "5,10,3,1\n2,20,0.5,4\n";
const std::string kPedigree = "1,0,0,0,2,1,1\n2,0,0,1,2,1,1\n3,1,2,1,1,1,0\n";
const std::string kEarlier = "an earlier file\n";
const std::string kStartLines = "Date = YYYYMMDD  Time = hhmmss.s\n\n";

struct Refusal {
  const char* name;
  std::string args;
  std::string message;  // a fragment of standard error
  int status = 2;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class RefusedOutput : public ::testing::TestWithParam<Refusal> {};

// Refused before anything is read, computed or printed: the FIFO is still
// a FIFO with nobody having opened it, and every file is as it was.
TEST_P(RefusedOutput, BeforeAnythingIsComputed) {
  const Refusal& c = GetParam();
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  write_file(tmp / "c.csv", kEarlier);
  ASSERT_EQ(::mkfifo((tmp / "pipe").c_str(), 0644), 0);
  fs::create_symlink("pipe", tmp / "pipe-link");
  if (std::string(c.name) == "result_is_a_fifo") {
    ASSERT_EQ(::mkfifo((tmp / "Weighted_value.csv").c_str(), 0644), 0);
  } else if (std::string(c.name) == "result_is_a_folder") {
    fs::create_directory(tmp / "Weighted_value.csv");
  } else if (std::string(c.name) == "result_links_to_an_input") {
    fs::create_symlink("GParameter.csv", tmp / "Weighted_value.csv");
  } else {
    write_file(tmp / "Weighted_value.csv", kEarlier);
  }
  fs::create_symlink("Weighted_value.csv", tmp / "result-link.csv");
  const auto before = stray_files(tmp.path());
  const RunResult r = run_in(tmp.path(), c.args);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("gainweights: " + c.message), std::string::npos) << r.err;
  EXPECT_EQ(stray_files(tmp.path()), before);
  EXPECT_EQ(read_file(tmp / "c.csv"), kEarlier);
  EXPECT_EQ(read_file(tmp / "GParameter.csv"), kTwo);
  EXPECT_EQ(fs::symlink_status(tmp / "pipe").type(), fs::file_type::fifo);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedOutput,
    ::testing::Values(
        Refusal{"candidates_to_a_fifo", "--candidates pipe",
                "--candidates pipe: is a FIFO (named pipe), not a regular file, and is not replaced; name another "
                "file (- writes the list to standard output)"},
        Refusal{"candidates_to_a_link_to_a_fifo", "--candidates pipe-link",
                "--candidates pipe-link: is a FIFO (named pipe) (the link leads to pipe)"},
        Refusal{"candidates_to_a_link_to_the_result", "--candidates result-link.csv",
                "--candidates result-link.csv: that is Weighted_value.csv"},
        Refusal{"result_is_a_fifo", "", "Weighted_value.csv: is a FIFO (named pipe), not a regular file"},
        // Before, the candidate file was already replaced when the result
        // file then failed.
        Refusal{"result_is_a_folder", "--candidates c.csv", "Weighted_value.csv: is a folder"},
        Refusal{"result_links_to_an_input", "", "Weighted_value.csv: leads to GParameter.csv, which the run reads"},
        Refusal{"candidates_in_a_missing_folder", "--candidates nowhere/c.csv",
                "--candidates nowhere/c.csv: its folder nowhere does not exist"},
        Refusal{"an_option_as_the_file_name", "--candidates --sparse",
                "--candidates needs a FILE name, not the option '--sparse' (a file whose name starts with -- is "
                "written as ./--sparse)"},
        Refusal{"two_candidate_files", "--candidates c.csv --candidates d.csv",
                "--candidates is given twice ('c.csv' and 'd.csv')"}),
    [](const auto& info) { return std::string(info.param.name); });

// Repeats that mean the same are accepted, and --help and --version answer
// wherever they stand.
TEST(RunCommandLine, RepeatsAndHelpAnywhere) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  const RunResult plain = run_in(tmp.path(), "--candidates c.csv");
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::string list = read_file(tmp / "c.csv");
  for (const char* args : {"--candidates c.csv --candidates=c.csv", "--candidates c.csv --sparse --sparse"}) {
    fs::remove(tmp / "c.csv");
    const RunResult r = run_in(tmp.path(), args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_EQ(read_file(tmp / "c.csv").substr(0, 40), list.substr(0, 40)) << args;
  }
  const RunResult help = run_in(tmp.path(), "--help");
  for (const char* args : {"--sparse --help", "--candidates c.csv -h", "--bogus --help", "prepare x.txt --help",
                           "prepare --bogus --help"}) {
    const RunResult r = run_in(tmp.path(), args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_EQ(r.out, help.out) << args;
  }
  const RunResult version = run_in(tmp.path(), "--sparse --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("gainweights ", 0), 0u) << version.out;
}

// --candidates - writes the list to standard output and the console report
// to standard error: the same list as the file, the same report as a run
// without it, and no file named "-".
TEST(CandidateList, ToStandardOutput) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  const RunResult file = run_in(tmp.path(), "--candidates c.csv");
  ASSERT_EQ(file.status, 0) << file.err;
  const RunResult r = run_in(tmp.path(), "--candidates -");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, read_file(tmp / "c.csv"));
  EXPECT_EQ(mask_clock(r.err), mask_clock(file.out));
  EXPECT_FALSE(fs::exists(tmp / "-"));
  const RunResult sparse = run_in(tmp.path(), "--sparse --candidates -");
  ASSERT_EQ(sparse.status, 0) << sparse.err;
  EXPECT_EQ(sparse.out.substr(0, sparse.out.find('\n')), r.out.substr(0, r.out.find('\n')));
}

// A candidate file name that is a link is written through, and the link
// stays.
TEST(CandidateList, WrittenThroughALink) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  fs::create_directory(tmp / "lists");
  write_file(tmp / "lists" / "herd-2024.csv", kEarlier);
  fs::create_symlink("lists/herd-2024.csv", tmp / "latest.csv");
  ASSERT_EQ(run_in(tmp.path(), "--candidates direct.csv").status, 0);
  const RunResult r = run_in(tmp.path(), "--candidates latest.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(tmp / "latest.csv"));
  EXPECT_EQ(read_file(tmp / "lists" / "herd-2024.csv"), read_file(tmp / "direct.csv"));
  EXPECT_EQ(stray_files(tmp / "lists"), std::vector<std::string>{"herd-2024.csv"});
}

// On a disk with room for the result file but not for the candidate file,
// neither is replaced, no temporary file is left, and the console shows no
// weights of the run that failed.
TEST(CandidateList, AFullDiskReplacesNeitherFile) {
  TinyFileSystem small;
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << small.error();
  std::string pedigree;
  for (int k = 1; k <= 300; ++k) pedigree += std::to_string(k) + ",0,0,1," + std::to_string(1 + k % 2) + ",1,1\n";
  write_file(small.path() / "GParameter.csv", kTwo);
  write_file(small.path() / "Pedigree&Record.csv", pedigree);
  write_file(small.path() / "Weighted_value.csv", kEarlier);
  write_file(small.path() / "c.csv", kEarlier);
  small.fill_leaving(8192);
  const RunResult r = run_in(small.path(), "--candidates c.csv");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("gainweights: c.csv: cannot write: No space left on device"), std::string::npos) << r.err;
  EXPECT_EQ(mask_clock(r.out).rfind(kStartLines, 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("No. of animals"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(small.path() / "Weighted_value.csv"), kEarlier);
  EXPECT_EQ(read_file(small.path() / "c.csv"), kEarlier);
  std::vector<std::string> left = stray_files(small.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"c.csv", "filler"}));
}

}  // namespace
}  // namespace gw

// The atomic writer: a refused replacement leaves the existing file alone,
// large text arrives whole, a group is replaced together or not at all
// (also when a rename fails or a signal arrives between the renames),
// SIGINT and SIGTERM leave no temporary file, links are written through, and
// outputs that are not regular files are refused before anything is written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kit/process.hpp"
#include "io/atomic_file.hpp"
#include "base/fatal.hpp"

namespace gw {
namespace {

using namespace gw::testing;

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, RefuseKeepsAnExistingFileAndAllowReplacesIt) {
  TempDir tmp;
  write_file(tmp / "out.csv", "old\n");
  {
    AtomicFile file(tmp / "out.csv");
    file.write("new\n");
    EXPECT_FALSE(file.commit(AtomicFile::Replace::refuse));
  }
  EXPECT_EQ(read_file(tmp / "out.csv"), "old\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);

  // Pieces around and above the buffer size arrive in order.
  std::string text;
  for (int k = 0; k < 300000; ++k) text += std::to_string(k) + "\n";
  {
    AtomicFile file(tmp / "fresh.csv");
    file.write("head\n");
    file.write(text);
    file.write("tail\n");
    EXPECT_TRUE(file.commit(AtomicFile::Replace::refuse));
  }
  EXPECT_TRUE(read_file(tmp / "fresh.csv") == "head\n" + text + "tail\n");
  {
    AtomicFile file(tmp / "out.csv");
    file.write("new\n");
    EXPECT_TRUE(file.commit(AtomicFile::Replace::allow));
  }
  EXPECT_EQ(read_file(tmp / "out.csv"), "new\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);
}

// A group of three: when the third cannot take its place, the first two are
// put back (an earlier file restored, a new one gone again) and no
// temporary file is left; with Replace::refuse, one existing target keeps
// the whole group out.
TEST(AtomicGroup, AFailedRenamePutsBackWhatTheGroupReplaced) {
  TempDir tmp;
  write_file(tmp / "a.csv", "old a\n");
  {
    AtomicFile a(tmp / "a.csv"), b(tmp / "b.csv"), c(tmp / "c.csv");
    a.write("new a\n");
    b.write("new b\n");
    c.write("new c\n");
    fs::create_directories(tmp / "c.csv" / "inside");  // taken meanwhile
    AtomicFile* const group[] = {&a, &b, &c};
    try {
      commit_together(group);
      ADD_FAILURE() << "the commit did not fail";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.status(), ExitStatus::resource);
      EXPECT_EQ(e.text(), (tmp / "c.csv").string() + ": cannot replace the file: Is a directory");
    }
  }
  EXPECT_EQ(read_file(tmp / "a.csv"), "old a\n");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"a.csv", "c.csv"}));

  fs::remove_all(tmp / "c.csv");
  write_file(tmp / "c.csv", "old c\n");
  {
    AtomicFile a(tmp / "a.csv"), c(tmp / "c.csv");
    a.write("new a\n");
    c.write("new c\n");
    AtomicFile* const group[] = {&a, &c};
    EXPECT_FALSE(commit_together(group, AtomicFile::Replace::refuse));
  }
  EXPECT_EQ(read_file(tmp / "a.csv"), "old a\n");
  EXPECT_EQ(read_file(tmp / "c.csv"), "old c\n");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"a.csv", "c.csv"}));
}

class Interrupted : public ::testing::TestWithParam<int> {};

// SIGINT or SIGTERM, in a child process that has the program's handlers:
// while the temporary files exist, they are removed; between the renames
// of a group, what the group replaced is put back first. The child ends by
// the signal itself.
TEST_P(Interrupted, LeavesNoTemporaryFileAndTheEarlierFiles) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int sig = GetParam();
  TempDir tmp;
  write_file(tmp / "a.csv", "old a\n");
  write_file(tmp / "b.csv", "old b\n");
  const auto while_writing = [&] {
    install_interrupt_cleanup();
    AtomicFile a(tmp / "a.csv"), b(tmp / "b.csv");
    a.write("new a\n");
    b.write(std::string(1 << 22, 'b'));
    ::raise(sig);
  };
  EXPECT_EXIT(while_writing(), ::testing::KilledBySignal(sig), "");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"a.csv", "b.csv"}));
  const auto between_renames = [&] {
    install_interrupt_cleanup();
    AtomicFile a(tmp / "a.csv"), b(tmp / "b.csv"), c(tmp / "c.csv");
    a.write("new a\n");
    b.write("new b\n");
    c.write("new c\n");
    AtomicFile* const group[] = {&a, &b, &c};
    commit_together(group, AtomicFile::Replace::allow, [&](std::size_t i) {
      if (i == 1) ::raise(sig);
    });
  };
  EXPECT_EXIT(between_renames(), ::testing::KilledBySignal(sig), "");
  EXPECT_EQ(read_file(tmp / "a.csv"), "old a\n");
  EXPECT_EQ(read_file(tmp / "b.csv"), "old b\n");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"a.csv", "b.csv"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return std::string(info.param == SIGINT ? "sigint" : "sigterm"); });

// A link is written through: the file it leads to is replaced (its
// temporary file beside it), the link stays a link; a dangling link gets
// its file.
TEST(AtomicFile, WritesThroughASymbolicLink) {
  TempDir tmp;
  fs::create_directory(tmp / "store");
  write_file(tmp / "store" / "kept.csv", "old\n");
  fs::create_symlink("store/kept.csv", tmp / "link.csv");
  fs::create_symlink("link.csv", tmp / "link-to-link.csv");
  fs::create_symlink("store/new.csv", tmp / "dangling.csv");
  for (const char* name : {"link.csv", "link-to-link.csv", "dangling.csv"}) {
    AtomicFile file(tmp / name);
    file.write(std::string("through ") + name + "\n");
    EXPECT_EQ(entries(tmp / "store").size(), 2u) << name;  // the temporary file stands beside the target
    file.commit();
  }
  EXPECT_TRUE(fs::is_symlink(tmp / "link.csv"));
  EXPECT_TRUE(fs::is_symlink(tmp / "link-to-link.csv"));
  EXPECT_TRUE(fs::is_symlink(tmp / "dangling.csv"));
  EXPECT_EQ(read_file(tmp / "store" / "kept.csv"), "through link-to-link.csv\n");
  EXPECT_EQ(read_file(tmp / "store" / "new.csv"), "through dangling.csv\n");
  EXPECT_EQ(entries(tmp / "store"), (std::vector<std::string>{"kept.csv", "new.csv"}));
}

struct OutputCase {
  const char* name;
  std::string output;  // relative to the folder
  ExitStatus status;   // success: accepted
  std::string message;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class CheckedOutput : public ::testing::TestWithParam<OutputCase> {};

// Before anything is written: absent or regular files in existing folders
// pass; folders, FIFOs, sockets, links to them, missing folders and loops of
// links are refused, and nothing under the name is touched.
TEST_P(CheckedOutput, RefusesWhatIsNotARegularFile) {
  const OutputCase& c = GetParam();
  TempDir tmp;
  write_file(tmp / "plain.csv", "x\n");
  fs::create_directory(tmp / "folder");
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
  fs::create_symlink("fifo", tmp / "link-to-fifo");
  fs::create_symlink("plain.csv", tmp / "link-to-plain");
  fs::create_symlink("loop-b", tmp / "loop-a");
  fs::create_symlink("loop-a", tmp / "loop-b");
  fs::create_symlink("missing/x.csv", tmp / "dangling-into-nothing");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = (tmp / "socket").string();
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const auto before = entries(tmp.path());
  ExitStatus status = ExitStatus::success;
  std::string text;
  try {
    check_output(tmp / c.output, c.output, "name another file");
  } catch (const FatalError& e) {
    status = e.status();
    text = e.text();
  }
  ::close(sock);
  EXPECT_EQ(status, c.status) << text;
  if (!c.message.empty()) {
    EXPECT_EQ(text.rfind(c.output + ": " + c.message, 0), 0u) << text;
  }
  EXPECT_EQ(entries(tmp.path()), before);
  EXPECT_EQ(fs::status(tmp / "fifo").type(), fs::file_type::fifo);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckedOutput,
    ::testing::Values(OutputCase{"absent", "new.csv", ExitStatus::success, ""},
                      OutputCase{"regular", "plain.csv", ExitStatus::success, ""},
                      OutputCase{"link_to_a_file", "link-to-plain", ExitStatus::success, ""},
                      OutputCase{"folder", "folder", ExitStatus::bad_input, "is a folder, not a regular file"},
                      OutputCase{"fifo", "fifo", ExitStatus::bad_input, "is a FIFO (named pipe), not a regular file"},
                      OutputCase{"link_to_a_fifo", "link-to-fifo", ExitStatus::bad_input,
                                 "is a FIFO (named pipe) (the link leads to "},
                      OutputCase{"socket", "socket", ExitStatus::bad_input, "is a socket, not a regular file"},
                      OutputCase{"missing_folder", "missing/new.csv", ExitStatus::bad_input, "its folder "},
                      OutputCase{"dangling_link_into_a_missing_folder", "dangling-into-nothing",
                                 ExitStatus::bad_input, "its folder "},
                      OutputCase{"loop_of_links", "loop-a", ExitStatus::bad_input, "more than 40 symbolic links"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gw

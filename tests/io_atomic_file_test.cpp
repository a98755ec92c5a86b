// The atomic writer beside the result file: a refused replacement leaves the
// existing file alone, and large text arrives whole.
#include <gtest/gtest.h>

#include <string>

#include "driver_process.hpp"
#include "io/atomic_file.hpp"

namespace gw {
namespace {

using namespace gw::testing;

TEST(AtomicFile, RefuseKeepsAnExistingFileAndAllowReplacesIt) {
  TempDir tmp;
  write_file(tmp / "out.csv", "old\n");
  {
    AtomicFile file(tmp.path(), "out.csv");
    file.write("new\n");
    EXPECT_FALSE(file.commit(AtomicFile::Replace::refuse));
  }
  EXPECT_EQ(read_file(tmp / "out.csv"), "old\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);

  // Pieces around and above the buffer size arrive in order.
  std::string text;
  for (int k = 0; k < 300000; ++k) text += std::to_string(k) + "\n";
  {
    AtomicFile file(tmp.path(), "fresh.csv");
    file.write("head\n");
    file.write(text);
    file.write("tail\n");
    EXPECT_TRUE(file.commit(AtomicFile::Replace::refuse));
  }
  EXPECT_EQ(read_file(tmp / "fresh.csv"), "head\n" + text + "tail\n");
  {
    AtomicFile file(tmp.path(), "out.csv");
    file.write("new\n");
    EXPECT_TRUE(file.commit(AtomicFile::Replace::allow));
  }
  EXPECT_EQ(read_file(tmp / "out.csv"), "new\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace gw

// The result file: written whole or not at all.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/result_file.hpp"
#include "base/fatal.hpp"

namespace gw {
namespace {

namespace fs = std::filesystem;

class ResultFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("gw_io_result_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> entries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    return names;
  }
  // Status and text of the error that `action` throws.
  template <class F>
  std::pair<ExitStatus, std::string> error_of(F action) {
    try {
      action();
    } catch (const FatalError& e) {
      EXPECT_EQ(e.channel(), Channel::diagnostic);
      return {e.status(), e.text()};
    }
    return {ExitStatus::success, ""};
  }

  fs::path dir_;
};

TEST_F(ResultFileTest, CommitReplacesALongerFile) {
  std::ofstream(dir_ / "Weighted_value.csv") << std::string(1000, 'x') << "\n";
  const mode_t old_mask = ::umask(022);
  {
    ResultFile file(dir_);
    file.write_line(1.5, -12.25, 0.05, 0);
    file.write_line(1e16, -0.0, 0.5, 2.5e20);
    file.commit();
  }
  ::umask(old_mask);
  EXPECT_EQ(read(dir_ / "Weighted_value.csv"),
            " 1.500000000000000 -12.25000000000000 5.000000000000000E-02 0.000000000000000E+00\n"
            " 1.000000000000000E+16 0.000000000000000E+00 0.5000000000000000 2.500000000000000E+20\n");
  EXPECT_EQ(entries(), std::vector<std::string>{"Weighted_value.csv"});
  EXPECT_EQ(fs::status(dir_ / "Weighted_value.csv").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(ResultFileTest, NoCommitLeavesTheOldFileAndNoTemporary) {
  std::ofstream(dir_ / "Weighted_value.csv") << "old\n";
  {
    ResultFile file(dir_);
    file.write_line(1, 2, 3, 4);
    EXPECT_EQ(entries().size(), 2u);  // the temporary file exists meanwhile
  }
  EXPECT_EQ(read(dir_ / "Weighted_value.csv"), "old\n");
  EXPECT_EQ(entries(), std::vector<std::string>{"Weighted_value.csv"});
}

TEST_F(ResultFileTest, FailuresAreResourceErrors) {
  // No such folder, and a file where the folder should be.
  auto [status, text] = error_of([&] { ResultFile file(dir_ / "missing"); });
  EXPECT_EQ(status, ExitStatus::resource);
  EXPECT_EQ(text.rfind("Weighted_value.csv: cannot create a file in folder ", 0), 0u) << text;
  EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;

  std::ofstream(dir_ / "plain") << "x";
  std::tie(status, text) = error_of([&] { ResultFile file(dir_ / "plain"); });
  EXPECT_EQ(status, ExitStatus::resource);
  EXPECT_NE(text.find("Not a directory"), std::string::npos) << text;

  // The rename fails when the result name is taken by a folder that is not
  // empty; the temporary file goes away.
  fs::create_directories(dir_ / "Weighted_value.csv" / "inside");
  std::tie(status, text) = error_of([&] {
    ResultFile file(dir_);
    file.write_line(1, 2, 3, 4);
    file.commit();
  });
  EXPECT_EQ(status, ExitStatus::resource);
  EXPECT_EQ(text.rfind("Weighted_value.csv: cannot replace the file: ", 0), 0u) << text;
  std::vector<std::string> names = entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Weighted_value.csv", "plain"}));
}

}  // namespace
}  // namespace gw

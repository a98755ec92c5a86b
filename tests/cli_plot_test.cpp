// The run's picture (--plot) and the traits' names (--trait-names): every
// format is written with the result, on either path; a name the picture
// cannot have, a folder that cannot be written and a wrong list of names are
// refused before anything is computed, and every file stays as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kit/process.hpp"

namespace gw {
namespace {

using namespace gw::testing;

const fs::path kHerd = fs::path(GAINWEIGHTS_EXAMPLES) / "herd";

void copy_herd(const fs::path& to) {
  for (const char* name : {"GParameter.csv", "Pedigree&Record.csv"}) fs::copy_file(kHerd / name, to / name);
}

TEST(PlotFile, EachFormatIsWrittenWithTheResultOnEitherPath) {
  TempDir tmp;
  copy_herd(tmp.path());
  ASSERT_EQ(run_in(tmp.path()).status, 0);
  const std::string result = read_file(tmp / "Weighted_value.csv");
  struct {
    const char* args;
    const char* file;
    std::string magic;
  } cases[] = {{"--plot herd.png", "herd.png", "\x89PNG\r\n"},
               {"--sparse --plot herd.svg", "herd.svg", "<?xml"},
               {"--plot herd.PDF --candidates c.csv", "herd.PDF", "%PDF-"}};
  for (const auto& c : cases) {
    const RunResult r = run_in(tmp.path(), c.args);
    ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err, "") << c.args;
    EXPECT_EQ(read_file(tmp / c.file).substr(0, c.magic.size()), c.magic) << c.args;
    if (!std::string(c.args).starts_with("--sparse")) {
      EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), result);
    }
  }
  EXPECT_NE(read_file(tmp / "herd.svg").find("<svg"), std::string::npos);
}

struct Refusal {
  const char* name;
  std::string args;
  int status;
  std::string message;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class RefusedPlot : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedPlot, BeforeAnythingIsComputed) {
  const Refusal& c = GetParam();
  TempDir tmp;
  copy_herd(tmp.path());
  write_file(tmp / "Weighted_value.csv", "earlier\n");
  fs::create_directory(tmp / "ro");
  fs::create_directory(tmp / "folder.png");
  ::chmod((tmp / "ro").c_str(), 0555);
  const bool root = ::geteuid() == 0;
  if (root && std::string(c.name) == "unwritable_folder") GTEST_SKIP() << "root writes into any folder";
  const RunResult r = run_in(tmp.path(), c.args);
  ::chmod((tmp / "ro").c_str(), 0755);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.err.find("gainweights: " + c.message), 0u) << r.err;
  EXPECT_EQ(r.out.find("No. of animals"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), "earlier\n");
  EXPECT_TRUE(fs::is_empty(tmp / "ro"));
  EXPECT_FALSE(fs::exists(tmp / "c.csv"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedPlot,
    ::testing::Values(
        Refusal{"another_format", "--plot herd.jpg", 2,
                "--plot herd.jpg: the picture's name must end in .png, .svg or .pdf, the format to draw"},
        Refusal{"no_ending", "--plot herd", 2, "--plot herd: the picture's name must end in .png"},
        Refusal{"standard_output", "--plot -", 2, "--plot -: the picture's name must end in .png"},
        Refusal{"the_candidate_file", "--candidates c.png --plot c.png", 2,
                "--plot c.png: that is c.png, which the run writes as well; name another file"},
        Refusal{"a_folder", "--plot folder.png --candidates c.csv", 2, "--plot folder.png"},
        Refusal{"unwritable_folder", "--plot ro/p.png", 3, "--plot ro/p.png"},
        Refusal{"too_few_names", "--trait-names gain,backfat", 2,
                "--trait-names: 2 names given, but GParameter.csv has 3 traits (one a line); give one name per "
                "trait, separated by commas"},
        Refusal{"an_empty_name", "--trait-names gain,,born_alive", 2,
                "--trait-names: the name of trait 2 is empty; give every trait a name"},
        Refusal{"a_name_twice", "--trait-names gain,gain,born_alive", 2,
                "--trait-names: traits 1 and 2 are both \"gain\"; give every trait its own name"}),
    [](const auto& info) { return std::string(info.param.name); });

// The names stand in the candidate file's headers in place of the numbers.
TEST(TraitNames, NameTheCandidateFilesColumns) {
  TempDir tmp;
  copy_herd(tmp.path());
  const RunResult r = run_in(tmp.path(), "--trait-names gain,backfat,born_alive --candidates c.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = read_file(tmp / "c.csv");
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "line,id,group,w_gain,w_backfat,w_born_alive,rel_gain,rel_backfat,rel_born_alive,sd_index,undetermined,"
            "response_gain,response_backfat,response_born_alive,source_line");
}

}  // namespace
}  // namespace gw

// The command line's one table of flags: --help wherever it stands, and the
// usage text, the installed manual page and the user guide listing exactly
// the flags the parser takes.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "cli/flags.hpp"
#include "kit/process.hpp"

namespace gw {
namespace {

using namespace gw::testing;

// The words "--name" of `text` (a lower-case letter after the two dashes,
// then letters and dashes), each after `before` when that is given; in
// roff, where every dash is written "\-", with `dash` = "\\-".
std::set<std::string> flags_in(const std::string& text, std::string_view before = {}, std::string_view dash = "-") {
  std::set<std::string> found;
  const std::string lead = std::string(before) + std::string(dash) + std::string(dash);
  const auto letter = [](char c) { return c >= 'a' && c <= 'z'; };
  for (std::size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1)) {
    std::size_t end = at + lead.size();
    if (end >= text.size() || !letter(text[end])) continue;
    std::string flag = "--";
    while (end < text.size()) {
      if (letter(text[end])) {
        flag += text[end++];
      } else if (text.compare(end, dash.size(), dash) == 0 && end + dash.size() < text.size() &&
                 letter(text[end + dash.size()])) {
        flag += '-';
        end += dash.size();
      } else {
        break;
      }
    }
    found.insert(flag);
  }
  return found;
}

std::string text_of(const fs::path& file) {
  std::ifstream in(file);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Flags, HelpAnywhereAnswersAndTouchesNothing) {
  for (const char* args : {"--sparse --help", "--candidates c.csv --help", "--help --sparse", "prepare --help",
                           "prepare x.csv --force --help", "--sparse --version"}) {
    TempDir tmp;
    const RunResult r = run_in(tmp.path(), args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    EXPECT_EQ(r.err, "") << args;
    EXPECT_NE(r.out.find(std::string(args).ends_with("--version") ? "gainweights " : "Usage: gainweights"),
              std::string::npos)
        << args;
    EXPECT_TRUE(fs::is_empty(tmp.path())) << args;
  }
}

// Each flag of the table, and no other, in the usage text, the manual page
// and the guide's table of the command line.
TEST(Flags, UsageManualPageAndGuideListTheFlagsOfTheTable) {
  std::set<std::string> table;
  for (const Flag& f : flag_table()) table.insert(std::string(f.name));

  std::ostringstream usage;
  write_usage(usage);
  EXPECT_EQ(flags_in(usage.str()), table);

  const std::string page = text_of(GAINWEIGHTS_MANPAGE);
  ASSERT_FALSE(page.empty()) << GAINWEIGHTS_MANPAGE;
  EXPECT_EQ(flags_in(page, "", "\\-"), table);
  std::ostringstream fresh;
  write_man_page(fresh, GAINWEIGHTS_VERSION);
  EXPECT_EQ(page, fresh.str()) << "the installed manual page is not the one the table makes";

  // The first column of the rows of the guide's "Command line" table.
  const std::string guide = text_of(fs::path(GAINWEIGHTS_SOURCE) / "docs" / "user-guide.md");
  const std::size_t from = guide.find("\n## Command line");
  ASSERT_NE(from, std::string::npos) << "docs/user-guide.md has no section \"Command line\"";
  const std::size_t to = guide.find("\n## ", from + 1);
  const std::string section = guide.substr(from, to == std::string::npos ? std::string::npos : to - from);
  EXPECT_EQ(flags_in(section, "\n| `"), table);
}

}  // namespace
}  // namespace gw

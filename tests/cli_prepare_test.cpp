// The prepare command of the built program: its command line, the refusal
// to replace files, faults as the user sees them, the example folder, and a
// generated herd with text identifiers in shuffled order, prepared and run,
// against the same herd written by line positions.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kit/process.hpp"
#include "kit/herd.hpp"
#include "io/pedigree_ids.hpp"

extern char** environ;

namespace gw {
namespace {

using namespace gw::testing;

const fs::path kExamples = fs::path(GAINWEIGHTS_EXAMPLES);
const std::string kHerd = "B 0 0 0 1 1\nA B X 1 2 1\n";

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PrepareCommandLine, BadCommandLinesGiveTheUsageAndTouchNothing) {
  struct Case {
    std::string args;
    std::string problem;
  };
  const Case cases[] = {{"prepare", "name the pedigree FILE"},
                        {"prepare --bogus herd.txt", "unknown option '--bogus'"},
                        {"prepare herd.txt more.txt", "more than one FILE"},
                        {"prepare --force", "name the pedigree FILE"}};
  for (const Case& c : cases) {
    TempDir tmp;
    write_file(tmp / "herd.txt", kHerd);
    const RunResult r = run_in(tmp.path(), c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find("gainweights: prepare: " + c.problem), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Usage: gainweights"), std::string::npos) << c.args;
    EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{"herd.txt"}) << c.args;
  }
  TempDir tmp;
  for (const char* help : {"--help", "prepare --help"}) {
    const RunResult r = run_in(tmp.path(), help);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("gainweights prepare [--header] [--force] FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--force"), std::string::npos);
  }
  const RunResult missing = run_in(tmp.path(), "prepare herd.txt");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "gainweights: herd.txt: no such file; name the pedigree file to prepare\n");
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// Either existing output file stops prepare before anything is written;
// --force replaces both.
TEST(PrepareFiles, AreNeverReplacedWithoutForce) {
  for (const std::vector<std::string>& present : std::vector<std::vector<std::string>>{
           {"Pedigree&Record.csv"}, {"Pedigree_ids.csv"}, {"Pedigree&Record.csv", "Pedigree_ids.csv"}}) {
    TempDir tmp;
    write_file(tmp / "herd.txt", kHerd);
    for (const std::string& name : present) write_file(tmp / name, "old " + name + "\n");
    const std::vector<std::string> before = entries(tmp.path());
    RunResult r = run_in(tmp.path(), "prepare herd.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    for (const std::string& name : present) {
      EXPECT_NE(r.err.find("gainweights: " + name + ": the file exists already and is left as it is; prepare with --force"),
                std::string::npos)
          << r.err;
      EXPECT_EQ(read_file(tmp / name), "old " + name + "\n");
    }
    EXPECT_EQ(entries(tmp.path()), before);

    r = run_in(tmp.path(), "prepare --force herd.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(tmp / "Pedigree&Record.csv"), "1,0,0,0,1,1\n2,0,0,0,0,0\n3,1,2,1,2,1\n");
    EXPECT_EQ(read_file(tmp / "Pedigree_ids.csv"),
              "line,id,added,source_line\n0," + pedigree_fingerprint("1,0,0,0,1,1\n2,0,0,0,0,0\n3,1,2,1,2,1\n") +
                  ",,\n1,B,0,1\n2,X,1,\n3,A,0,2\n");
    EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"Pedigree&Record.csv", "Pedigree_ids.csv", "herd.txt"}));
  }
}

struct PrepareRefusal {
  const char* name;
  std::string args;
  std::function<void(const fs::path&)> setup;
  std::string message;
};

void PrintTo(const PrepareRefusal& c, std::ostream* os) { *os << c.name; }

class PrepareRefused : public ::testing::TestWithParam<PrepareRefusal> {};

// prepare refuses a FILE that is one of its own outputs (--force would
// replace the source by the numbered pedigree), and outputs that are no
// regular files, before it reads anything: exit status 2, no hint to use
// --force, every file as it was.
TEST_P(PrepareRefused, BeforeReadingAnything) {
  const PrepareRefusal& c = GetParam();
  TempDir tmp;
  write_file(tmp / "herd.txt", kHerd);
  write_file(tmp / "Pedigree&Record.csv", kHerd);  // a source named like the output
  c.setup(tmp.path());
  const std::vector<std::string> before = entries(tmp.path());
  const RunResult r = run_in(tmp.path(), c.args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("gainweights: " + c.message), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(entries(tmp.path()), before);
  if (fs::is_regular_file(tmp / "Pedigree&Record.csv")) {
    EXPECT_EQ(read_file(tmp / "Pedigree&Record.csv"), kHerd);
  }
}

const auto kNothing = [](const fs::path&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, PrepareRefused,
    ::testing::Values(
        PrepareRefusal{"the_pedigree_file", "prepare --force 'Pedigree&Record.csv'", kNothing,
                       "Pedigree&Record.csv: that is Pedigree&Record.csv, which prepare writes"},
        PrepareRefusal{"the_ids_file_by_another_path", "prepare ./Pedigree_ids.csv",
                       [](const fs::path& d) { write_file(d / "Pedigree_ids.csv", kHerd); },
                       "./Pedigree_ids.csv: that is Pedigree_ids.csv, which prepare writes"},
        PrepareRefusal{"a_link_to_the_pedigree_file", "prepare --force source.txt",
                       [](const fs::path& d) { fs::create_symlink("Pedigree&Record.csv", d / "source.txt"); },
                       "source.txt: that is Pedigree&Record.csv"},
        PrepareRefusal{"a_hard_link_to_the_pedigree_file", "prepare source.txt",
                       [](const fs::path& d) { fs::create_hard_link(d / "Pedigree&Record.csv", d / "source.txt"); },
                       "source.txt: that is Pedigree&Record.csv"},
        PrepareRefusal{"an_output_that_is_a_fifo", "prepare --force herd.txt",
                       [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "Pedigree_ids.csv").c_str(), 0644), 0); },
                       "Pedigree_ids.csv: is a FIFO (named pipe), not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

// Warnings, then every fault on a line of its own with the program's prefix,
// 50 at most and a count of the rest; exit status 2 and nothing written.
TEST(PrepareFaults, AreListedOnStandardErrorAndNothingIsWritten) {
  TempDir tmp;
  std::string text = "A B 0 1 1\nB A 0 1 1\nB A 0 1 1\n";
  for (int k = 0; k < 60; ++k) {
    text += 'C';
    text += std::to_string(k);
    text += " C";
    text += std::to_string(k);
    text += " 0 1 1\n";
  }
  write_file(tmp / "herd.txt", text);
  const RunResult r = run_in(tmp.path(), "prepare herd.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  std::vector<std::string> lines;
  std::istringstream in(r.err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 52u) << r.err;
  EXPECT_EQ(lines[0], "gainweights: warning: herd.txt line 3 repeats line 2 (animal B); the repeat is ignored");
  EXPECT_EQ(lines[1], "gainweights: herd.txt line 4: animal C0 is given as its own sire; correct the parent");
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("gainweights: ", 0), 0u) << line;
  // 60 own sires and the loop: 50 shown, 11 counted.
  EXPECT_EQ(lines.back(), "gainweights: 11 more faults in herd.txt");
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{"herd.txt"});
}

// The example of the user guide: prepare, then a run.
TEST(PrepareExample, TaggedHerdPreparesAndRuns) {
  TempDir tmp;
  for (const char* name : {"herd.txt", "GParameter.csv"})
    fs::copy_file(kExamples / "tagged-herd" / name, tmp / name);
  RunResult r = run_in(tmp.path(), "prepare herd.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Animals read:     10 (herd.txt; 2 comment lines skipped)\n"
                       "Parents added:    2 (no line of their own; added as founders): DK-0141, S-0007\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Inbred animals:   3 of 12; mean F over the inbred animals 0.1875, largest F 0.2500\n"),
            std::string::npos)
      << r.out;
  r = run_in(tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("No. of animals =       12"), std::string::npos) << r.out;
}

std::vector<double> result_values(const fs::path& file) {
  std::vector<double> values;
  std::istringstream in(read_file(file));
  for (std::string word; in >> word;) values.push_back(std::strtod(word.c_str(), nullptr));
  return values;
}

// The same herd twice: by line positions, and with ear tags in shuffled
// lines, some founders without a line of their own (they have no records
// and are no candidates, so that the herd is the same). The order of the
// animals changes the rounding, not the weights.
TEST(PrepareEndToEnd, ShuffledTaggedHerdGivesTheWeightsOfTheLinePositionFile) {
  herd::Shape shape;
  shape.animals = 600;
  shape.generations = 6;
  std::mt19937_64 rng(14);
  const std::string parameters = herd::parameter_file(shape, rng);
  std::vector<herd::Animal> animals = herd::animals(shape, rng);
  const std::vector<bool> is_parent = herd::parents(animals);
  std::vector<bool> listed(animals.size(), true), is_sire(animals.size(), false);
  // A generation without a male sire makes a dam the sire as well, which
  // prepare rightly refuses; the seed gives a herd without.
  for (const herd::Animal& a : animals)
    if (a.sire >= 0) is_sire[static_cast<std::size_t>(a.sire)] = true;
  for (const herd::Animal& a : animals) ASSERT_FALSE(a.dam >= 0 && is_sire[static_cast<std::size_t>(a.dam)]);
  int unlisted = 0;
  for (std::size_t k = 0; k < animals.size(); ++k) {
    herd::Animal& a = animals[k];
    if (a.sire < 0 && a.dam < 0 && is_parent[k] && k % 5 == 0) {
      listed[k] = false;
      a.candidate = false;
      std::fill(a.records.begin(), a.records.end(), 0);
      ++unlisted;
    }
  }
  ASSERT_GE(unlisted, 2);

  TempDir by_position, tagged;
  write_file(by_position / "GParameter.csv", parameters);
  write_file(by_position / "Pedigree&Record.csv", herd::pedigree_file(animals));
  const RunResult plain = run_in(by_position.path());
  ASSERT_EQ(plain.status, 0) << plain.err;

  const auto tag = [](int k) { return k < 0 ? std::string(".") : "SW-" + std::to_string(7919 * (k + 1) % 100003); };
  std::vector<int> order;
  for (int k = 0; k < static_cast<int>(animals.size()); ++k)
    if (listed[static_cast<std::size_t>(k)]) order.push_back(k);
  std::shuffle(order.begin(), order.end(), rng);
  const std::string text =
      "# tag sire dam candidate group records\n" + herd::tagged_pedigree_file(animals, order, tag);
  write_file(tagged / "GParameter.csv", parameters);
  write_file(tagged / "herd.txt", text);
  const RunResult prepared = run_in(tagged.path(), "prepare herd.txt");
  ASSERT_EQ(prepared.status, 0) << prepared.err;
  EXPECT_NE(prepared.out.find("Parents added:    " + std::to_string(unlisted) + " "), std::string::npos)
      << prepared.out;
  const RunResult run = run_in(tagged.path());
  ASSERT_EQ(run.status, 0) << run.err;

  const std::vector<double> expected = result_values(by_position / "Weighted_value.csv");
  const std::vector<double> got = result_values(tagged / "Weighted_value.csv");
  ASSERT_EQ(expected.size(), 4u * static_cast<std::size_t>(shape.traits));
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_NEAR(got[i], expected[i], 1e-9 * std::fabs(expected[i])) << "value " << i;
}

// The lines of a CSV file's column `col` after the header.
std::vector<std::string> column(const std::string& csv, std::size_t col) {
  std::vector<std::string> values;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string f;
    for (std::size_t k = 0; k <= col && std::getline(fields, f, ','); ++k) {
    }
    values.push_back(f);
  }
  return values;
}

// The same herd prepared again from its lines in another order, with the
// earlier Pedigree_ids.csv left in place (as a failed or partial prepare
// would have left it): the run does not take its identifiers, says why,
// and shows field 1; with the matching file it shows the ear tags.
TEST(PrepareThenRun, AnIdsFileOfAnotherPrepareIsNotUsed) {
  TempDir tmp;
  for (const char* name : {"herd.txt", "GParameter.csv"})
    fs::copy_file(kExamples / "tagged-herd" / name, tmp / name);
  ASSERT_EQ(run_in(tmp.path(), "prepare herd.txt").status, 0);
  const std::string old_records = read_file(tmp / "Pedigree&Record.csv"), old_ids = read_file(tmp / "Pedigree_ids.csv");
  std::vector<std::string> lines;
  {
    std::istringstream in(read_file(tmp / "herd.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  std::reverse(lines.begin(), lines.end());
  std::string reversed;
  for (const std::string& line : lines) reversed += line + "\n";
  write_file(tmp / "herd.txt", reversed);
  ASSERT_EQ(run_in(tmp.path(), "prepare --force herd.txt").status, 0);
  ASSERT_NE(read_file(tmp / "Pedigree&Record.csv"), old_records);
  const std::string new_ids = read_file(tmp / "Pedigree_ids.csv");

  write_file(tmp / "Pedigree_ids.csv", old_ids);
  RunResult r = run_in(tmp.path(), "--candidates c.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("gainweights: warning: Pedigree_ids.csv: it belongs to another Pedigree&Record.csv"),
            std::string::npos)
      << r.err;
  const std::string list = read_file(tmp / "c.csv");
  EXPECT_EQ(column(list, 1), column(list, 0));  // field 1 of the pedigree file is the line number

  write_file(tmp / "Pedigree_ids.csv", new_ids);
  r = run_in(tmp.path(), "--candidates c.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> tags = column(read_file(tmp / "c.csv"), 1);
  ASSERT_FALSE(tags.empty());
  for (const std::string& tag : tags) EXPECT_NE(tag.find('-'), std::string::npos) << tag;  // G-2231, ...
}

// A disk that holds the identifier list but not the pedigree file: both
// earlier files stay, and nothing else is left.
TEST(PrepareFiles, AFullDiskReplacesNeitherFile) {
  TinyFileSystem small;
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << small.error();
  write_file(small.path() / "herd.txt", kHerd);
  const RunResult first = run_in(small.path(), "prepare herd.txt");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("Written:          Pedigree&Record.csv (3 lines), Pedigree_ids.csv\n"), std::string::npos)
      << first.out;
  const std::string records = read_file(small.path() / "Pedigree&Record.csv");
  const std::string ids = read_file(small.path() / "Pedigree_ids.csv");
  TempDir source;
  std::string herd;
  for (int k = 0; k < 1000; ++k) {
    herd += 'T';
    herd += std::to_string(1000 + k);
    herd += " 0 0 1 2 1 1\n";
  }
  write_file(source / "big.txt", herd);
  small.fill_leaving(20 * 1024);
  const RunResult r = run_in(small.path(), "prepare --force '" + (source / "big.txt").string() + "'");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("gainweights: Pedigree&Record.csv: cannot write: No space left on device"), std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(small.path() / "Pedigree&Record.csv"), records);
  EXPECT_EQ(read_file(small.path() / "Pedigree_ids.csv"), ids);
  EXPECT_EQ(entries(small.path()), (std::vector<std::string>{"Pedigree&Record.csv", "Pedigree_ids.csv", "filler",
                                                             "herd.txt"}));
}

// SIGTERM at some moment of a prepare of 150 000 animals: the program ends
// by the signal (or has finished), leaves no temporary file, and the two
// files are either both the earlier ones or both new and of one another.
TEST(PrepareFiles, AnInterruptionLeavesNoTemporaryFileAndAPair) {
  herd::Shape shape;
  shape.animals = 150000;
  shape.generations = 10;
  std::mt19937_64 rng(3);
  const std::vector<herd::Animal> animals = herd::animals(shape, rng);
  std::vector<int> order(animals.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
  const auto tag = [](int k) {
    std::string t(1, k < 0 ? '0' : 'E');
    if (k >= 0) t += std::to_string(k);
    return t;
  };
  const std::string herd_text = herd::tagged_pedigree_file(animals, order, tag, ' ');
  for (const double delay : {0.05, 0.2, 0.4}) {
    TempDir tmp;
    write_file(tmp / "herd.txt", herd_text);
    write_file(tmp / "Pedigree&Record.csv", "old pedigree\n");
    write_file(tmp / "Pedigree_ids.csv", "old ids\n");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, tmp.path().c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string exe = program(), verb = "prepare", force = "--force", file = "herd.txt";
    char* argv[] = {exe.data(), verb.data(), force.data(), file.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    ::kill(pid, SIGTERM);
    int raw = 0;
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
    EXPECT_TRUE((WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) || (WIFEXITED(raw) && WEXITSTATUS(raw) == 0))
        << "delay " << delay << ": status " << raw;
    EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"Pedigree&Record.csv", "Pedigree_ids.csv", "herd.txt"}))
        << "delay " << delay;
    const std::string records = read_file(tmp / "Pedigree&Record.csv"), ids = read_file(tmp / "Pedigree_ids.csv");
    if (records == "old pedigree\n") {
      EXPECT_EQ(ids, "old ids\n") << "delay " << delay;
    } else {
      EXPECT_NE(ids.find(pedigree_fingerprint(records)), std::string::npos) << "delay " << delay;
    }
  }
}

// The number of traits comes from reading GParameter.csv as a run reads
// it: a header line is not a trait (a run stops there, which prepare says),
// and a comma that reads as a decimal comma is pointed out.
TEST(PrepareParameters, AreReadAsTheRunReadsThem) {
  struct Case {
    std::string parameters, warning;
    int status;
  };
  const Case cases[] = {
      {"target,variance,g1\n5,10,3\n",
       "gainweights: warning: GParameter.csv line 1: \"target\" is not a real number (the file must not have a header "
       "line); a run stops there too, and the number of fields is not checked against GParameter.csv\n",
       0},
      {"5 10 3,5\n",
       "gainweights: warning: GParameter.csv line 1 holds 1 value more than the run reads; it is ignored (with 1 "
       "trait, one a line, a line gives 3 values: the target, the phenotypic variance and 1 of the covariance "
       "table); \"3,5\" looks like a number with a decimal comma, which is read as two values: write 3.5 if that is "
       "meant\n",
       0},
      // Two traits: the lines of three record flags do not fit.
      {"5,10,3,1\n2,20,0.5,4\n", "gainweights: herd.txt line 1: 6 fields, but GParameter.csv has 2 traits", 2},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    write_file(tmp / "herd.txt", "A 0 0 1 1 1\nB A 0 1 2 1\n");
    write_file(tmp / "GParameter.csv", c.parameters);
    const RunResult r = run_in(tmp.path(), "prepare herd.txt");
    EXPECT_EQ(r.status, c.status) << c.parameters << r.err;
    EXPECT_EQ(r.err.rfind(c.warning, 0), 0u) << r.err;
  }
}

}  // namespace
}  // namespace gw

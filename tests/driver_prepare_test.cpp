// The prepare command of the built program: its command line, the refusal
// to replace files, faults as the user sees them, the example folder, and a
// generated herd with text identifiers in shuffled order, prepared and run,
// against the same herd written by line positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver_process.hpp"
#include "herd.hpp"

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
    EXPECT_EQ(read_file(tmp / "Pedigree_ids.csv"), "line,id,added\n1,B,0\n2,X,1\n3,A,0\n");
    EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"Pedigree&Record.csv", "Pedigree_ids.csv", "herd.txt"}));
  }
}

// Warnings, then every fault on a line of its own with the program's prefix,
// 50 at most and a count of the rest; exit status 2 and nothing written.
TEST(PrepareFaults, AreListedOnStandardErrorAndNothingIsWritten) {
  TempDir tmp;
  std::string text = "A B 0 1 1\nB A 0 1 1\nB A 0 1 1\n";
  for (int k = 0; k < 60; ++k) {
    text += 'C';
    text += std::to_string(k);
    text += " A 0 one 1\n";
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
  EXPECT_EQ(lines[1].rfind("gainweights: herd.txt line 4: field 4 (candidate flag) \"one\" is not an integer", 0), 0u);
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("gainweights: ", 0), 0u) << line;
  // 60 flag faults and the loop: 50 shown, 11 counted.
  EXPECT_EQ(lines.back(), "gainweights: 11 more faults in herd.txt");
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{"herd.txt"});
}

// The example of the README: prepare, then a run.
TEST(PrepareExample, TaggedHerdPreparesAndRuns) {
  TempDir tmp;
  for (const char* name : {"herd.txt", "GParameter.csv"})
    fs::copy_file(kExamples / "tagged-herd" / name, tmp / name);
  RunResult r = run_in(tmp.path(), "prepare herd.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Animals read:     10 (herd.txt)\nParents added:    2 "), std::string::npos) << r.out;
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

}  // namespace
}  // namespace gw

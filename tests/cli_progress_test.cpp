// The progress line in whole runs: on a terminal it shows the stages with
// their share done and is cleared at the end, and the console report stays
// exactly as without it; without a terminal nothing is written. And the
// sparse path's stages as it reports them.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/run_command.hpp"
#include "index/paths.hpp"
#include "io/console.hpp"
#include "index/record_matrix.hpp"
#include "kit/process.hpp"
#include "kit/herd.hpp"
#include "kit/stages.hpp"
#include "io/input_file.hpp"
#include "sparse/candidate_variances.hpp"

namespace gw {
namespace {

using namespace gw::testing;

void write_herd(const fs::path& dir, const herd::Shape& shape) {
  std::mt19937_64 rng(shape.seed);
  write_file(dir / "GParameter.csv", herd::parameter_file(shape, rng));
  write_file(dir / "Pedigree&Record.csv", herd::pedigree_file(shape, rng));
}

// The console report of a run in `dir` with `line` as its progress line.
std::string console_of(const fs::path& dir, ProgressLine& line) {
  std::ostringstream out;
  Console console(out);
  RunFeedback feedback;
  feedback.progress = &line;
  run(dir, console, {}, feedback);
  return mask_clock(out.str());
}

// A whole run with the line shown from the first report on (no delay, no
// ticker): on a terminal it names the stages with their share done and is
// cleared at the end, and the console report and the result stay exactly
// as without it; without a terminal nothing is written at all.
TEST(ProgressLine, ShowsOnATerminalAndNowhereElse) {
  TempDir tmp;
  write_herd(tmp.path(), {2, 300, 4, 0.1, 0.18, 21});
  const ProgressLine::Settings at_once{0.0, false, 80, {}};
  std::ostringstream silent_err;
  ProgressLine silent(silent_err, false, at_once);
  const std::string plain = console_of(tmp.path(), silent);
  EXPECT_EQ(silent_err.str(), "");
  const std::string result = read_file(tmp / "Weighted_value.csv");

  std::ostringstream err;
  ProgressLine line(err, true, at_once);
  EXPECT_EQ(console_of(tmp.path(), line), plain);
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), result);
  const std::string terminal = err.str();
  EXPECT_NE(terminal.find("\rinverting the record matrix: "), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("\rcomputing the candidates' weights: "), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("% done, "), std::string::npos) << terminal;
  // The line is cleared at the end ("\r", blanks over it, "\r"), and
  // nothing else reaches standard error.
  ASSERT_GE(terminal.size(), 3u);
  EXPECT_EQ(terminal.back(), '\r');
  const std::size_t before = terminal.find_last_not_of(' ', terminal.size() - 2);
  EXPECT_LT(before, terminal.size() - 2);
  EXPECT_EQ(terminal[before], '\r');
  EXPECT_EQ(terminal.find('\n'), std::string::npos);
}

// The sparse path names each stage as it begins and, for the two stages
// that can tell, reports a share that grows to 1, from the calling thread.
TEST(ProgressLine, SparseStagesInOrder) {
  TempDir tmp;
  write_herd(tmp.path(), {3, 600, 4, 0.2, 0.2, 22});
  const Parameters par = read_parameters(load_input_file(tmp.path(), kParameterFileName));
  const Pedigree ped = read_pedigree(load_input_file(tmp.path(), kPedigreeFileName), par.ntrait);
  const TraitMatrices t = trait_covariances(par, {});
  std::vector<int> candidates;
  for (int k = 0; k < ped.nanim; ++k)
    if (ped.cand[k] == 1) candidates.push_back(k);
  RecordedStages stages;
  const SparseInput in{t.g0.cview(), t.r0.cview(), ped.id1, ped.id2, ped.nonr.cview(), candidates,
                       kParameterFileName, kPedigreeFileName, &stages};
  candidate_variances(in);
  EXPECT_FALSE(stages.other_thread());
  const auto& reports = stages.reports;
  using Report = RecordedStages::Report;

  const std::vector<std::string>& begun = stages.begun;
  EXPECT_EQ(stages.ended, static_cast<int>(begun.size()));
  EXPECT_EQ(begun, (std::vector<std::string>{"computing inbreeding and the inverse relationship matrix",
                                             "building the mixed-model equations",
                                             "ordering the mixed-model equations",
                                             "factorising the mixed-model equations",
                                             "inverting the factor (selected inverse)",
                                             "reading the candidates' blocks of the inverse"}));
  for (const std::string& measured : {begun[4], begun[5]}) {
    double last = 0;
    for (const Report& r : reports)
      if (r.stage == measured) {
        EXPECT_GE(r.share, last) << measured;
        last = r.share;
      }
    EXPECT_EQ(last, 1.0) << measured;
  }
  for (const Report& r : reports) {
    if (r.stage != begun[4] && r.stage != begun[5]) {
      EXPECT_EQ(r.share, -1.0) << r.stage;
    }
  }
}

}  // namespace
}  // namespace gw

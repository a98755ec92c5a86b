// The progress line in whole runs: on a terminal (a pseudo-terminal made by
// script(1)) it shows the stages with their share done and is cleared at the
// end, and standard output stays exactly as without it; without a terminal
// nothing appears on standard error. And the sparse path's stages as it
// reports them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/stages.hpp"
#include "driver_process.hpp"
#include "herd.hpp"
#include "io/input_file.hpp"
#include "sparse/candidate_variances.hpp"

namespace gw {
namespace {

using namespace gw::testing;

// 3 traits of 1500 animals (D = 4500, about 4000 records): the inversion
// runs for about a second on two cores, well beyond the quarter of a second
// after which the line first shows.
const herd::Shape kHerd{3, 1500, 5, 0.1, 0.18, 21};

void write_herd(const fs::path& dir, const herd::Shape& shape) {
  std::mt19937_64 rng(shape.seed);
  write_file(dir / "GParameter.csv", herd::parameter_file(shape, rng));
  write_file(dir / "Pedigree&Record.csv", herd::pedigree_file(shape, rng));
}

TEST(ProgressLine, ShowsOnATerminalAndNowhereElse) {
  TempDir tmp;
  write_herd(tmp.path(), kHerd);
  const RunResult plain = run_in(tmp.path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.err, "");
  const std::string result = read_file(tmp / "Weighted_value.csv");

  // Standard error on a pseudo-terminal, standard output to a file.
  const fs::path pty = tmp.path().parent_path() / (tmp.path().filename().string() + ".pty");
  const std::string cmd = "cd '" + tmp.path().string() + "' && script -qfec \"'" GAINWEIGHTS_EXE
                          "' > out.txt\" /dev/null > '" + pty.string() + "' 2>&1 < /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(pty);
  const std::string terminal = read_file(pty);
  fs::remove(pty);
  const std::string out = read_file(tmp / "out.txt");
  fs::remove(tmp / "out.txt");

  EXPECT_EQ(mask_clock(out), mask_clock(plain.out));
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), result);
  EXPECT_NE(terminal.find("\rinverting the record matrix: "), std::string::npos) << terminal;
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
  struct Report {
    std::string stage;
    double share;
  };
  std::vector<Report> reports;
  const auto caller = std::this_thread::get_id();
  bool other_thread = false;
  const SparseInput in{t.g0.cview(), t.r0.cview(), ped.id1, ped.id2, ped.nonr.cview(), candidates,
                       kParameterFileName, kPedigreeFileName, [&](const char* stage, double share) {
                         other_thread = other_thread || std::this_thread::get_id() != caller;
                         reports.push_back({stage, share});
                       }};
  candidate_variances(in);
  EXPECT_FALSE(other_thread);

  std::vector<std::string> begun;
  for (const Report& r : reports)
    if (begun.empty() || begun.back() != r.stage) begun.push_back(r.stage);
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

// One run of the program: the fixed sequence of stages from the start line of
// the console report to the result file and the closing line.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "io/console.hpp"
#include "io/progress.hpp"

namespace gw {

struct DistributedOptions;

struct RunOptions {
  // The candidates' system matrices from the sparse mixed-model equations
  // instead of the dense inverse of the record covariance matrix.
  bool sparse = false;
  // Where to write every candidate's own result (relative to the run's
  // folder); "-": to RunFeedback::candidates_out; empty: nowhere.
  std::filesystem::path candidates_file;
  // The traits' names for the candidate file's headers and the picture
  // (one per trait, checked against the parameter file); empty: 1, 2, ...
  std::vector<std::string> trait_names;
  // Where to draw the picture of the candidates (relative to the run's
  // folder; its ending names the format); empty: nowhere.
  std::filesystem::path plot_file;
  // Candidates whose weights are not determined are left out of the
  // averages with a warning, instead of ending the run.
  bool skip_undetermined = false;
  // The sparse path's factorisation on MUMPS over MPI ranks (--distributed)
  // instead of CHOLMOD in this process; null: CHOLMOD.
  const DistributedOptions* distributed = nullptr;
};

// What a run writes to standard error besides the diagnostic that ends it.
struct RunFeedback {
  // One line "gainweights: warning: ..." for each implausible value of the
  // parameter file (see index/parameter_checks.hpp) and each other warning;
  // none when null.
  std::ostream* warnings = nullptr;
  // The progress line of the long stages; none when null.
  ProgressLine* progress = nullptr;
  // Where the candidate list goes with --candidates - (standard output;
  // the console report then goes to standard error).
  std::ostream* candidates_out = nullptr;
};

// Checks the outputs, reads the two input files in `dir`, computes, writes
// the result file (and the candidate file) there and reports on `console`.
// Throws FatalError for every condition that ends the run early; the result
// file and the candidate file are then left as they were.
void run(const std::filesystem::path& dir, Console& console, const RunOptions& options = {},
         const RunFeedback& feedback = {});

}  // namespace gw

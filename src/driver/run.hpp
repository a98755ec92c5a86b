// One run of the program: the fixed sequence of stages from the start line of
// the console report to the result file and the closing line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "io/console.hpp"

namespace gw {

struct RunOptions {
  // The candidates' system matrices from the sparse mixed-model equations
  // instead of the dense inverse of the record covariance matrix.
  bool sparse = false;
};

// Reads the two input files in `dir`, computes, writes the result file there
// and reports on `console`. Throws FatalError for every condition that ends
// the run early; the result file is then left as it was.
void run(const std::filesystem::path& dir, Console& console, const RunOptions& options = {});

// The program's command line: a run (options in RunOptions), --help /
// --version, or "prepare [--header] [--force] FILE" (see usage in
// run.cpp). Returns the exit status; `out` and `err` are standard output
// and standard error.
int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace gw

// One run of the program: the fixed sequence of stages from the start line of
// the console report to the result file and the closing line.
#pragma once

#include <filesystem>

#include "io/console.hpp"

namespace gw {

// Reads the two input files in `dir`, computes, writes the result file there
// and reports on `console`. Throws FatalError for every condition that ends
// the run early; the result file is then left as it was.
void run(const std::filesystem::path& dir, Console& console);

// The program's command line: no arguments (a run), --help / --version, or
// "prepare [--header] [--force] FILE". Returns
// the exit status; `out` and `err` are standard output and standard error.
int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace gw

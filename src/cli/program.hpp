// The program: its command line, its commands and how their outcome becomes
// output and the exit status.
#pragma once

#include <ostream>

namespace gw {

class MpiSession;

// A run (see cli/run_command.hpp), "prepare [--header] [--force] FILE"
// (cli/prepare_command.hpp), or --help / --version anywhere on the line
// (cli/flags.hpp). Returns the exit status; `out` and `err` are standard
// output and standard error, and the progress line is shown on `err` when
// `err_is_terminal` is set. A condition that ends a command is a FatalError;
// here, and only here, it becomes a console line or a diagnostic and the
// exit status.
//
// With --distributed the program runs as one of the ranks of `mpi`
// (started by main, see distributed_requested): rank 0 does the run, the
// others serve its distributed factorisation and print nothing. Without
// `mpi`, --distributed is refused (exit status 2), as in a build without
// MPI.
int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                bool err_is_terminal = false, MpiSession* mpi = nullptr);

// Whether the command line asks for a distributed run, for which main
// starts MPI first. A run without it never starts MPI, so that it needs no
// MPI launcher.
bool distributed_requested(int argc, const char* const* argv);

}  // namespace gw

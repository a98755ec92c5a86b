#include <iostream>
#include <optional>

#include "cli/program.hpp"
#include "io/atomic_file.hpp"
#include "io/progress.hpp"
#if GAINWEIGHTS_MPI
#include "sparse/mpi.hpp"
#endif

int main(int argc, char** argv) {
  gw::install_interrupt_cleanup();
  const bool terminal = gw::ProgressLine::standard_error_is_terminal();
#if GAINWEIGHTS_MPI
  // MPI starts for a distributed run alone, so that every other run needs
  // no MPI launcher; it stops when `mpi` goes, after the run.
  std::optional<gw::MpiSession> mpi;
  if (gw::distributed_requested(argc, argv)) mpi.emplace(&argc, &argv);
  return gw::run_program(argc, argv, std::cout, std::cerr, terminal, mpi ? &*mpi : nullptr);
#else
  return gw::run_program(argc, argv, std::cout, std::cerr, terminal);
#endif
}

// A small owning wrapper around one MUMPS instance (double precision, the C
// interface of its MPI build).
//
// Every call is collective: every rank of the communicator makes the same
// calls in the same order, the root (rank 0, the host, which also takes a
// share of the work) with the matrix and the right-hand sides, the others
// without. MUMPS reports its outcome in INFOG, the same on every rank, so
// every rank takes the same branch after a call.
#pragma once

#include <dmumps_c.h>
#include <mpi.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace gw {

// JOB = -1 failed: on every rank alike, since MUMPS shares the outcome.
class MumpsStartFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Mumps {
 public:
  // JOB = -1 for a symmetric positive definite matrix (SYM = 1) on every
  // rank of `comm`, the host working too (PAR = 1), with every printed
  // message of MUMPS switched off: failures are read from INFOG instead.
  explicit Mumps(MPI_Comm comm);
  // JOB = -2: frees the instance's memory (and its out-of-core files).
  ~Mumps();
  Mumps(const Mumps&) = delete;
  Mumps& operator=(const Mumps&) = delete;

  DMUMPS_STRUC_C& id() { return id_; }
  // Control and information parameters by their 1-based numbers, as MUMPS's
  // documentation names them: icntl(7) is ICNTL(7).
  MUMPS_INT& icntl(int i) { return id_.icntl[i - 1]; }
  MUMPS_INT info(int i) const { return id_.info[i - 1]; }
  MUMPS_INT infog(int i) const { return id_.infog[i - 1]; }
  double rinfog(int i) const { return id_.rinfog[i - 1]; }

  // Runs phase `job` (1 analysis, 2 factorisation, 3 solve) on every rank;
  // returns INFOG(1): negative on failure, positive for a warning.
  int run(int job);

 private:
  DMUMPS_STRUC_C id_{};
};

// A count that MUMPS returns in a 32-bit field as itself when positive and
// as minus its number of millions when it exceeds the field.
std::int64_t mumps_count(MUMPS_INT value);

// What a MUMPS failure (INFOG(1) < 0, with INFOG(2)) means, in words.
std::string mumps_failure(int infog1, int infog2);

}  // namespace gw

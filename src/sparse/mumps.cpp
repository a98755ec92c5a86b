#include "sparse/mumps.hpp"

#include <stdexcept>

namespace gw {

Mumps::Mumps(MPI_Comm comm) {
  id_.comm_fortran = static_cast<MUMPS_INT>(MPI_Comm_c2f(comm));
  id_.par = 1;
  id_.sym = 1;
  id_.job = -1;
  dmumps_c(&id_);
  if (id_.infog[0] < 0)
    throw MumpsStartFailure("MUMPS could not be started: " + mumps_failure(id_.infog[0], id_.infog[1]));
  // No output stream: errors, diagnostics, statistics, nothing printed.
  icntl(1) = -1;
  icntl(2) = -1;
  icntl(3) = -1;
  icntl(4) = 0;
}

Mumps::~Mumps() {
  id_.job = -2;
  dmumps_c(&id_);
}

int Mumps::run(int job) {
  id_.job = job;
  dmumps_c(&id_);
  return id_.infog[0];
}

std::int64_t mumps_count(MUMPS_INT value) {
  return value >= 0 ? value : -static_cast<std::int64_t>(value) * 1'000'000;
}

std::string mumps_failure(int infog1, int infog2) {
  const std::string code = " (MUMPS error " + std::to_string(infog1) + ", " + std::to_string(infog2) + ")";
  switch (infog1) {
    case -8:
    case -9:
    case -11:
    case -14:
    case -15:
    case -17:
    case -20:
      return "a work array of MUMPS was too small" + code;
    case -13:
      return "MUMPS could not allocate memory" + code;
    case -19:
      return "MUMPS needs more memory than it may take" + code;
    case -10:
      return "the matrix is numerically singular" + code;
    case -40:
      return "the matrix is not positive definite" + code;
    case -90:
      return "the out-of-core files cannot be written or read" + code;
    default:
      break;
  }
  if (infog1 <= -70 && infog1 >= -79) return "an out-of-core file cannot be written or read" + code;
  return "MUMPS failed" + code;
}

}  // namespace gw

// The MPI start and stop of a distributed run, and the few collective
// operations the distributed sparse path needs beyond MUMPS's own.
//
// MPI is started only for a run with --distributed, so that every other run
// starts without an MPI launcher. Started without one (no mpirun), the
// program is a single rank of its own.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gw {

class MpiSession {
 public:
  // MPI_Init_thread: the calling thread alone makes MPI calls, and OpenMP
  // threads run between them (MPI_THREAD_FUNNELED).
  MpiSession(int* argc, char*** argv);
  ~MpiSession();
  MpiSession(const MpiSession&) = delete;
  MpiSession& operator=(const MpiSession&) = delete;

  MPI_Comm comm() const { return MPI_COMM_WORLD; }
  int rank() const { return rank_; }
  int size() const { return size_; }
  bool root() const { return rank_ == 0; }

 private:
  int rank_ = 0, size_ = 1;
};

// Collective operations on a communicator; every rank must call them in the
// same order. The root is rank 0.
class Collective {
 public:
  explicit Collective(MPI_Comm comm);
  MPI_Comm comm() const { return comm_; }
  int rank() const { return rank_; }
  int size() const { return size_; }
  bool root() const { return rank_ == 0; }

  // The root's value, on every rank.
  std::int64_t broadcast(std::int64_t value) const;
  // The same for a rank that may wait long (a worker between runs): it
  // sleeps between looks instead of spinning, so that it leaves the cores
  // of its machine to the ranks that work.
  std::int64_t broadcast_waiting(std::int64_t value) const;
  std::string broadcast(const std::string& text) const;
  // Every rank's value, on the root (in rank order); empty on the others.
  std::vector<std::int64_t> gather(std::int64_t value) const;
  std::vector<std::string> gather(const std::string& text) const;

 private:
  MPI_Comm comm_;
  int rank_ = 0, size_ = 1;
};

// The name of the machine this rank runs on, for the messages.
std::string host_name();

}  // namespace gw

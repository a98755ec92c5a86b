#include "sparse/mpi.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace gw {

namespace {

void check(int code, const char* what) {
  if (code != MPI_SUCCESS) throw std::runtime_error(std::string("MPI: ") + what + " failed");
}

}  // namespace

MpiSession::MpiSession(int* argc, char*** argv) {
  int provided = 0;
  check(MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided), "MPI_Init_thread");
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

MpiSession::~MpiSession() { MPI_Finalize(); }

Collective::Collective(MPI_Comm comm) : comm_(comm) {
  MPI_Comm_rank(comm_, &rank_);
  MPI_Comm_size(comm_, &size_);
}

std::int64_t Collective::broadcast(std::int64_t value) const {
  check(MPI_Bcast(&value, 1, MPI_INT64_T, 0, comm_), "MPI_Bcast");
  return value;
}

std::int64_t Collective::broadcast_waiting(std::int64_t value) const {
  MPI_Request request;
  check(MPI_Ibcast(&value, 1, MPI_INT64_T, 0, comm_, &request), "MPI_Ibcast");
  auto pause = std::chrono::microseconds(50);
  for (int done = 0;;) {
    check(MPI_Test(&request, &done, MPI_STATUS_IGNORE), "MPI_Test");
    if (done) return value;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20'000));
  }
}

std::string Collective::broadcast(const std::string& text) const {
  const auto length = broadcast(static_cast<std::int64_t>(text.size()));
  std::string out = root() ? text : std::string(static_cast<std::size_t>(length), '\0');
  check(MPI_Bcast(out.data(), static_cast<int>(length), MPI_CHAR, 0, comm_), "MPI_Bcast");
  return out;
}

std::vector<std::int64_t> Collective::gather(std::int64_t value) const {
  std::vector<std::int64_t> all(root() ? static_cast<std::size_t>(size_) : 0);
  check(MPI_Gather(&value, 1, MPI_INT64_T, all.data(), 1, MPI_INT64_T, 0, comm_), "MPI_Gather");
  return all;
}

std::vector<std::string> Collective::gather(const std::string& text) const {
  const std::vector<std::int64_t> lengths = gather(static_cast<std::int64_t>(text.size()));
  std::vector<int> counts, offsets;
  std::string joined;
  if (root()) {
    int at = 0;
    for (const std::int64_t n : lengths) {
      counts.push_back(static_cast<int>(n));
      offsets.push_back(at);
      at += static_cast<int>(n);
    }
    joined.resize(static_cast<std::size_t>(at));
  }
  check(MPI_Gatherv(text.data(), static_cast<int>(text.size()), MPI_CHAR, joined.data(), counts.data(),
                    offsets.data(), MPI_CHAR, 0, comm_),
        "MPI_Gatherv");
  std::vector<std::string> out;
  for (std::size_t r = 0; r < counts.size(); ++r)
    out.push_back(joined.substr(static_cast<std::size_t>(offsets[r]), static_cast<std::size_t>(counts[r])));
  return out;
}

std::string host_name() {
  char name[MPI_MAX_PROCESSOR_NAME] = {};
  int length = 0;
  MPI_Get_processor_name(name, &length);
  return std::string(name, static_cast<std::size_t>(length));
}

}  // namespace gw

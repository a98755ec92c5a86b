// The candidates' system matrices from the sparse mixed-model equations,
// factorised by MUMPS over the ranks of an MPI communicator.
//
// The same quantities as candidate_variances (see candidate_variances.hpp):
// Var(û_c) = G0 A0(c, c) - PEV_c, with PEV_c the candidate's T x T block of
// C^-1. Rank 0 builds C and hands it to MUMPS whole (centralised input);
// MUMPS distributes it, factorises it over every rank and computes the
// requested entries of C^-1 (the lower triangles of the candidates' blocks),
// which it returns on rank 0. The other ranks only take their share of the
// factor and of the work: they run serve_distributed until rank 0 calls
// finish_workers.
//
// The results agree with candidate_variances to rounding and are the same
// from run to run for a given number of ranks and threads: MUMPS is set up
// so that no sum depends on the order in which messages arrive (see
// distributed_variances.cpp).
#pragma once

#include <mpi.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sparse/candidate_variances.hpp"

namespace gw {

struct DistributedOptions {
  MPI_Comm comm = MPI_COMM_WORLD;
  // Where every rank keeps its part of the factor on disk (out-of-core;
  // the same path on every host); empty: in memory.
  std::filesystem::path out_of_core;
  // Columns of C^-1 computed together (ICNTL(27)); 0: the default.
  int block = 0;
  // The fill-reducing ordering, given to MUMPS: -1 the one the CHOLMOD
  // path keeps (AMD or METIS, whichever factor takes less memory), -2
  // METIS, -3 AMD (both by CHOLMOD); 0 or more: MUMPS's own, ICNTL(7).
  // Measured on the 40 000-animal herd with 22 % of the males as sires,
  // one rank: the CHOLMOD path's choice (AMD there) 1.32 GB in MUMPS's
  // estimate, METIS 2.73 GB, MUMPS's AMD 2.18 GB.
  int ordering = -1;
  // The settings that make the result the same from run to run (see
  // distributed_variances.cpp); off only to measure what they cost.
  bool reproducible = true;
};

// On rank 0. Throws what candidate_variances throws, with MUMPS's memory
// estimate in the "not enough memory" stop (exit status 3), which says how
// many machines or how much memory the problem would need.
CandidateVariances distributed_variances(const SparseInput& in, const DistributedOptions& options,
                                         SparseStats* stats = nullptr);

// What MUMPS's analysis alone estimates for the problem, per rank (rank
// order), on rank 0: the benchmark's view of how many machines a herd needs.
struct DistributedEstimate {
  std::vector<std::int64_t> in_core, out_of_core;  // bytes of each rank
  std::int64_t factor_entries = 0;                 // values of the factor, all ranks
  double flops = 0;                                // of the factorisation
  double seconds = 0;                              // of the analysis
};
DistributedEstimate distributed_estimate(const SparseInput& in, const DistributedOptions& options);

// On every other rank: takes part in rank 0's distributed_variances and
// distributed_estimate calls until rank 0 calls finish_workers. A failure of
// its own that it cannot report (it prints nothing) aborts the MPI job.
void serve_distributed(MPI_Comm comm);
void finish_workers(MPI_Comm comm);

}  // namespace gw

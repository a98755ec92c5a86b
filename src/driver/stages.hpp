// The computation stages of a run, each over the arrays the driver owns.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/candidates.hpp"
#include "driver/inputs.hpp"
#include "io/progress.hpp"
#include "kernels/kernels.hpp"
#include "kernels/matrix.hpp"
#include "sparse/candidate_variances.hpp"

namespace gw {

struct DistributedOptions;

struct TraitMatrices {
  Matrix<double> g0;   // genetic covariances
  Matrix<double> r0;   // residual covariances
  Matrix<double> p0i;  // inverse of the phenotypic covariances g0 + r0
};

// G0, R0, P0 = G0 + R0 and its inverse, from the parameter table: the
// diagonal and lower triangle of GP are genetic, its upper triangle residual,
// and the residual variance is the phenotypic variance less the genetic one.
TraitMatrices trait_covariances(const Parameters& par, const ProgressFn& progress);

// The two steps of trait_covariances: G0 and R0 (p0i left n x n zero), then
// P0I = (G0 + R0)^-1.
TraitMatrices trait_matrices(const Parameters& par);
void invert_phenotypic(TraitMatrices& t, const ProgressFn& progress);

// Builds V = G0 (x) A0 + R0 (x) I in `v` (D x D, D = nanim * ntrait), packs
// the present records into its leading block, inverts that block in place and
// spreads the inverse back, so that `v` ends as PPI: the inverse over the
// present records, zero in every row and column of an absent record.
// Returns NREC, the number of present records.
int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const ProgressFn& progress);

// The same two steps with the relationship matrix standing in the record
// matrix's own storage, so that no separate nanim x nanim array lives beside
// it. On entry the first nanim * nanim elements of `v`'s storage hold A0,
// column by column (see relationship_block); on return `v` (D x D, leading
// dimension at least D) holds V = G0 (x) A0 + R0 (x) I, every element of the
// Kronecker part the same single product G0(i, j) * A0(k, l) as with A0
// apart.
void record_covariance_in_place(ConstMatView g0, ConstMatView r0, int nanim, MatView v);

// An uninitialised D x D record matrix. It is walked column by column with
// a stride of D, so large pages are asked for: they save most address
// translation misses and most page faults of its first touch. (Only advice:
// nothing changes when the system declines.)
Matrix<double> allocate_record_matrix(std::int64_t d);

// Where record_covariance_in_place expects A0: the start of v's storage,
// with leading dimension nanim.
inline MatView relationship_block(MatView v, int nanim) { return {v.data, nanim, nanim, nanim}; }

// Packs the present records of V into the leading block, inverts it in place
// and spreads the inverse back (PPI). Returns NREC.
int invert_present_block(ConstIntMatView nonr, int ntrait, int nanim, MatView v, const ProgressFn& progress);

// The reference weights of one animal with its own records of all traits and
// no relatives: V0 = (G0' P0I G0)^-1 K0, scaled by the first trait at which
// both V0 and VV0 differ from zero so that V0 agrees with VV0 there.
std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const ProgressFn& progress);

// The candidate stage of the sparse path: every candidate's system matrix
// from the mixed-model equations (see sparse/candidate_variances.hpp), then
// the same solves, averages and test of each candidate's determinedness as
// the dense path, in file order. With `distributed`, the system matrices
// come from MUMPS over MPI ranks (sparse/distributed_variances.hpp; on rank
// 0, in a build with MPI), otherwise from CHOLMOD in this process.
// Its stages and the solves show on `progress` when it is given.
CandidateAverages sparse_candidate_weights(const TraitMatrices& traits, const Pedigree& ped,
                                           const std::vector<double>& k0, const std::string& parameter_file,
                                           const std::string& pedigree_file,
                                           std::vector<CandidateRow>* rows = nullptr, SparseStats* stats = nullptr,
                                           Progress* progress = nullptr,
                                           const DistributedOptions* distributed = nullptr);

}  // namespace gw

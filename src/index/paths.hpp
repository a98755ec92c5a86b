// The two ways to every candidate's index weights, behind one interface.
//
// Both take the trait matrices and the pedigree, form each candidate's
// Var(û), test it for determinedness, solve Var(û) w = K0 and average the
// weights within the two groups, in file order:
//
// * the dense path inverts the covariance matrix of every present record
//   (D x D, D = animals x traits) and forms each candidate's system from
//   it; its numbers are exactly those of that arithmetic, the same bits for
//   any number of threads;
// * the sparse path forms the same systems from the sparse mixed-model
//   equations (a sparse Cholesky factor and its selected inverse, or MUMPS
//   over MPI ranks); its numbers agree with the dense path's to 1e-9
//   relative and are the same from run to run for a given number of
//   threads (and ranks).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/stages.hpp"
#include "index/traits.hpp"
#include "index/weights.hpp"
#include "io/candidate_file.hpp"
#include "io/inputs.hpp"
#include "kernels/kernels.hpp"

namespace gw {

struct DistributedOptions;
struct SparseStats;

struct PathInput {
  const Parameters& par;
  const TraitMatrices& traits;  // with P0I
  const Pedigree& ped;
  std::string parameter_file, pedigree_file;  // names for the messages
  bool keep_rows = false;                     // every candidate's own row too
  StageObserver* stages = nullptr;            // told of each long stage
  PivotSteps pivots;  // the dense inversion's pivot steps, for the console report
  // The sparse path only: MUMPS over MPI ranks instead of CHOLMOD in this
  // process (a build with MPI, on rank 0), and the factor's figures.
  const DistributedOptions* distributed = nullptr;
  SparseStats* stats = nullptr;
};

struct PathResult {
  CandidateAverages averages;
  std::vector<CandidateRow> rows;  // with keep_rows
  std::int64_t nrec = 0;           // records present
};

// The dense path. Checks before anything large is allocated that the
// record matrix and the candidate stage's work space fit in memory (exit
// status 3 otherwise, pointing to the sparse path).
PathResult dense_path(const PathInput& in);

// The sparse path (see sparse/candidate_variances.hpp and
// sparse/distributed_variances.hpp).
PathResult sparse_path(const PathInput& in);

// The names of the dense path's stages on the progress line; the candidate
// stage has the same name on either path.
inline constexpr const char* kBuildStage = "building the record covariance matrix";
inline constexpr const char* kInversionStage = "inverting the record matrix";
inline constexpr const char* kCandidateStage = "computing the candidates' weights";

}  // namespace gw

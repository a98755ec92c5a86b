// The candidates' system matrices from the sparse mixed-model equations.
//
// For candidate c with T breeding values û_c predicted from all records,
//
//   Var(û_c) = G0 A0(c, c) - PEV_c,
//
// where PEV_c is c's T x T diagonal block of C^-1 (see mixed_model.hpp) and
// A0(c, c) = 1 + F_c. C is factorised by CHOLMOD's supernodal Cholesky and
// the block is read from its selected inverse. These are the same matrices
// that the dense path forms from the inverse of the record covariance
// matrix, computed another way: they agree to rounding, not bit for bit,
// and they are the same from run to run for a given number of threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/fatal.hpp"
#include "base/matrix.hpp"
#include "pedigree/relationships.hpp"

namespace gw {

struct SparseInput {
  ConstMatView g0, r0;                     // genetic and residual covariances, T x T
  std::span<const std::int32_t> id1, id2;  // parents by 1-based line, 0 unknown, parents first
  ConstIntMatView nonr;                    // animals x traits, 1: record present
  std::span<const int> candidates;         // 0-based lines of the candidates, ascending
  std::string parameter_file, pedigree_file;  // names for the messages
  StageObserver* stages = nullptr;         // told of each stage as it runs; optional
};

// What the factorisation took, for the benchmark.
struct SparseStats {
  double factor_flops = 0;     // the analysis's count for the factorisation
  double inverse_flops = 0;    // the selected inverse's count
  double factor_nonzeros = 0;  // non-zeros of L (without amalgamation zeros)
  double factor_entries = 0;   // values stored in the supernodes
  std::int64_t order = 0, supernodes = 0;
  std::string ordering;            // the fill-reducing ordering that was kept
  std::uint64_t cholmod_peak = 0;  // CHOLMOD's own peak allocation, bytes
  // Distributed path: the order of MUMPS's largest front, and the columns
  // of C^-1 its solves compute (each through the fronts on its way to the
  // root of the elimination tree).
  std::int64_t largest_front = 0, inverse_columns = 0;
};

struct CandidateVariances {
  int ntrait = 0;
  std::vector<double> var;     // candidate b's Var(û) at var[b * T * T], T x T column-major
  std::vector<double> a_diag;  // candidate b's A0(c, c) = 1 + F_c
};

// What both solvers start from: the lower triangle of the mixed-model
// equations C (see mixed_model.hpp) and every animal's inbreeding
// coefficient. Throws the diagnostics of G0 or R0 restricted to the traits
// recorded together on an animal not being positive definite, and of an
// animal whose parents are nearly completely inbred (exit status 1).
struct MixedModelEquations {
  SparseLower c;
  std::vector<double> f;
};
MixedModelEquations mixed_model_equations(const SparseInput& in, StageSequence& stages);

// "the breeding value of trait 2 of the animal on Pedigree&Record.csv line
// 17": unknown a * T + t of C in words.
std::string unknown_name(const SparseInput& in, std::int64_t unknown);

// The stop when C cannot be factorised, with `where` it failed (exit
// status 1).
FatalError factorisation_failure(const SparseInput& in, const std::string& where);

// A candidate's Var(û) = G0 a_cc - PEV (T x T, column-major) from its
// block of C^-1, `pev`, of which the lower triangle is read; the result is
// symmetric bit for bit.
void candidate_variance(ConstMatView g0, double a_cc, const double* pev, double* var);

// Throws FatalError: exit status 1 with a diagnostic that names the matrix
// to blame when G0, or R0 restricted to the traits recorded together on an
// animal, is not positive definite, or when the factorisation fails;
// exit status 3 when the factor and its work space do not fit in memory.
CandidateVariances candidate_variances(const SparseInput& in, SparseStats* stats = nullptr);

}  // namespace gw

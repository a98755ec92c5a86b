// The computation stages of a run, each over the arrays the driver owns.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/inputs.hpp"
#include "kernels/kernels.hpp"
#include "kernels/matrix.hpp"

namespace gw {

struct TraitMatrices {
  Matrix<double> g0;   // genetic covariances
  Matrix<double> r0;   // residual covariances
  Matrix<double> p0i;  // inverse of the phenotypic covariances g0 + r0
};

// G0, R0, P0 = G0 + R0 and its inverse, from the parameter table: the
// diagonal and lower triangle of GP are genetic, its upper triangle residual,
// and the residual variance is the phenotypic variance less the genetic one.
TraitMatrices trait_covariances(const Parameters& par, const ProgressFn& progress);

// Builds V = G0 (x) A0 + R0 (x) I in `v` (D x D, D = nanim * ntrait), packs
// the present records into its leading block, inverts that block in place and
// spreads the inverse back, so that `v` ends as PPI: the inverse over the
// present records, zero in every row and column of an absent record.
// Returns NREC, the number of present records.
int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const ProgressFn& progress);

// LHS = (GA0' PPI) GA0 of candidate k (0-based), with GA0 = G0 (x) column k
// of A0. Both products are sums in ascending order of the inner index from
// 0.0. `lhs` is ntrait x ntrait.
void candidate_lhs(ConstMatView g0, ConstMatView a0, ConstMatView ppi, int k, MatView lhs);

struct CandidateAverages {
  std::vector<double> vv1;  // average weights of group 1 (NaN when the group is empty)
  std::vector<double> vv2;  // average weights of group 2 (NaN when the group is empty)
  std::vector<double> vv0;  // overall average: mean of the two group averages
  std::int64_t ncand1 = 0;
  std::int64_t ncand2 = 0;
};

// Solves LHS w = K0 for every candidate in file order and averages the
// weight vectors within the two groups and over them. A candidate whose
// system is singular ends the run with a diagnostic naming its line.
CandidateAverages candidate_weights(ConstMatView g0, ConstMatView a0, ConstMatView ppi, const Pedigree& ped,
                                    const std::vector<double>& k0, const std::string& pedigree_file);

// The reference weights of one animal with its own records of all traits and
// no relatives: V0 = (G0' P0I G0)^-1 K0, scaled by the first trait at which
// both V0 and VV0 differ from zero so that V0 agrees with VV0 there.
std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const ProgressFn& progress);

}  // namespace gw

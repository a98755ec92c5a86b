// The trait covariance matrices of the parameter table and the reference
// weights of a single animal with its own records of all traits.
#pragma once

#include <vector>

#include "base/matrix.hpp"
#include "io/inputs.hpp"
#include "kernels/kernels.hpp"

namespace gw {

struct TraitMatrices {
  Matrix<double> g0;   // genetic covariances
  Matrix<double> r0;   // residual covariances
  Matrix<double> p0i;  // inverse of the phenotypic covariances g0 + r0
};

// G0, R0, P0 = G0 + R0 and its inverse, from the parameter table: the
// diagonal and lower triangle of GP are genetic, its upper triangle residual,
// and the residual variance is the phenotypic variance less the genetic one.
TraitMatrices trait_covariances(const Parameters& par, const PivotSteps& pivots);

// The two steps of trait_covariances: G0 and R0 (p0i left n x n zero), then
// P0I = (G0 + R0)^-1.
TraitMatrices trait_matrices(const Parameters& par);
void invert_phenotypic(TraitMatrices& t, const PivotSteps& pivots);

// The reference weights of one animal with its own records of all traits and
// no relatives: V0 = (G0' P0I G0)^-1 K0, scaled by the first trait at which
// both V0 and VV0 differ from zero so that V0 agrees with VV0 there.
std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const PivotSteps& pivots);

}  // namespace gw

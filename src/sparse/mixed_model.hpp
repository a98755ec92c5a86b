// The mixed-model equations of the animal model, with every animal's
// breeding values as the unknowns and no fixed effects:
//
//   C = Z' R^-1 Z + G0^-1 (x) A0^-1
//
// The unknowns are ordered animal by animal: the breeding value of animal a
// (0-based) in trait t is unknown a * T + t, so that the T unknowns of an
// animal stand together and form supernodes. Z' R^-1 Z is block diagonal:
// for each animal, the inverse of R0 restricted to the traits it has
// records of, padded with zeros; an animal without records adds nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/matrix.hpp"
#include "pedigree/relationships.hpp"

namespace gw {

// The inverse of the symmetric matrix m restricted to `traits` (0-based
// rows and columns of m, in this order), by Cholesky: a k x k matrix in
// `inverse` (k = traits.size()). When the restriction is not positive
// definite, returns the position in `traits` at which the factorisation
// failed: the leading block up to it is not positive definite, the block
// before it is. A pivot that is not above 1e-12 times its diagonal element
// counts as a failure, so that a matrix that is singular but for rounding
// is not inverted into huge values.
std::optional<std::size_t> invert_positive_definite(ConstMatView m, std::span<const int> traits, MatView inverse);

// Says in words why `m` restricted to `traits` fails at position `at` (as
// invert_positive_definite found it): a variance that is not positive, a
// correlation of magnitude 1 or more, or a trait whose values are a linear
// combination of those of the traits before it. Trait numbers are 1-based.
std::string definiteness_fault(ConstMatView m, std::span<const int> traits, std::size_t at, const std::string& kind);

// The lower triangle of C by columns. `g0inv` is T x T; `rinv[a]` points to
// animal a's T x T block of Z' R^-1 Z (column-major, leading dimension T) or
// is null for an animal without records.
SparseLower mixed_model_lower(const SparseLower& ainv, ConstMatView g0inv, std::span<const double* const> rinv);

}  // namespace gw

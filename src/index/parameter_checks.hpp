// Plausibility of the genetic parameters.
//
// The run uses the parameter table as it stands, whatever its values; these
// checks only tell the user where it describes no possible population. Each
// finding is one line of text that names the file, the line or the traits,
// and the values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/matrix.hpp"

namespace gw {

// At most this many lines per kind of finding; the rest are counted in one
// more line.
inline constexpr int kMaxWarningsPerKind = 10;

// The findings for the targets `k0`, the phenotypic variances `wvp` and the
// genetic and residual covariance matrices `g0` and `r0` (as formed from the
// table) of the parameter file `file`:
//
// * a phenotypic variance that is not positive, a genetic variance that is
//   negative or greater than the phenotypic variance (heritability outside
//   [0, 1]);
// * a genetic or residual correlation outside [-1, 1], where both variances
//   are positive;
// * G0 or R0 not positive semi-definite, at most one line per matrix, and
//   only when the findings above do not already explain it;
// * G0 singular (see singular_traits), naming the traits;
// * every target zero.
//
// Numbers are shown with up to 6 significant digits.
std::vector<std::string> parameter_warnings(const std::vector<double>& k0, const std::vector<double>& wvp,
                                            ConstMatView g0, ConstMatView r0, const std::string& file);

// The traits (0-based, ascending) of a principal submatrix of the symmetric
// matrix `m` that is not positive semi-definite, as small as a greedy search
// makes it; nothing when m is positive semi-definite. A negative
// eigenvalue counts only beyond a tolerance of n * 1e-12 times the largest
// diagonal element (n = order of m), which rounding stays far below. Every
// element of m must be finite. O(n^3) by Cholesky factorisation with
// symmetric pivoting.
std::optional<std::vector<int>> indefinite_traits(ConstMatView m);

// The traits (0-based, ascending) of a smallest set whose genetic
// (co)variances in `g0` are singular: a trait with genetic variance 0, two
// traits with a genetic correlation of 1 or -1, or more traits whose
// breeding values fix one another. Singular to working precision means a
// pivot of at most 1e-9 in a Cholesky factorisation with symmetric
// pivoting of the genetic correlation matrix, so the test does not depend
// on the units of the traits. Nothing when g0 is not singular, or not
// positive semi-definite (indefinite_traits tells that), or holds a value
// that is not finite.
std::optional<std::vector<int>> singular_traits(ConstMatView g0);

}  // namespace gw

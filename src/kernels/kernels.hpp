// The numerical kernels. Each is a self-contained routine over matrix views
// with explicit counts; none keeps state between calls and none calls
// another. Counts that bound the loops may be smaller than the extents of
// the views, in which case a kernel works on the leading block.
//
// Fatal conditions are thrown as gw::FatalError (see fatal.hpp).
#pragma once

#include <cstdint>
#include <vector>
#include <functional>

#include "base/matrix.hpp"

namespace gw {

// Called by an inversion with the number of every 100th pivot step: the
// console report shows it as a line of its own (the word progress is kept
// for the progress line of base/stages.hpp).
using PivotSteps = std::function<void(int)>;

// Smallest absolute pivot an inversion accepts: 1.0e-12 rounded to single
// precision, then widened to double.
inline constexpr double kSingularThreshold = static_cast<double>(1.0e-12f);

// Additive relationship matrix of n animals by the tabular method. id1 and
// id2 hold the parents' 1-based line positions (0 = unknown); parents must
// stand before their offspring. The whole extent of `a` is cleared first and
// the leading n x n block filled.
void amrx(const std::int32_t* id1, const std::int32_t* id2, MatView a, int n);

// Kronecker product: p((i*s)+k, (j*t)+l) = a(i, j) * b(k, l) over the m x n
// left factor and the s x t right factor. Nothing outside the product block
// of p is touched.
void kron(ConstMatView a, ConstMatView b, MatView p, int m, int n, int s, int t);

// Compaction: keeps the positions r = a*q + b whose flag f(b, a) is exactly 1
// (f is q x p: animals by traits) and packs their rows and columns of m, in
// ascending order, into the leading k x k block. Returns k. What m holds
// outside that block afterwards is unspecified.
int cutm(MatView m, ConstIntMatView f, int p, int q);

// Expansion, the inverse movement: spreads the leading k x k block of m back
// to the kept positions and zeroes every row and column of a removed position
// over the whole extent of m.
void addm(MatView m, ConstIntMatView f, int p, int q, int k);

// Gauss-Jordan inversion with partial pivoting of the leading n x n block of
// a into the leading n x n block of b. For n >= 2 every element of b outside
// that block receives the element of a at the same position. a and b may be
// the same array. Throws "Order of matrix is less than 1 !" for n < 1 and
// "Matrix is singular !" for a pivot below kSingularThreshold.
void invmtx(int n, ConstMatView a, MatView b, const PivotSteps& pivots = {});

// The same inversion as invmtx, one pivot step at a time over the whole
// matrix. Kept as the reference that the fast form is tested against.
void invmtx_plain(int n, ConstMatView a, MatView b, const PivotSteps& pivots = {});

// Conjugate gradients for a(0..n-1, 0..n-1) * x = b from a zero start.
// Throws the iteration-limit stop ("No. iterations = " line) after 100 n
// iterations, SingularSystem when p'Ap is exactly zero for a direction p
// that is not zero, and SystemOverflow when the iteration's numbers overflow
// although A and b are finite.
void spdcgg(int n, ConstMatView a, const double* b, double* x);

// Cholesky elimination with symmetric pivoting of the symmetric matrix `s`
// (n x n, n = s.rows), in place: at each step the largest remaining
// diagonal element is the pivot, and the elimination stops at the first
// pivot that is not above `threshold`. `order` receives the traits in pivot
// order; the first k of them (k, the returned count, n when every pivot
// passed) were taken, and s(order[q], order[q]) for q >= k is what is left
// of each other's diagonal. The rank test of small covariance matrices.
std::int64_t pivoted_cholesky(MatView s, double threshold, std::vector<std::int64_t>& order);

}  // namespace gw

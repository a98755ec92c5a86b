// The dense record covariance matrix of every present record and its
// inverse, built and inverted in place.
#pragma once

#include <cstdint>

#include "base/matrix.hpp"
#include "kernels/kernels.hpp"

namespace gw {

// Builds V = G0 (x) A0 + R0 (x) I in `v` (D x D, D = nanim * ntrait), packs
// the present records into its leading block, inverts that block in place and
// spreads the inverse back, so that `v` ends as PPI: the inverse over the
// present records, zero in every row and column of an absent record.
// Returns NREC, the number of present records.
int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const PivotSteps& pivots);

// The same two steps with the relationship matrix standing in the record
// matrix's own storage, so that no separate nanim x nanim array lives beside
// it. On entry the first nanim * nanim elements of `v`'s storage hold A0,
// column by column (see relationship_block); on return `v` (D x D, leading
// dimension at least D) holds V = G0 (x) A0 + R0 (x) I, every element of the
// Kronecker part the same single product G0(i, j) * A0(k, l) as with A0
// apart.
void record_covariance_in_place(ConstMatView g0, ConstMatView r0, int nanim, MatView v);

// Adds R0 (x) I to `v` (D x D, D = nanim * ntrait): R0(i, j) to the
// element of every animal's records i and j.
void add_residuals(ConstMatView r0, int nanim, MatView v);

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
int invert_present_block(ConstIntMatView nonr, int ntrait, int nanim, MatView v, const PivotSteps& pivots);

}  // namespace gw

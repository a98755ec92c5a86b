// Inbreeding coefficients and the inverse relationship matrix of a pedigree,
// without the dense relationship matrix.
//
// Animals are numbered 0 .. n-1 in pedigree order; parents are given as in
// the pedigree file, by 1-based position with 0 for unknown, and every known
// parent stands before its offspring (1 <= code <= own position). Both
// parents may be the same animal (selfing). Callers check these conditions
// on reading; the routines rely on them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/sparse_lower.hpp"
#include "base/stages.hpp"

namespace gw {

// Each method tells `stages` (when given) the share of its work done, from
// 0 to 1, within the stage its caller has begun.

// F(i) for every animal: A(i, i) - 1, where A is the additive relationship
// matrix, by one of the two methods below: inbreeding_tabular when few
// animals are parents at any one time (small herds, and deep lines, on
// which the reduced pedigrees of inbreeding_products grow with the whole
// pedigree and the cost with its square), inbreeding_products otherwise.
// The choice depends on the pedigree alone. Agrees with inbreeding_plain to
// rounding.
std::vector<double> inbreeding(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                               StageObserver* stages = nullptr);

// For each mating, A(s, d) comes from one product of A with a unit vector,
// restricted to the ancestors of one parent and of all its mates (the
// indirect method of Colleau, as modified by Sargolzaei, Iwaisaki and
// Colleau, 2005); cost about the size of those reduced pedigrees, memory
// linear in n. Single-threaded.
std::vector<double> inbreeding_products(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                        StageObserver* stages = nullptr);

// The tabular method restricted to the animals that have offspring still to
// come: each new parent's relationships with those animals, from its
// parents' (A(i, j) = (A(d, j) + A(s, j)) / 2, A(i, i) = 1 + A(s, d) / 2),
// and F(i) = A(s, d) / 2. The same operations on the same operands as the
// dense tabular matrix (kernels amrx), so A(s, d) is that matrix's element
// bit for bit. Cost about (parents) x (the most animals that are parents at
// one time), memory the square of that number.
std::vector<double> inbreeding_tabular(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                       StageObserver* stages = nullptr);

enum class InbreedingMethod { tabular, products };

// The method inbreeding() takes for this pedigree: the tabular one while at
// most 2048 animals are parents at one time and its work stays below 512
// relationships per animal (see relationships.cpp).
InbreedingMethod inbreeding_method(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2);

// The most animals that are parents at one time: those before position i
// with an offspring at i or later, at the worst i. The order of
// inbreeding_tabular's memory and of its cost per new parent.
std::int64_t parents_at_one_time(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2);

// The same by tracing each animal's ancestors with the recursion of
// Meuwissen and Luo (1992) on the rows of the factor L of A = L D L'; cost
// about the number of ancestors of every animal. The result agrees with the
// diagonal of the tabular relationship matrix to rounding.
std::vector<double> inbreeding_plain(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2);

// The within-family variance factor d(i) of every animal (the diagonal D of
// A = L D L'): 1 without known parents, 3/4 - F(p)/4 with one known parent
// p, and 1/2 - (F(s) + F(d))/4 with both.
std::vector<double> mendelian_variances(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                        std::span<const double> f);

// A^-1 by Henderson's rules: animal i with parents s, d and alpha = 1 / d(i)
// adds alpha to (i, i), -alpha / 2 to (i, s) and (i, d), and alpha / 4 to
// (s, s), (d, d), (s, d) and (d, s). `dvar` is the result of
// mendelian_variances.
SparseLower pedigree_inverse(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                             std::span<const double> dvar);

}  // namespace gw

// Small owning wrappers around CHOLMOD's C objects.
//
// Every CHOLMOD object is made and freed through one cholmod_common, which
// must outlive it; the deleters hold a pointer to it.
#pragma once

#include <cholmod.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "pedigree/relationships.hpp"
#include "sparse/selected_inverse.hpp"

namespace gw {

// A CHOLMOD workspace set up for the sparse path: 64-bit indices, nothing
// printed (failures are read from the status instead) and a supernodal LL'
// factor.
class Cholmod {
 public:
  Cholmod();
  ~Cholmod();
  Cholmod(const Cholmod&) = delete;
  Cholmod& operator=(const Cholmod&) = delete;

  cholmod_common* get() { return &common_; }
  cholmod_common* operator->() { return &common_; }

 private:
  cholmod_common common_{};
};

struct CholmodSparseDeleter {
  cholmod_common* common = nullptr;
  void operator()(cholmod_sparse* p) const { cholmod_l_free_sparse(&p, common); }
};
struct CholmodFactorDeleter {
  cholmod_common* common = nullptr;
  void operator()(cholmod_factor* p) const { cholmod_l_free_factor(&p, common); }
};

using CholmodSparse = std::unique_ptr<cholmod_sparse, CholmodSparseDeleter>;
using CholmodFactor = std::unique_ptr<cholmod_factor, CholmodFactorDeleter>;

// A copy of a symmetric matrix (lower triangle by columns) as CHOLMOD's
// symmetric matrix that keeps its lower triangle. Throws FatalError (exit
// status 3) when it cannot be allocated.
CholmodSparse to_cholmod(Cholmod& cm, const SparseLower& m);

// The symbolic analysis of `a` with the fill-reducing ordering whose
// supernodal factor takes less memory: AMD and METIS are both tried, and the
// one whose stored values and largest update block (the work space of the
// factorisation) need fewer bytes is kept; between two within 2 % of each
// other, the one with fewer operations. (CHOLMOD's own choice counts the
// factor's non-zeros without the zeros that amalgamated supernodes store,
// which can favour the ordering that needs more memory and more work.)
struct Analysis {
  CholmodFactor factor;
  double flops = 0;     // of the factorisation
  double nonzeros = 0;  // of L, without amalgamation zeros
  std::uint64_t bytes = 0;  // stored values and update block
};
Analysis analyse(Cholmod& cm, cholmod_sparse* a);

// The numeric factorisation of `a` into `l`, analysed for it. Returns the
// unknown, in a's own order, at which the matrix proved not positive
// definite: CHOLMOD's own test of the pivots, and every diagonal element of
// the factor positive and finite (a pivot that is not a number would
// otherwise pass). BLAS runs on all threads only when the supernodes carry
// enough work to pay for it (see cholmod.cpp). Throws FatalError (exit
// status 3) when CHOLMOD runs out of memory.
std::optional<std::int64_t> factorise(Cholmod& cm, cholmod_sparse* a, cholmod_factor* l);

// The supernodal layout of a factor made with 64-bit indices (symbolic or
// numeric; x is null while it is symbolic).
SupernodalView supernodal_view(const cholmod_factor& l);

}  // namespace gw

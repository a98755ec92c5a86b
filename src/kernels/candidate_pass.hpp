// The candidates' system matrices of the dense path: for every candidate in
// file order LHS = (GA0' PPI) GA0.
//
// Two ways to form the system matrices give the same bits:
//
// * plain: one candidate at a time, every sum over the whole combined index,
//   as candidate_lhs writes it out;
// * fast: candidates in batches that share one multithreaded pass over the
//   present-record block of PPI (see candidate_pass.cpp for why leaving out the
//   exact zero terms changes no bit).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/matrix.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw {

// The relationships the candidate stage reads: the columns of A0 that
// belong to the candidates. They are kept in the smaller of two forms, so
// that the full nanim x nanim matrix need not live beside the record matrix:
// the candidates' columns themselves (nanim x ncand), or the lower triangle
// packed by columns (nanim (nanim + 1) / 2), which holds every column since
// A0 is symmetric bit for bit (amrx writes each value once and copies it to
// its mirror).
class CandidateRelationships {
 public:
  CandidateRelationships() = default;

  // From the leading nanim x nanim block of `a0` (nanim = a0.rows) and the
  // candidate flags (1 = candidate).
  CandidateRelationships(ConstMatView a0, const std::vector<std::int32_t>& cand);

  // Bytes held for nanim animals of which ncand are candidates; nothing when
  // the count does not fit in 63 bits.
  static std::optional<std::uint64_t> bytes(std::uint64_t nanim, std::uint64_t ncand);

  int nanim() const { return nanim_; }
  int count() const { return static_cast<int>(animals_.size()); }
  // 0-based line of the index-th candidate (file order).
  int animal(int index) const { return animals_[static_cast<std::size_t>(index)]; }
  // out[l] = A0(l, animal(index)) for l = 0 .. nanim - 1.
  void column(int index, double* out) const;
  // A0(animal(index), animal(index)).
  double diagonal(int index) const;

  // The relationships of some of the candidates (indices in ascending
  // order), in the columns form.
  CandidateRelationships subset(const std::vector<int>& indices) const;

 private:
  int nanim_ = 0;
  bool packed_ = false;  // lower triangle packed by columns; else the candidates' columns
  std::vector<std::int32_t> animals_;
  std::vector<double> values_;
};

// LHS = (GA0' PPI) GA0 of candidate k (0-based), with GA0 = G0 (x) column k
// of A0. Both products are sums in ascending order of the inner index from
// 0.0. `lhs` is ntrait x ntrait. Only column k of `a0` is read, and a0.rows
// is the number of animals. This is the reference the fast form is tested
// against.
void candidate_lhs(ConstMatView g0, ConstMatView a0, ConstMatView ppi, int k, MatView lhs);

struct CandidateOptions {
  bool plain = false;     // every candidate by candidate_lhs
  int threads = 0;        // 0: omp_get_max_threads()
  int batch = 0;          // candidates per pass over PPI; 0: about 192 / ntrait
  int depth = 0;          // record rows per cache block of the pass; 0: default
  int chunk = 0;          // columns of PPI (in eights) per work unit of a thread; 0: default
  KernelSet kernels = KernelSet::automatic;  // inner loops of the fast form
};

// Forms the system matrix of every candidate and calls visit(index, lhs) for
// the candidates in file order (index = rank among the candidates), always
// from the calling thread and outside any parallel region, so that `visit`
// may throw. `ppi` is D x D (D = nanim * ntrait) and zero in every row and
// column of a record whose flag in `nonr` is not 1, as the expansion leaves
// it. The fast form is used only when G0, the candidates' relationships and
// the present block of PPI are finite and small enough that no sum can
// overflow; otherwise every candidate goes the plain way.
void candidate_systems(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi, ConstIntMatView nonr,
                       const CandidateOptions& options, const std::function<void(int, ConstMatView)>& visit);

// Bytes of work space the fast form takes (default batch), beyond the
// relationships and PPI; nothing when the count does not fit in 63 bits.
std::optional<std::uint64_t> candidate_work_bytes(std::uint64_t ntrait, std::uint64_t nanim, std::uint64_t ncand);

// ---------------------------------------------------------------------------
// Inner loops of the fast form, one set per instruction set.

namespace candidates_detail {

// Lanes (candidate, trait) are padded to whole groups of kLaneGroup; a
// register tile covers `groups` such groups and `cols` columns of PPI.
inline constexpr int kLaneGroup = 8;
inline constexpr int kMaxTileCols = 8;

// t(lane, c) = t(lane, c) + g(u, lane) * p(u, c) for u = 0, 1, ..., depth-1
// in this order, product and sum each rounded on its own, for
// groups x kLaneGroup lanes (1 to Tiles::groups groups) and Tiles::cols
// columns. g holds row u at g[u * lanes ...], p holds row u at
// p[u * Tiles::cols * Tiles::widen ...], each value repeated Tiles::widen
// times, and column c of t starts at t[c * ldt]. All three are aligned to
// 64 bytes.
using TileFn = void (*)(int groups, const double* g, const double* p, std::int64_t depth, double* t, std::int64_t ldt);

struct Tiles {
  KernelSet set;  // the instruction set of `tile`
  int groups;     // lane groups of a full register tile
  int cols;       // columns of PPI of a register tile (at most kMaxTileCols)
  int widen;      // copies of each value of p (1, or a vector's lanes)
  TileFn tile;
};

// The register tiles of a kernel set; automatic resolves through
// resolve_kernel_set.
const Tiles& tiles_for(KernelSet set);

}  // namespace candidates_detail

}  // namespace gw

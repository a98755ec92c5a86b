#include <string>
#include <vector>

#include "index/paths.hpp"
#include "sparse/candidate_variances.hpp"
#if GAINWEIGHTS_MPI
#include "sparse/distributed_variances.hpp"
#endif

namespace gw {

PathResult sparse_path(const PathInput& in) {
  const Pedigree& ped = in.ped;
  PathResult out;
  // The same stop as the dense path's inversion of an empty record block.
  out.nrec = ped.record_count();
  if (out.nrec == 0) throw FatalError::console_message("Order of matrix is less than 1 !");
  std::vector<int> candidates;
  for (int k = 0; k < ped.nanim; ++k)
    if (ped.cand[k] == 1) candidates.push_back(k);
  SparseInput sin{in.traits.g0.cview(), in.traits.r0.cview(), ped.id1, ped.id2, ped.nonr.cview(), candidates,
                  in.parameter_file, in.pedigree_file, in.stages};
#if GAINWEIGHTS_MPI
  const CandidateVariances cv =
      in.distributed ? distributed_variances(sin, *in.distributed, in.stats) : candidate_variances(sin, in.stats);
#else
  const CandidateVariances cv = candidate_variances(sin, in.stats);  // never distributed without MPI
#endif
  const int nt = cv.ntrait;
  const Stage solves(in.stages, kCandidateStage);
  WeightAverager averager(in.traits.g0.cview(), ped, in.par.k0, in.pedigree_file, in.keep_rows ? &out.rows : nullptr);
  for (std::size_t b = 0; b < candidates.size(); ++b) {
    const ConstMatView lhs(cv.var.data() + b * nt * nt, nt, nt);
    averager.add(candidates[b], lhs, cv.a_diag[b]);
    solves.update(static_cast<double>(b + 1) / static_cast<double>(candidates.size()));
  }
  out.averages = averager.averages();
  return out;
}

}  // namespace gw

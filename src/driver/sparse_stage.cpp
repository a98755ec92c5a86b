#include <string>

#include "driver/stages.hpp"
#if GAINWEIGHTS_MPI
#include "sparse/distributed_variances.hpp"
#endif

namespace gw {

CandidateAverages sparse_candidate_weights(const TraitMatrices& traits, const Pedigree& ped,
                                           const std::vector<double>& k0, const std::string& parameter_file,
                                           const std::string& pedigree_file, std::vector<CandidateRow>* rows,
                                           SparseStats* stats, Progress* progress,
                                           const DistributedOptions* distributed) {
  Progress silent;
  Progress& status = progress ? *progress : silent;
  std::vector<int> candidates;
  for (int k = 0; k < ped.nanim; ++k)
    if (ped.cand[k] == 1) candidates.push_back(k);
  SparseInput in{traits.g0.cview(), traits.r0.cview(), ped.id1, ped.id2, ped.nonr.cview(), candidates,
                 parameter_file, pedigree_file, {}};
  std::string stage;
  in.progress = [&](const char* name, double share) {
    if (stage != name) {
      stage = name;
      status.begin(stage, share >= 0);
    }
    if (share >= 0) status.update(share);
  };
  CandidateVariances cv;
  try {
#if GAINWEIGHTS_MPI
    if (distributed)
      cv = distributed_variances(in, *distributed, stats);
    else
#else
    (void)distributed;  // never given in a build without MPI
#endif
      cv = candidate_variances(in, stats);
  } catch (...) {
    status.end();
    throw;
  }
  status.end();
  const int nt = cv.ntrait;
  ProgressStage solves(status, kCandidateStage);
  WeightAverager averager(traits.g0.cview(), ped, k0, pedigree_file, rows);
  for (std::size_t b = 0; b < candidates.size(); ++b) {
    const ConstMatView lhs(cv.var.data() + b * nt * nt, nt, nt);
    averager.add(candidates[b], lhs, cv.a_diag[b]);
    solves.update(static_cast<double>(b + 1) / static_cast<double>(candidates.size()));
  }
  return averager.averages();
}

}  // namespace gw

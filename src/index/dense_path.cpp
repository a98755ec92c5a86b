#include <cstdint>

#include "base/fatal.hpp"
#include "base/memory.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "kernels/candidate_pass.hpp"
#include "kernels/kernels.hpp"

namespace gw {

PathResult dense_path(const PathInput& in) {
  const Pedigree& ped = in.ped;
  const TraitMatrices& traits = in.traits;
  const int ntrait = in.par.ntrait;
  const int nanim = ped.nanim;
  // The record matrix dominates the memory of a run. The relationship matrix
  // is built in the record matrix's own storage and only the candidates'
  // relationships are kept apart from it, in compact form; the candidate
  // stage adds work space of a few NTRAIT x D arrays. Check that all of it
  // fits before anything large is allocated.
  const auto d = static_cast<std::uint64_t>(ntrait) * static_cast<std::uint64_t>(nanim);
  const auto ncand = static_cast<std::uint64_t>(ped.candidate_count());
  const Bytes needed = add_bytes(matrix_bytes(d, d), add_bytes(CandidateRelationships::bytes(nanim, ncand),
                                                               candidate_work_bytes(ntrait, nanim, ncand)));
  check_fits("the record covariance matrix of " + plural(nanim, "animal") + " and " + plural(ntrait, "trait"), needed,
             available_memory(),
             "The sparse path (gainweights --sparse) handles large populations in far less memory");

  PathResult out;
  Matrix<double> ppi = allocate_record_matrix(static_cast<std::int64_t>(d));
  const MatView a0 = relationship_block(ppi.view(), nanim);
  CandidateRelationships relationships;
  {
    const Stage stage(in.stages, kBuildStage, false);
    amrx(ped.id1.data(), ped.id2.data(), a0, nanim);
    relationships = CandidateRelationships(a0, ped.cand);
    record_covariance_in_place(traits.g0.cview(), traits.r0.cview(), nanim, ppi.view());
  }
  {
    // Every pivot step of the inversion costs the same, so the share of the
    // steps done is the share of the work done.
    const Stage stage(in.stages, kInversionStage);
    const auto records = static_cast<double>(ped.record_count());
    out.nrec = invert_present_block(ped.nonr.cview(), ntrait, nanim, ppi.view(), [&](int step) {
      if (in.pivots) in.pivots(step);
      stage.update(step / records);
    });
  }
  const Stage stage(in.stages, kCandidateStage);
  out.averages = candidate_weights(traits.g0.cview(), relationships, ppi.cview(), ped, in.par.k0, in.pedigree_file,
                                   {}, in.keep_rows ? &out.rows : nullptr, in.stages);
  return out;
}

}  // namespace gw

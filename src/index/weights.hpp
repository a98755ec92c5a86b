// The candidates' weights, shared by the dense and the sparse path: each
// candidate's Var(û) tested for determinedness, the solve of Var(û) w = K0,
// the sums within the two groups and the averages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/matrix.hpp"
#include "base/stages.hpp"
#include "io/candidate_file.hpp"
#include "io/inputs.hpp"
#include "kernels/candidate_pass.hpp"

namespace gw {

// A candidate's index weights are determined when its Var(û) is positive
// definite to working precision. The test is made on Var(û) scaled to
// reliabilities, S = D^-1/2 Var(û) D^-1/2 with D = diag(G0) A0(c, c), so
// that it does not depend on the units of the traits: the weights are
// determined when every pivot of a Cholesky factorisation of S with
// symmetric pivoting (largest remaining diagonal first) exceeds this.
inline constexpr double kDeterminedPivot = 1e-9;

// Why a candidate's weights are not determined: the traits of which the
// records present tell nothing (`unknown`), and those known only through
// their genetic correlation with the traits that are determined (`through`
// and `known`). Traits are 0-based and ascending.
struct Undetermined {
  int line = 0;  // 1-based line of the pedigree file
  std::vector<int> unknown, through, known;
  // Var(û) is not even positive semi-definite, which no population gives:
  // the parameters are not a proper covariance structure.
  bool indefinite = false;

  // In a breeder's words, for example "its breeding value for trait 2 is
  // known only through its genetic correlation with trait 1".
  std::string reason() const;
};

// The undetermined traits of the candidate on 1-based `line` with system
// matrix `var` (T x T) and relationship with itself `a_cc`; nothing when its
// weights are determined, or when `var` holds a value that is not finite
// (the solver then reports the system).
std::optional<Undetermined> undetermined_traits(ConstMatView var, ConstMatView g0, double a_cc, int line);

struct CandidateAverages {
  std::vector<double> vv1;  // average weights of group 1 (NaN when the group is empty)
  std::vector<double> vv2;  // average weights of group 2 (NaN when the group is empty)
  std::vector<double> vv0;  // overall average: mean of the two group averages
  std::int64_t ncand1 = 0;  // candidates averaged in each group
  std::int64_t ncand2 = 0;
  // The candidates whose weights are not determined, in file order; they
  // are in neither group.
  std::vector<Undetermined> undetermined;
};

// Solves the candidates' systems LHS w = K0 one after another and sums the
// weight vectors within the two groups; averages() gives the group
// averages and the overall average. Shared by the dense and the sparse path.
// With `rows`, every candidate's own result is appended there as well.
class WeightAverager {
 public:
  WeightAverager(ConstMatView g0, const Pedigree& ped, const std::vector<double>& k0, std::string pedigree_file,
                 std::vector<CandidateRow>* rows = nullptr);

  // Solves lhs w = K0 for the candidate on 0-based line k, whose
  // relationship with itself is a_kk = A0(k, k), and adds w to the sum of
  // its group. A candidate whose weights are not determined (see
  // undetermined_traits) is set aside instead, in no group, and its row
  // has no weights. A system that overflows ends the run with a diagnostic
  // naming the line.
  void add(int k, ConstMatView lhs, double a_kk);

  // An empty group has no average (NaN), and the overall average is then
  // the other group's average alone.
  CandidateAverages averages() const;

 private:
  ConstMatView g0_;
  const Pedigree& ped_;
  const std::vector<double>& k0_;
  std::string pedigree_file_;
  std::vector<CandidateRow>* rows_;
  std::vector<double> rhs_, w_, sum1_, sum2_;
  std::int64_t ncand1_ = 0, ncand2_ = 0;
  std::vector<Undetermined> undetermined_;
};

// The dense path's candidate stage: forms every candidate's LHS from PPI
// (kernels/candidate_pass.hpp), then as WeightAverager, in file order.
// Candidates whose weights are not determined are in neither group but
// listed in the result's `undetermined`. `stages`, when given, is told the
// share of the candidates done, within the stage its caller has begun.
CandidateAverages candidate_weights(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi,
                                    const Pedigree& ped, const std::vector<double>& k0,
                                    const std::string& pedigree_file, const CandidateOptions& options = {},
                                    std::vector<CandidateRow>* rows = nullptr, StageObserver* stages = nullptr);

// The same from the full relationship matrix.
CandidateAverages candidate_weights(ConstMatView g0, ConstMatView a0, ConstMatView ppi, const Pedigree& ped,
                                    const std::vector<double>& k0, const std::string& pedigree_file,
                                    const CandidateOptions& options = {});

}  // namespace gw

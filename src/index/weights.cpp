#include "index/weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fatal.hpp"
#include "io/input_file.hpp"
#include "kernels/kernels.hpp"

namespace gw {

// ----------------------------------------------------------------- weights

namespace {

// The diagnostic for a candidate on 0-based line k whose system the solver
// finds singular although the test of its determinedness passed.
FatalError no_information(const std::string& pedigree_file, int k, const std::string& reason) {
  return FatalError::diagnostic(pedigree_file + " line " + std::to_string(k + 1) +
                                    ": the candidate's weights cannot be computed: no present record carries "
                                    "information on it (" + reason + ")",
                                ExitStatus::failure);
}

}  // namespace

WeightAverager::WeightAverager(ConstMatView g0, const Pedigree& ped, const std::vector<double>& k0,
                               std::string pedigree_file, std::vector<CandidateRow>* rows)
    : g0_(g0),
      ped_(ped),
      k0_(k0),
      pedigree_file_(std::move(pedigree_file)),
      rows_(rows),
      rhs_(k0.size()),
      w_(k0.size()),
      sum1_(k0.size(), 0.0),
      sum2_(k0.size(), 0.0) {}

namespace {

// "trait 2", "traits 1 and 3", "traits 1, 2 and 4" (1-based).
std::string traits_text(const std::vector<int>& traits) {
  std::string s = traits.size() == 1 ? "trait " : "traits ";
  for (std::size_t i = 0; i < traits.size(); ++i) {
    if (i > 0) s += i + 1 == traits.size() ? " and " : ", ";
    s += std::to_string(traits[i] + 1);
  }
  return s;
}

}  // namespace

std::string Undetermined::reason() const {
  if (indefinite)
    return "its Var(û) is not positive semi-definite, which no population gives: the genetic and residual "
           "(co)variances together describe no possible population (see the warnings on the parameter file)";
  if (known.empty()) return "no present record carries information on it: neither it nor a relative has a record";
  std::string s;
  if (!through.empty())
    s = "its " + std::string(through.size() == 1 ? "breeding value" : "breeding values") + " for " +
        traits_text(through) + (through.size() == 1 ? " is" : " are") + " known only through the genetic " +
        (known.size() == 1 ? "correlation" : "correlations") + " with " + traits_text(known);
  if (!unknown.empty())
    s += (s.empty() ? "" : ", and ") + std::string("nothing is known of its breeding ") +
         (unknown.size() == 1 ? "value" : "values") + " for " + traits_text(unknown);
  return s;
}

std::optional<Undetermined> undetermined_traits(ConstMatView var, ConstMatView g0, double a_cc, int line) {
  const auto n = static_cast<std::size_t>(var.rows);
  std::vector<double> scale(n), s(n * n), rel(n);
  for (std::size_t t = 0; t < n; ++t) scale[t] = std::sqrt(std::fabs(g0(t, t)) * a_cc);
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t i = 0; i < n; ++i) {
      const double v = var(i, j);
      if (!std::isfinite(v)) return std::nullopt;
      // A trait without genetic variance has no breeding value to know.
      s[i + j * n] = scale[i] > 0.0 && scale[j] > 0.0 ? v / scale[i] / scale[j] : 0.0;
    }
  for (std::size_t t = 0; t < n; ++t) rel[t] = s[t + t * n];
  const auto size = static_cast<std::int64_t>(n);
  const MatView view{s.data(), size, size, size};
  std::vector<std::int64_t> order;
  const std::int64_t taken = pivoted_cholesky(view, kDeterminedPivot, order);
  if (taken == size) return std::nullopt;
  // Every trait left has no part of its variance that the traits taken so
  // far do not explain.
  Undetermined u;
  u.line = line;
  for (std::int64_t q = 0; q < size; ++q) {
    const std::int64_t t = order[static_cast<std::size_t>(q)];
    u.indefinite = u.indefinite || (q >= taken && view(t, t) < -kDeterminedPivot);
    if (q < taken)
      u.known.push_back(static_cast<int>(t));
    else
      (rel[static_cast<std::size_t>(t)] > kDeterminedPivot ? u.through : u.unknown).push_back(static_cast<int>(t));
  }
  for (std::vector<int>* v : {&u.known, &u.through, &u.unknown}) std::sort(v->begin(), v->end());
  return u;
}

void WeightAverager::add(int k, ConstMatView lhs, double a_kk) {
  const auto n = static_cast<std::int64_t>(w_.size());
  const bool first = ped_.gend[k] == 1;
  const auto reliabilities = [&] {
    std::vector<double> rel(w_.size());
    for (std::int64_t i = 0; i < n; ++i) {
      const double g = g0_(i, i);
      rel[i] = g != 0.0 ? lhs(i, i) / (g * a_kk) : std::numeric_limits<double>::quiet_NaN();
    }
    return rel;
  };
  if (std::optional<Undetermined> u = undetermined_traits(lhs, g0_, a_kk, k + 1)) {
    if (rows_)
      rows_->push_back(CandidateRow{k + 1, first ? 1 : 2, std::vector<double>(w_.size()), reliabilities(), 0.0,
                                    u->reason()});
    undetermined_.push_back(std::move(*u));
    return;
  }
  rhs_ = k0_;
  try {
    spdcgg(static_cast<int>(k0_.size()), lhs, rhs_.data(), w_.data());
  } catch (const SingularSystem&) {
    throw no_information(pedigree_file_, k, "its system matrix is singular");
  } catch (const SystemOverflow&) {
    throw FatalError::diagnostic(
        pedigree_file_ + " line " + std::to_string(k + 1) +
            ": the candidate's system overflows the range of double precision (its weights or the sums that give "
            "them exceed about 1.8e308); scale the target values K0 (field 1 of " + kParameterFileName +
            ") down, for example by a power of ten: the weights scale with them",
        ExitStatus::failure);
  }
  std::vector<double>& sum = first ? sum1_ : sum2_;
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = sum[i] + w_[i];
  ++(first ? ncand1_ : ncand2_);
  if (!rows_) return;
  CandidateRow row{k + 1, first ? 1 : 2, w_, reliabilities(), 0.0, {}};
  double s = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    double lw = 0.0;
    for (std::int64_t j = 0; j < n; ++j) lw += lhs(i, j) * w_[j];
    s += w_[i] * lw;
  }
  row.sd_index = std::sqrt(s);
  rows_->push_back(std::move(row));
}

CandidateAverages WeightAverager::averages() const {
  const std::size_t n = k0_.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  CandidateAverages avg;
  avg.ncand1 = ncand1_;
  avg.ncand2 = ncand2_;
  avg.undetermined = undetermined_;
  avg.vv1.resize(n);
  avg.vv2.resize(n);
  avg.vv0.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    avg.vv1[i] = ncand1_ > 0 ? sum1_[i] / static_cast<double>(ncand1_) : nan;
    avg.vv2[i] = ncand2_ > 0 ? sum2_[i] / static_cast<double>(ncand2_) : nan;
    if (ncand1_ == 0)
      avg.vv0[i] = avg.vv2[i];
    else if (ncand2_ == 0)
      avg.vv0[i] = avg.vv1[i];
    else
      avg.vv0[i] = (avg.vv1[i] + avg.vv2[i]) / 2;
  }
  return avg;
}

CandidateAverages candidate_weights(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi,
                                    const Pedigree& ped, const std::vector<double>& k0,
                                    const std::string& pedigree_file, const CandidateOptions& options,
                                    std::vector<CandidateRow>* rows, StageObserver* stages) {
  WeightAverager averager(g0, ped, k0, pedigree_file, rows);
  candidate_systems(g0, rel, ppi, ped.nonr.cview(), options, [&](int index, ConstMatView lhs) {
    averager.add(rel.animal(index), lhs, rel.diagonal(index));
    report_share(stages, static_cast<double>(index + 1) / rel.count());
  });
  return averager.averages();
}

CandidateAverages candidate_weights(ConstMatView g0, ConstMatView a0, ConstMatView ppi, const Pedigree& ped,
                                    const std::vector<double>& k0, const std::string& pedigree_file,
                                    const CandidateOptions& options) {
  return candidate_weights(g0, CandidateRelationships(a0, ped.cand), ppi, ped, k0, pedigree_file, options);
}

}  // namespace gw

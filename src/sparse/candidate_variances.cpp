#include "sparse/candidate_variances.hpp"

#include <chrono>
#include <map>
#include <stdexcept>

#include "base/fatal.hpp"
#include "base/memory.hpp"
#include "pedigree/relationships.hpp"
#include "sparse/cholmod.hpp"
#include "sparse/mixed_model.hpp"
#include "sparse/selected_inverse.hpp"

namespace gw {

namespace {

// The least Mendelian sampling variance (as a share of the genetic
// variance) of an animal that the sparse path takes: with both parents
// known it is 1/2 - (F_sire + F_dam) / 4, so the bound is a mean F of the
// parents of 1 - 4e-6.
constexpr double kLeastMendelianVariance = 1e-6;
constexpr const char* kInbredParents = "0.999996";

FatalError not_positive_definite(const std::string& what, const std::string& detail, const std::string& advice) {
  return FatalError::diagnostic(what + " is not positive definite: " + detail + ". " + advice, ExitStatus::failure);
}

// Z' R^-1 Z: one padded T x T block per record pattern, and for each animal
// the block of its pattern (null without records).
struct ResidualBlocks {
  std::vector<std::vector<double>> blocks;
  std::vector<const double*> of_animal;
};

ResidualBlocks residual_blocks(const SparseInput& in) {
  const int nt = static_cast<int>(in.r0.rows);
  const auto na = static_cast<std::int64_t>(in.id1.size());
  ResidualBlocks rb;
  rb.of_animal.assign(static_cast<std::size_t>(na), nullptr);
  std::map<std::vector<int>, std::size_t> known;
  std::vector<int> traits;
  for (std::int64_t a = 0; a < na; ++a) {
    traits.clear();
    for (int t = 0; t < nt; ++t)
      if (in.nonr(a, t) == 1) traits.push_back(t);
    if (traits.empty()) continue;
    auto [it, fresh] = known.try_emplace(traits, rb.blocks.size());
    if (fresh) {
      const auto k = static_cast<std::int64_t>(traits.size());
      Matrix<double> inv(k, k);
      if (const auto at = invert_positive_definite(in.r0, traits, inv.view()))
        throw not_positive_definite(
            in.parameter_file + ": the residual covariance matrix of the traits recorded on " + in.pedigree_file +
                " line " + std::to_string(a + 1),
            definiteness_fault(in.r0, traits, *at, "residual"),
            "Correct the residual (co)variances (the phenotypic variance less the genetic one on the diagonal)");
      std::vector<double> block(static_cast<std::size_t>(nt) * nt, 0.0);
      for (std::int64_t j = 0; j < k; ++j)
        for (std::int64_t i = 0; i < k; ++i) block[traits[i] + static_cast<std::size_t>(traits[j]) * nt] = inv(i, j);
      rb.blocks.push_back(std::move(block));
    }
    rb.of_animal[static_cast<std::size_t>(a)] = rb.blocks[it->second].data();
  }
  return rb;
}

}  // namespace

MixedModelEquations mixed_model_equations(const SparseInput& in, StageSequence& stages) {
  const int nt = static_cast<int>(in.g0.rows);
  const auto na = static_cast<std::int64_t>(in.id1.size());

  stages.next("computing inbreeding and the inverse relationship matrix");
  const std::vector<double> f = inbreeding(in.id1, in.id2);
  const std::vector<double> dvar = mendelian_variances(in.id1, in.id2, f);
  // An animal whose parents are completely inbred inherits no Mendelian
  // sampling variance: A0 is then singular and has no inverse. Well before
  // that, A0^-1 grows with 1 / d and the equations lose the digits the
  // path promises: on lines of full-sib mating (every animal recorded) the
  // difference from the dense path reaches 1e-9 at d = 5e-10 with
  // heritabilities of 0.2 to 0.3, and at d = 1e-7 with heritabilities of
  // 0.01; at the bound below it stays under 3e-10 for both.
  for (std::int64_t a = 0; a < na; ++a)
    if (!(dvar[static_cast<std::size_t>(a)] > kLeastMendelianVariance))
      throw FatalError::diagnostic(
          in.pedigree_file + " line " + std::to_string(a + 1) +
              ": the animal's parents are nearly completely inbred (their mean F is " + kInbredParents +
              " or more), so its breeding value is fixed by theirs with almost no Mendelian sampling and the "
              "relationship matrix is too close to singular for the sparse path to keep its accuracy; run this "
              "pedigree without --sparse",
          ExitStatus::failure);
  const SparseLower ainv = pedigree_inverse(in.id1, in.id2, dvar);

  stages.next("building the mixed-model equations");
  std::vector<int> all(static_cast<std::size_t>(nt));
  for (int t = 0; t < nt; ++t) all[t] = t;
  Matrix<double> g0inv(nt, nt);
  if (const auto at = invert_positive_definite(in.g0, all, g0inv.view()))
    throw not_positive_definite(in.parameter_file + ": the genetic covariance matrix",
                                definiteness_fault(in.g0, all, *at, "genetic"),
                                "The sparse path needs every genetic variance positive and the genetic covariances "
                                "of a proper covariance matrix; correct them");
  const ResidualBlocks rb = residual_blocks(in);

  return MixedModelEquations{mixed_model_lower(ainv, g0inv.cview(), rb.of_animal), f};
}

std::string unknown_name(const SparseInput& in, std::int64_t unknown) {
  const auto nt = static_cast<std::int64_t>(in.g0.rows);
  return "the breeding value of trait " + std::to_string(unknown % nt + 1) + " of the animal on " + in.pedigree_file +
         " line " + std::to_string(unknown / nt + 1);
}

FatalError factorisation_failure(const SparseInput& in, const std::string& where) {
  return FatalError::diagnostic(
      "the mixed-model equations cannot be factorised in double precision (" + where +
          "): to working precision they are not positive definite or they overflow, although the genetic and "
          "residual covariance matrices are positive definite; check " + in.parameter_file +
          " for (co)variances that differ by many orders of magnitude, and the pedigree for long runs of "
          "matings of close relatives",
      ExitStatus::failure);
}

void candidate_variance(ConstMatView g0, double a_cc, const double* pev, double* var) {
  const std::int64_t nt = g0.rows;
  for (std::int64_t t2 = 0; t2 < nt; ++t2)
    for (std::int64_t t1 = t2; t1 < nt; ++t1)
      var[t1 + t2 * nt] = var[t2 + t1 * nt] = g0(t1, t2) * a_cc - pev[t1 + t2 * nt];
}

CandidateVariances candidate_variances(const SparseInput& in, SparseStats* stats) {
  SparseStats local;
  SparseStats& st = stats ? *stats : local;
  StageSequence stages(in.stages);
  const int nt = static_cast<int>(in.g0.rows);
  const auto na = static_cast<std::int64_t>(in.id1.size());
  MixedModelEquations eq = mixed_model_equations(in, stages);
  const std::vector<double>& f = eq.f;

  Cholmod cm;
  CholmodSparse a = to_cholmod(cm, eq.c);
  eq.c = SparseLower();

  stages.next("ordering the mixed-model equations");
  Analysis analysis = analyse(cm, a.get());
  CholmodFactor& factor = analysis.factor;
  const SupernodalView symbolic = supernodal_view(*factor);
  st.order = symbolic.n;
  st.supernodes = symbolic.nsuper;
  st.factor_flops = analysis.flops;
  st.factor_nonzeros = analysis.nonzeros;
  st.factor_entries = static_cast<double>(factor->xsize);
  st.inverse_flops = selected_inverse_flops(symbolic);
  st.ordering = factor->ordering == CHOLMOD_METIS ? "METIS" : factor->ordering == CHOLMOD_AMD ? "AMD" : "other";

  // The factor, CHOLMOD's largest update block, the permuted copy of C that
  // the factorisation makes, and the selected inverse's work space.
  const Bytes needed = add_bytes(
      add_bytes(array_bytes(factor->xsize, sizeof(double)), array_bytes(factor->maxcsize, sizeof(double))),
      add_bytes(array_bytes(static_cast<std::uint64_t>(a->nzmax), 2 * (sizeof(double) + sizeof(std::int64_t))),
                Bytes(selected_inverse_work_bytes(symbolic))));
  check_fits("the factor of the mixed-model equations of " + plural(na, "animal") + " and " + plural(nt, "trait") +
                 " (" +
                 plural(static_cast<long long>(factor->xsize), "value") + ")",
             needed, available_memory(), "Close other programs or run on a machine with more memory");

  // One library call that reports nothing on its way: its time so far.
  stages.next("factorising the mixed-model equations");
  if (const auto column = factorise(cm, a.get(), factor.get()))
    throw factorisation_failure(in, "at " + unknown_name(in, *column));
  a.reset();

  const SupernodalView z = supernodal_view(*factor);
  stages.next("inverting the factor (selected inverse)", true);
  selected_inverse(z, {}, in.stages);

  std::vector<std::int64_t> position(static_cast<std::size_t>(z.n));
  const auto* perm = static_cast<const std::int64_t*>(factor->Perm);
  for (std::int64_t k = 0; k < z.n; ++k) position[static_cast<std::size_t>(perm[k])] = k;
  const std::vector<std::int64_t> owners = column_owners(z);
  stages.next("reading the candidates' blocks of the inverse", true);
  CandidateVariances out;
  out.ntrait = nt;
  out.var.resize(in.candidates.size() * static_cast<std::size_t>(nt) * nt);
  out.a_diag.resize(in.candidates.size());
  std::vector<double> pev(static_cast<std::size_t>(nt) * nt);
  for (std::size_t b = 0; b < in.candidates.size(); ++b) {
    const std::int64_t c = in.candidates[b];
    const double acc = 1.0 + f[static_cast<std::size_t>(c)];
    out.a_diag[b] = acc;
    for (int t2 = 0; t2 < nt; ++t2)
      for (int t1 = t2; t1 < nt; ++t1)
        pev[t1 + t2 * nt] = selected_element(z, owners, position[static_cast<std::size_t>(c * nt + t1)],
                                             position[static_cast<std::size_t>(c * nt + t2)]);
    candidate_variance(in.g0, acc, pev.data(), out.var.data() + b * nt * nt);
    stages.update(static_cast<double>(b + 1) / static_cast<double>(in.candidates.size()));
  }
  st.cholmod_peak = cm->memory_usage;
  return out;
}

}  // namespace gw

#include "sparse/cholmod.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "base/fatal.hpp"

namespace gw {

Cholmod::Cholmod() {
  cholmod_l_start(&common_);
  common_.print = 0;
  common_.error_handler = nullptr;
  common_.supernodal = CHOLMOD_SUPERNODAL;
  common_.postorder = 1;
  // METIS ends the process when it runs out of memory; with this, CHOLMOD
  // first tries to allocate twice METIS's usual peak and falls back to AMD
  // when that fails.
  common_.metis_memory = 2.0;
}

Cholmod::~Cholmod() { cholmod_l_finish(&common_); }

CholmodSparse to_cholmod(Cholmod& cm, const SparseLower& m) {
  cholmod_sparse* p = cholmod_l_allocate_sparse(static_cast<std::size_t>(m.n), static_cast<std::size_t>(m.n),
                                                static_cast<std::size_t>(m.nonzeros()), 1, 1, -1, CHOLMOD_REAL,
                                                cm.get());
  if (!p)
    throw FatalError::diagnostic("not enough memory: building the mixed-model equations ran out of memory",
                                 ExitStatus::resource);
  CholmodSparse a(p, CholmodSparseDeleter{cm.get()});
  std::copy(m.colptr.begin(), m.colptr.end(), static_cast<std::int64_t*>(a->p));
  std::copy(m.rowind.begin(), m.rowind.end(), static_cast<std::int64_t*>(a->i));
  std::copy(m.values.begin(), m.values.end(), static_cast<double*>(a->x));
  return a;
}

Analysis analyse(Cholmod& cm, cholmod_sparse* a) {
  Analysis best;
  for (const int ordering : {CHOLMOD_AMD, CHOLMOD_METIS}) {
    cm->nmethods = 1;
    cm->method[0].ordering = ordering;
    Analysis next;
    next.factor = CholmodFactor(cholmod_l_analyze(a, cm.get()), CholmodFactorDeleter{cm.get()});
    if (!next.factor) {
      if (cm->status == CHOLMOD_OUT_OF_MEMORY || cm->status == CHOLMOD_TOO_LARGE) continue;
      throw std::runtime_error("the analysis of the mixed-model equations failed (CHOLMOD status " +
                               std::to_string(cm->status) + ")");
    }
    next.flops = cm->fl;
    next.nonzeros = cm->lnz;
    next.bytes = (static_cast<std::uint64_t>(next.factor->xsize) + next.factor->maxcsize) * sizeof(double);
    const bool near = !best.factor || (next.bytes < best.bytes * 1.02 && best.bytes < next.bytes * 1.02);
    if (!best.factor || (near ? next.flops < best.flops : next.bytes < best.bytes)) best = std::move(next);
  }
  if (!best.factor)
    throw FatalError::diagnostic("not enough memory: the analysis of the mixed-model equations ran out of memory",
                                 ExitStatus::resource);
  return best;
}

namespace {

// CHOLMOD factorises one supernode after another with a few BLAS calls
// each. Multithreaded BLAS pays for the threads' synchronisation in every
// call only when the supernodes carry enough work on average: on this
// project's machine two threads made the factorisation of a herd with
// 2.6e6 operations a supernode 1.5 times slower than one, and that of a
// herd with 1.9e7 a supernode 1.2 times faster. The choice follows from the
// pattern and the thread count alone, so the result does not change from
// run to run.
int factorisation_threads(const SupernodalView& f) {
  double flops = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    const double c = static_cast<double>(f.ncols(k)), m = static_cast<double>(f.nrows(k)) - c;
    flops += c * c * c / 3 + m * c * c + m * m * c;
  }
  constexpr double kWorkPerSupernode = 1e7;
  return flops >= kWorkPerSupernode * static_cast<double>(std::max<std::int64_t>(f.nsuper, 1))
             ? omp_get_max_threads()
             : 1;
}

}  // namespace

std::optional<std::int64_t> factorise(Cholmod& cm, cholmod_sparse* a, cholmod_factor* l) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(factorisation_threads(supernodal_view(*l)));
  cholmod_l_factorize(a, l, cm.get());
  omp_set_num_threads(threads);
  if (cm->status == CHOLMOD_OUT_OF_MEMORY)
    throw FatalError::diagnostic("not enough memory: the factorisation of the mixed-model equations ran out of memory",
                                 ExitStatus::resource);
  const auto* perm = static_cast<const std::int64_t*>(l->Perm);
  if (cm->status == CHOLMOD_NOT_POSDEF) return perm[l->minor];
  if (cm->status < CHOLMOD_OK)
    throw std::runtime_error("the factorisation of the mixed-model equations failed (CHOLMOD status " +
                             std::to_string(cm->status) + ")");
  if (!l->is_super || !l->is_ll) throw std::logic_error("CHOLMOD did not return a supernodal LL' factor");
  const SupernodalView f = supernodal_view(*l);
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    for (std::int64_t j = 0; j < f.ncols(k); ++j) {
      const double d = f.x[f.px[k] + j * (f.nrows(k) + 1)];
      if (!(d > 0.0) || !std::isfinite(d)) return perm[f.super[k] + j];
    }
  return std::nullopt;
}

SupernodalView supernodal_view(const cholmod_factor& l) {
  SupernodalView v;
  v.n = static_cast<std::int64_t>(l.n);
  v.nsuper = static_cast<std::int64_t>(l.nsuper);
  v.super = static_cast<const std::int64_t*>(l.super);
  v.pi = static_cast<const std::int64_t*>(l.pi);
  v.px = static_cast<const std::int64_t*>(l.px);
  v.s = static_cast<const std::int64_t*>(l.s);
  v.x = static_cast<double*>(l.x);
  return v;
}

}  // namespace gw

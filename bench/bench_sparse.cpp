// Times the sparse path on a generated herd, stage by stage, and compares
// it with the dense path where that fits.
//
//   bench_sparse [--traits T] [--animals N] [--generations G] [--missing M]
//                [--candidates C] [--seed S] [--threads P] [--dense-max D]
//                [--no-program] [--keep]
//
// The herd is the one of bench_run (tests/kit/herd.hpp). In process, the sparse
// candidate stage runs with its statistics: per stage the time and the peak
// resident memory, the factor's size, and the factorisation's and the
// selected inverse's rates. The whole in-process run is set against a bare
// CHOLMOD factorisation of the same equations (its analysis and
// factorisation stages). When D = N * T is at most --dense-max (default
// 12000) the dense stages run too, in the same process, and every value of
// the result is compared (largest relative difference). Then the program
// runs as a child process with --sparse (and without, up to --dense-max):
// time and peak memory.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "io/inputs.hpp"
#include "index/paths.hpp"
#include "index/weights.hpp"
#include "sparse/candidate_variances.hpp"
#include "kit/herd.hpp"
#include "io/input_file.hpp"
#include "io/result_file.hpp"
#include "kernels/kernels.hpp"
#include "measure.hpp"

using namespace gw;
using namespace gw::bench;

namespace {

struct Options : herd::Shape {
  int threads = 0;
  std::int64_t dense_max = 12000;
  bool program = true, keep = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_sparse [HERD] [--threads P] [--dense-max D] [--no-program] [--keep]\n%s",
               kHerdOptions);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<BenchOption> table = herd_options(o);
  table.insert(table.end(), {number_option("--threads", o.threads), number_option("--dense-max", o.dense_max),
                             flag_option("--no-program", o.program, false), flag_option("--keep", o.keep)});
  parse_options(argc, argv, table, usage);
  if (o.traits < 1 || o.animals < 2 || o.generations < 1 || o.generations > o.animals) usage();
  return o;
}

struct Result {
  CandidateAverages avg;
  std::vector<double> v0;
  double seconds = 0;
};

// The program's own dense path.
Result dense(const Parameters& par, const TraitMatrices& tr, const Pedigree& ped) {
  Result r;
  const double t0 = now();
  r.avg = dense_path(PathInput{par, tr, ped, kParameterFileName, kPedigreeFileName}).averages;
  r.v0 = reference_weights(tr.g0.cview(), tr.p0i.cview(), par.k0, r.avg.vv0, {});
  r.seconds = now() - t0;
  return r;
}

double relative_difference(double a, double b) {
  if (a == b || (std::isnan(a) && std::isnan(b))) return 0.0;
  return std::fabs(a - b) / std::max(std::fabs(a), std::fabs(b));
}

double largest_difference(const Result& x, const Result& y) {
  double worst = 0.0;
  for (std::size_t i = 0; i < x.v0.size(); ++i)
    for (const auto& [a, b] : {std::pair{x.avg.vv1[i], y.avg.vv1[i]}, std::pair{x.avg.vv2[i], y.avg.vv2[i]},
                               std::pair{x.avg.vv0[i], y.avg.vv0[i]}, std::pair{x.v0[i], y.v0[i]}})
      worst = std::max(worst, relative_difference(a, b));
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  if (o.threads > 0) {
    omp_set_num_threads(o.threads);
    setenv("OMP_NUM_THREADS", std::to_string(o.threads).c_str(), 1);
  }
  Launcher launcher;  // before anything large is allocated
  const fs::path dir = herd_folder(o);

  const Parameters par = read_parameters(load_input_file(dir, kParameterFileName));
  const Pedigree ped = read_pedigree(load_input_file(dir, kPedigreeFileName), par.ntrait);
  const TraitMatrices tr = trait_covariances(par, {});
  const std::int64_t d = static_cast<std::int64_t>(par.ntrait) * ped.nanim;
  std::printf("herd: %d traits, %d animals in %d generations, D = %lld, NREC = %lld, %lld candidates, %d threads\n",
              par.ntrait, ped.nanim, o.generations, static_cast<long long>(d),
              static_cast<long long>(ped.record_count()), static_cast<long long>(ped.candidate_count()),
              o.threads > 0 ? o.threads : omp_get_max_threads());
  std::printf("files: %s\n\n", dir.c_str());

  reset_peak();
  SparseStats st;
  TimedStages timer;
  PathInput in{par, tr, ped, kParameterFileName, kPedigreeFileName};
  in.stages = &timer;
  in.stats = &st;
  Result sparse;
  const double t0 = now();
  sparse.avg = sparse_path(in).averages;
  const double t1 = now();
  sparse.v0 = reference_weights(tr.g0.cview(), tr.p0i.cview(), par.k0, sparse.avg.vv0, {});
  sparse.seconds = now() - t0;
  timer.timings.push_back({"reference", now() - t1, 0, peak_rss()});

  constexpr const char* kFactorStage = "factorising the mixed-model equations";
  constexpr const char* kInverseStage = "inverting the factor (selected inverse)";
  std::printf("%-56s %9s %14s %9s\n", "sparse stage", "seconds", "rate", "peak MiB");
  for (const auto& s : timer.timings) {
    char rate[32] = "-";
    const double ops = s.stage == kFactorStage ? st.factor_flops : s.stage == kInverseStage ? st.inverse_flops : 0;
    if (ops > 0) std::snprintf(rate, sizeof rate, "%.1f GFLOP/s", ops / s.seconds * 1e-9);
    std::printf("%-56s %9.3f %14s %9.1f\n", s.stage.c_str(), s.seconds, rate, mib(s.peak));
  }
  const double bare = timer.seconds("ordering the mixed-model equations") + timer.seconds(kFactorStage);
  std::printf("%-56s %9.3f\n", "whole sparse run", sparse.seconds);
  std::printf(
      "\nfactor: order %lld, %lld supernodes, ordering %s, %.4g non-zeros (%.4g values stored, %.1f MiB), "
      "factorisation %.4g flops, selected inverse %.4g flops (%.2f x); CHOLMOD peak %.1f MiB\n",
      static_cast<long long>(st.order), static_cast<long long>(st.supernodes), st.ordering.c_str(), st.factor_nonzeros,
      st.factor_entries, st.factor_entries * 8 / (1024.0 * 1024.0), st.factor_flops, st.inverse_flops,
      st.inverse_flops / st.factor_flops, mib(st.cholmod_peak));
  std::printf("whole sparse run / bare factorisation (analysis + factorisation, %.3f s): %.2f\n", bare,
              sparse.seconds / bare);

  int failures = 0;
  if (d <= o.dense_max) {
    const Result full = dense(par, tr, ped);
    const double diff = largest_difference(sparse, full);
    std::printf("dense stages in process: %.3f s (dense / sparse %.1f); largest relative difference of a result "
                "value: %.3g (%s 1e-9)\n",
                full.seconds, full.seconds / sparse.seconds, diff, diff <= 1e-9 ? "within" : "NOT within");
    failures += diff > 1e-9;
  }

  if (o.program) {
    const ChildRun s = launcher.run(dir, GAINWEIGHTS_EXE, {"--sparse"});
    std::printf("\nprogram --sparse: exit status %d, %.3f s, peak %.1f MiB\n", s.status, s.seconds, mib(s.peak));
    failures += s.status != 0;
    if (d <= o.dense_max) {
      const ChildRun f = launcher.run(dir, GAINWEIGHTS_EXE);
      std::printf("program (dense): exit status %d, %.3f s, peak %.1f MiB; sparse / dense time %.3f\n", f.status,
                  f.seconds, mib(f.peak), s.seconds / f.seconds);
      failures += f.status != 0;
    }
  }
  if (!o.keep) fs::remove_all(dir);
  return failures == 0 ? 0 : 1;
}

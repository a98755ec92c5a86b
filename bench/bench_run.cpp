// Times a whole run stage by stage on a generated herd: the program's own
// dense path with each kernel set, the plain kernels where that takes
// reasonable time, and the program binary.
//
//   bench_run [--traits T] [--animals N] [--generations G] [--missing M]
//             [--candidates C] [--sires F] [--overlap V] [--seed S]
//             [--threads P] [--plain-max D] [--sample K] [--no-program]
//             [--program-only] [--keep] [--batch B] [--depth R] [--chunk C]
//             [--kernels LIST] [--repeat R] [--no-dgemm]
//
// The herd (tests/kit/herd.hpp) has G generations of about N / G animals;
// parents come from the V generations before (default 1; a share F of the
// males, default 0.05, become sires, every female a dam; a few parents
// unknown but none of a candidate), the youngest C * N animals are the
// candidates, and each record is absent with chance M.
// Defaults: 3 traits, 2000 animals, 5 generations, M = 0.1, C = 0.18.
//
// For each kernel set of --kernels (a comma-separated list; default every
// set the processor runs) the program's own dense_path runs in this
// process with that set (GAINWEIGHTS_KERNELS), timed by the stages it
// reports to a TimedStages observer, and then the reference weights. When
// D = N * T is at most --plain-max (default 2500) the same stages run once
// more with the plain kernels (the relationship matrix formed apart, the
// inversion one step at a time). What is compared bit for bit is
// the end of each run, not each stage: a digest of the averages and the
// reference weights of every round of every set must equal the plain
// stages' or, without them, the first set's first round. Above --plain-max,
// K candidates (default 4) spread over the list have their systems formed
// the plain way and compared bit for bit with the fast ones. The candidate
// stage also runs again apart, twice without and twice with every
// candidate's own row written to a candidate file, for the file's overhead
// (the fastest of each). --batch, --depth and --chunk set the blocking of
// these sampled systems and extra candidate passes; dense_path takes its
// defaults. Beside the rates, OpenBLAS's dgemm of order NREC on as many
// threads is timed in the same run (not with --no-dgemm). The R rounds
// (default 1) run every set (and dgemm) in turn; the times are the medians
// of the rounds. Finally the program itself runs on the two files
// as a child process, once per kernel set (GAINWEIGHTS_KERNELS) in each of
// the R rounds; every result file must be byte-identical with the one
// written from the in-process results (the plain stages' when they ran, else
// the fast ones), its exit status 0, and its peak resident memory, read
// from the kernel (ru_maxrss), is set against 8 D^2 + 5% + 50 MiB.
// --program-only skips everything in process and runs the program once
// with its own choice of kernels (for sizes where one run is all there is
// time for); --no-program skips the program; --threads P sets the threads
// of this process and of the program; --keep keeps the files.
#include <omp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/candidate_pass.hpp"
#include "io/inputs.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "io/candidate_file.hpp"
#include "io/input_file.hpp"
#include "io/result_file.hpp"
#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"
#include "kit/herd.hpp"
#include "measure.hpp"
#include "side_by_side.hpp"

namespace fs = std::filesystem;
using namespace gw;
using namespace gw::bench;

namespace {

struct Options : herd::Shape {
  int threads = 0;
  std::int64_t plain_max = 2500;
  int sample = 4;
  CandidateOptions stage;  // batch, depth and chunk of the candidate-file measurement
  bool program = true, program_only = false, keep = false, dgemm = true;
  std::string kernels;  // --kernels list
  int repeat = 1;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_run [HERD] [--threads P] [--plain-max D] [--sample K] [--no-program] [--keep]\n"
               "                 [--program-only] [--batch B] [--depth R] [--chunk C] [--kernels LIST]\n"
               "                 [--repeat R] [--no-dgemm]\n%s",
               kHerdOptions);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<BenchOption> table = herd_options(o);
  table.insert(table.end(),
               {number_option("--threads", o.threads), number_option("--plain-max", o.plain_max),
                number_option("--sample", o.sample), number_option("--batch", o.stage.batch),
                number_option("--depth", o.stage.depth), number_option("--chunk", o.stage.chunk),
                text_option("--kernels", o.kernels),
                {"--repeat", true, [&o](const char* v) { o.repeat = std::max(1, std::atoi(v)); }},
                flag_option("--no-dgemm", o.dgemm, false), flag_option("--program-only", o.program_only),
                flag_option("--no-program", o.program, false), flag_option("--keep", o.keep)});
  parse_options(argc, argv, table, usage);
  if (o.traits < 1 || o.animals < 2 || o.generations < 1 || o.generations > o.animals) usage();
  return o;
}

// ----------------------------------------------------------------- measuring

// A digest of the bits of doubles (FNV-1a over 64-bit words).
std::uint64_t hash_words(std::uint64_t h, const double* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    std::uint64_t w;
    std::memcpy(&w, x + i, 8);
    h = (h ^ w) * 1099511628211ull;
  }
  return h;
}

struct StageTime {
  std::string name;
  double seconds = 0;
  double cpu = 0;  // processor time of all threads (user and system)
  double ops = 0;  // floating-point operations counted for the rate; 0: none
  std::uint64_t peak = 0;
};

struct Pipeline {
  std::vector<StageTime> stages;
  CandidateAverages avg;
  std::vector<double> v0;
  std::int64_t nrec = 0;
  std::uint64_t check = 0;  // a digest of the averages and the reference
};

std::uint64_t hash_vectors(const std::vector<std::vector<double>>& vs) {
  std::uint64_t h = 1469598103934665603ull;
  for (const auto& v : vs) h = hash_words(h, v.data(), static_cast<std::int64_t>(v.size()));
  return h;
}

// The floating-point operations of the stages that have a rate.
double stage_ops(const std::string& stage, double nrec, int ntrait, double candidates) {
  if (stage == kInversionStage) return 2 * nrec * nrec * nrec;
  if (stage == kCandidateStage) return 2.0 * ntrait * nrec * nrec * candidates;
  return 0;
}

void add_reference(Pipeline& p, const TraitMatrices& tr, const Parameters& par) {
  const double t0 = now(), c0 = cpu_seconds();
  p.v0 = reference_weights(tr.g0.cview(), tr.p0i.cview(), par.k0, p.avg.vv0, {});
  p.stages.push_back(StageTime{"reference", now() - t0, cpu_seconds() - c0, 0, peak_rss()});
  p.check = hash_vectors({p.avg.vv1, p.avg.vv2, p.avg.vv0, p.v0});
}

// The program's own dense path with the fast kernels of one set, timed by
// the stages it reports.
Pipeline fast_pipeline(KernelSet set, const Parameters& par, const TraitMatrices& tr, const Pedigree& ped) {
  const std::string name(kernel_set_name(set));
  setenv(kKernelsVariable, name.c_str(), 1);
  reset_peak();
  TimedStages timer;
  PathInput in{par, tr, ped, kParameterFileName, kPedigreeFileName};
  in.stages = &timer;
  PathResult r = dense_path(in);
  unsetenv(kKernelsVariable);
  Pipeline p;
  p.avg = std::move(r.averages);
  p.nrec = r.nrec;
  const double candidates = static_cast<double>(ped.candidate_count());
  for (const TimedStages::Timing& t : timer.timings)
    p.stages.push_back(
        StageTime{t.stage, t.seconds, t.cpu, stage_ops(t.stage, static_cast<double>(p.nrec), par.ntrait, candidates), t.peak});
  add_reference(p, tr, par);
  return p;
}

// The same stages with the plain kernels and the relationship matrix apart.
Pipeline plain_pipeline(const Parameters& par, const TraitMatrices& tr, const Pedigree& ped) {
  Pipeline p;
  const int nt = par.ntrait, na = ped.nanim;
  const std::int64_t d = static_cast<std::int64_t>(nt) * na;
  reset_peak();
  Matrix<double> a0(na, na, false), v(d, d, false);
  TimedStages timer;
  int nrec = 0;
  timer.begin(kBuildStage, false);
  amrx(ped.id1.data(), ped.id2.data(), a0.view(), na);
  kron(tr.g0.cview(), a0.cview(), v.view(), nt, nt, na, na);
  add_residuals(tr.r0.cview(), na, v.view());
  timer.begin(kInversionStage, true);
  nrec = cutm(v.view(), ped.nonr.cview(), nt, na);
  invmtx_plain(nrec, v.view(), v.view(), {});
  addm(v.view(), ped.nonr.cview(), nt, na, nrec);
  timer.begin(kCandidateStage, true);
  CandidateOptions plain;
  plain.plain = true;
  p.avg = candidate_weights(tr.g0.cview(), a0.cview(), v.cview(), ped, par.k0, kPedigreeFileName, plain);
  timer.end();
  p.nrec = nrec;
  const double candidates = static_cast<double>(ped.candidate_count());
  for (const TimedStages::Timing& t : timer.timings)
    p.stages.push_back(StageTime{t.stage, t.seconds, t.cpu, stage_ops(t.stage, nrec, nt, candidates), t.peak});
  add_reference(p, tr, par);
  return p;
}

// The inverse over the present records (PPI) and the candidates'
// relationships, built with the library's own steps, for the checks and
// measurements beside the path: a sample of candidate systems against their
// plain forms, and the candidate file's overhead.
struct Inverse {
  Matrix<double> ppi;
  CandidateRelationships rel;
};

Inverse present_inverse(const TraitMatrices& tr, const Pedigree& ped, int ntrait) {
  Inverse out;
  const int na = ped.nanim;
  out.ppi = allocate_record_matrix(static_cast<std::int64_t>(ntrait) * na);
  const MatView a0 = relationship_block(out.ppi.view(), na);
  amrx(ped.id1.data(), ped.id2.data(), a0, na);
  out.rel = CandidateRelationships(a0, ped.cand);
  record_covariance_in_place(tr.g0.cview(), tr.r0.cview(), na, out.ppi.view());
  invert_present_block(ped.nonr.cview(), ntrait, na, out.ppi.view(), {});
  return out;
}

void write_result(const fs::path& dir, const Pipeline& p) {
  ResultFile f(dir);
  for (std::size_t i = 0; i < p.v0.size(); ++i) f.write_line(p.avg.vv1[i], p.avg.vv2[i], p.avg.vv0[i], p.v0[i]);
  f.commit();
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

  const auto budget = [&](std::int64_t d) {
    return 8.0 * static_cast<double>(d) * static_cast<double>(d) * 1.05 + 50.0 * 1024 * 1024;
  };
  if (o.program_only) {
    const std::int64_t d = static_cast<std::int64_t>(o.traits) * o.animals;
    std::printf("herd: %d traits, %d animals in %d generations, D = %lld; files: %s\n", o.traits, o.animals,
                o.generations, static_cast<long long>(d), dir.c_str());
    const ChildRun r = launcher.run(dir, GAINWEIGHTS_EXE);
    std::printf("program: exit status %d, %.3f s, peak %.1f MiB (8 D^2 + 5%% + 50 MiB = %.1f MiB: %s)\n", r.status,
                r.seconds, mib(r.peak), budget(d) / (1024.0 * 1024.0),
                static_cast<double>(r.peak) <= budget(d) ? "within" : "OVER");
    if (!o.keep) fs::remove_all(dir);
    return r.status == 0 ? 0 : 1;
  }

  const Parameters par = read_parameters(load_input_file(dir, kParameterFileName));
  const Pedigree ped = read_pedigree(load_input_file(dir, kPedigreeFileName), par.ntrait);
  const TraitMatrices tr = trait_covariances(par, {});
  const std::int64_t d = static_cast<std::int64_t>(par.ntrait) * ped.nanim;
  const bool plain = d <= o.plain_max;

  // Sampled check of the candidate systems when the plain stage is skipped.
  struct Sampled {
    int compared = 0, equal = 0;
    double plain_seconds = 0;
  } sampled;
  const auto sample = [&](const CandidateRelationships& rel, ConstMatView ppi) {
    if (plain || o.sample <= 0 || rel.count() == 0) return;
    std::vector<int> picks;
    for (int s = 0; s < o.sample && s < rel.count(); ++s)
      picks.push_back(static_cast<int>(static_cast<std::int64_t>(s) * (rel.count() - 1) / std::max(1, o.sample - 1)));
    // The fast systems of the sampled candidates alone.
    std::vector<std::vector<double>> fast(picks.size());
    candidate_systems(
        tr.g0.cview(), rel.subset(picks), ppi, ped.nonr.cview(), o.stage,
        [&](int index, ConstMatView lhs) { fast[index].assign(lhs.data, lhs.data + lhs.rows * lhs.cols); });
    const int nt = par.ntrait;
    Matrix<double> lhs(nt, nt);
    std::vector<double> column(static_cast<std::size_t>(ped.nanim));
    const double t1 = now();
    for (std::size_t s = 0; s < picks.size(); ++s) {
      rel.column(picks[s], column.data());
      candidate_lhs(tr.g0.cview(), ConstMatView(column.data(), ped.nanim, 1), ppi, 0, lhs.view());
      ++sampled.compared;
      if (std::memcmp(lhs.data(), fast[s].data(), sizeof(double) * nt * nt) == 0) ++sampled.equal;
    }
    sampled.plain_seconds = now() - t1;
  };

  // The candidate stage again, alternately without and with every
  // candidate's own result kept and written to a candidate file (the
  // --candidates option), twice each; the fastest of each is kept. --batch,
  // --depth and --chunk shape these passes (the path takes the defaults).
  struct Overhead {
    double without = 1e300, with = 1e300;
    std::size_t lines = 0;
  } overhead;
  const auto candidate_file = [&](const CandidateRelationships& rel, ConstMatView ppi) {
    if (rel.count() == 0) return;
    for (int round = 0; round < 2; ++round) {
      double t0 = now();
      candidate_weights(tr.g0.cview(), rel, ppi, ped, par.k0, kPedigreeFileName, o.stage);
      overhead.without = std::min(overhead.without, now() - t0);
      t0 = now();
      std::vector<CandidateRow> rows;
      candidate_weights(tr.g0.cview(), rel, ppi, ped, par.k0, kPedigreeFileName, o.stage, &rows);
      CandidateFile file(dir / "candidates.csv", CandidateColumns::of(par.k0));
      for (const CandidateRow& row : rows) file.write(row, std::to_string(ped.ident[row.line - 1]));
      file.commit();
      overhead.with = std::min(overhead.with, now() - t0);
      overhead.lines = rows.size();
    }
  };

  // Every set's path, round after round, with the dgemm yardstick.
  const std::vector<KernelSet> sets = kernel_list(o.kernels);
  const KernelSet program_set = resolve_kernel_set();
  const int threads = o.threads > 0 ? o.threads : omp_get_max_threads();
  std::vector<std::vector<Pipeline>> runs(sets.size());
  std::vector<double> dgemm_seconds;
  std::optional<Dgemm> dgemm;
  for (int round = 0; round < o.repeat; ++round) {
    for (std::size_t s = 0; s < sets.size(); ++s) runs[s].push_back(fast_pipeline(sets[s], par, tr, ped));
    if (o.dgemm && runs[0][0].nrec >= 2) {
      if (!dgemm) dgemm.emplace(static_cast<int>(runs[0][0].nrec));
      dgemm_seconds.push_back(dgemm->seconds(threads));
    }
  }
  dgemm.reset();
  {
    const Inverse inv = present_inverse(tr, ped, par.ntrait);
    sample(inv.rel, inv.ppi.cview());
    candidate_file(inv.rel, inv.ppi.cview());
  }
  std::optional<Pipeline> slow;
  if (plain) slow = plain_pipeline(par, tr, ped);
  const Pipeline& fast = runs.back().front();
  const double dgemm_rate =
      dgemm_seconds.empty() ? 0.0 : 2.0 * std::pow(static_cast<double>(fast.nrec), 3) / median(dgemm_seconds) * 1e-9;

  // The median of a stage's rounds.
  const auto stage_seconds = [&](std::size_t s, std::size_t i) {
    std::vector<double> v;
    for (const Pipeline& p : runs[s]) v.push_back(p.stages[i].seconds);
    return median(v);
  };
  const auto stage_cpu = [&](std::size_t s, std::size_t i) {
    std::vector<double> v;
    for (const Pipeline& p : runs[s]) v.push_back(p.stages[i].cpu);
    return median(v);
  };

  const int ncand = static_cast<int>(ped.candidate_count());
  std::printf("herd: %d traits, %d animals in %d generations, D = %lld, NREC = %lld, %d candidates, %d threads\n",
              par.ntrait, ped.nanim, o.generations, static_cast<long long>(d), static_cast<long long>(fast.nrec),
              ncand, threads);
  std::printf("files: %s\n", dir.c_str());
  std::printf("kernel sets this processor runs: %s (the program takes %s); %d round(s), medians\n",
              supported_kernel_set_names().c_str(), std::string(kernel_set_name(program_set)).c_str(), o.repeat);
  if (dgemm_rate > 0)
    std::printf("OpenBLAS dgemm of order %lld, %d threads: %.1f GFLOP/s (%s)\n", static_cast<long long>(fast.nrec),
                threads, dgemm_rate, openblas_kernels().c_str());
  std::printf("load average %s\n", load_average().c_str());

  int failures = 0;
  for (std::size_t s = 0; s < sets.size(); ++s) {
    std::printf("\nkernels %s\n", std::string(kernel_set_name(sets[s])).c_str());
    std::printf("%-40s %8s %8s %14s %9s %10s %11s %9s\n", "stage", "fast s", "cpu s", "fast rate", "of dgemm",
                "plain s", "plain/fast", "peak MiB");
    double total = 0;
    for (std::size_t i = 0; i < fast.stages.size(); ++i) {
      const StageTime& f = runs[s].front().stages[i];
      const double secs = stage_seconds(s, i);
      total += secs;
      char rate[32] = "-", of[16] = "-", ps[32] = "-", ratio[32] = "-";
      if (f.ops > 0) std::snprintf(rate, sizeof rate, "%.1f GFLOP/s", f.ops / secs * 1e-9);
      if (f.ops > 0 && dgemm_rate > 0) std::snprintf(of, sizeof of, "%.0f%%", 100.0 * f.ops / secs * 1e-9 / dgemm_rate);
      if (slow && i < slow->stages.size()) {
        std::snprintf(ps, sizeof ps, "%.3f", slow->stages[i].seconds);
        std::snprintf(ratio, sizeof ratio, "%.1f", slow->stages[i].seconds / secs);
      }
      std::printf("%-40s %8.3f %8.3f %14s %9s %10s %11s %9.1f\n", f.name.c_str(), secs, stage_cpu(s, i), rate, of, ps,
                  ratio, mib(f.peak));
    }
    std::printf("%-40s %8.3f\n", "all stages", total);
    // Every round of every set against the plain stages, or else against
    // the first set's first round.
    const std::uint64_t want = slow ? slow->check : runs[0].front().check;
    bool equal = true;
    for (const Pipeline& p : runs[s]) equal = equal && p.check == want;
    failures += !equal;
    if (slow || s > 0)
      std::printf("averages and reference bit-identical with the %s: %s\n",
                  slow ? "plain stages" : "first set's", equal ? "yes" : "NO");
  }
  if (slow) {
    double t = 0;
    for (const StageTime& s : slow->stages) t += s.seconds;
    std::printf("plain stages: %.3f s, peak %.1f MiB\n", t, mib(slow->stages.back().peak));
  }
  if (sampled.compared > 0) {
    double candidate_seconds = 0;
    for (const StageTime& t : fast.stages)
      if (t.name == kCandidateStage) candidate_seconds = t.seconds;
    const double fast_each = candidate_seconds / std::max(1, ncand);
    const double plain_each = sampled.plain_seconds / sampled.compared;
    std::printf(
        "candidate systems, %d sampled: %d bit-identical with the plain ones; per candidate fast %.5f s (whole "
        "stage), plain %.4f s (sampled): plain/fast %.0f\n",
        sampled.compared, sampled.equal, fast_each, plain_each, plain_each / fast_each);
  }

  if (overhead.lines > 0)
    std::printf("candidate stage with the candidate file (%zu lines) / without: %.4f s / %.4f s = %.3f\n",
                overhead.lines, overhead.with, overhead.without, overhead.with / overhead.without);

  failures += sampled.compared - sampled.equal;

  if (o.program) {
    const fs::path mine = dir / "in-process";
    fs::create_directories(mine);
    write_result(mine, slow ? *slow : fast);
    const std::string want = read_text(mine / kResultFileName);
    std::vector<std::vector<ChildRun>> program(sets.size());
    std::vector<bool> same(sets.size(), true);
    for (int round = 0; round < o.repeat; ++round)
      for (std::size_t s = 0; s < sets.size(); ++s) {
        fs::remove(dir / kResultFileName);
        program[s].push_back(launcher.run(dir, GAINWEIGHTS_EXE, {},
                                          {std::string(kKernelsVariable) + "=" + std::string(kernel_set_name(sets[s]))}));
        same[s] = same[s] && read_text(dir / kResultFileName) == want;
      }
    std::printf("\n");
    for (std::size_t s = 0; s < sets.size(); ++s) {
      std::vector<double> secs;
      int status = 0;
      std::uint64_t peak = 0;
      for (const ChildRun& r : program[s]) {
        secs.push_back(r.seconds);
        status = std::max(status, r.status == 0 ? 0 : 1);
        peak = std::max(peak, r.peak);
      }
      std::printf(
          "program, %s=%-8s exit status %d, %.3f s, peak %.1f MiB (8 D^2 + 5%% + 50 MiB = %.1f MiB: %s); "
          "result file %s the in-process %s result\n",
          kKernelsVariable, std::string(kernel_set_name(sets[s])).c_str(), status, median(secs), mib(peak),
          budget(d) / (1024.0 * 1024.0), static_cast<double>(peak) <= budget(d) ? "within" : "OVER",
          same[s] ? "equals" : "DIFFERS FROM", slow ? "plain" : "fast");
      failures += !same[s] || status != 0;
    }
  }
  if (!o.keep) fs::remove_all(dir);
  return failures == 0 ? 0 : 1;
}

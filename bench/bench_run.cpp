// Times a whole run stage by stage on a generated herd: the fast kernels,
// the plain ones where that takes reasonable time, and the program binary.
//
//   bench_run [--traits T] [--animals N] [--generations G] [--missing M]
//             [--candidates C] [--seed S] [--threads P] [--plain-max D]
//             [--sample K] [--no-program] [--program-only] [--keep]
//             [--batch B] [--depth R] [--chunk C] [--kernels LIST]
//             [--repeat R] [--no-dgemm]
//
// The herd has G generations of about N / G animals; parents come from the
// generation before (few sires, many dams, a few unknown but none of a
// candidate), the youngest C * N animals are the candidates, and each record
// is absent with chance M.
// Defaults: 3 traits, 2000 animals, 5 generations, M = 0.1, C = 0.18.
//
// Every stage runs with the fast kernels, once for each kernel set of
// --kernels (a comma-separated list; default every set the processor runs),
// and every set's stages must give the same bits; when D = N * T is at most
// --plain-max (default 2500) the whole sequence runs again with the plain
// kernels, and each stage's output is compared bit for bit (a hash of the
// record matrix, the result vectors). Above that, K candidates (default 4)
// spread over the list are formed the plain way and compared with the fast
// systems. Finally the program itself runs on the two files as a child
// process, once per kernel set (GAINWEIGHTS_KERNELS); its result files must
// be byte-identical with each other and with the in-process results, and
// its peak resident memory is read from the kernel (ru_maxrss). Beside the
// rates, OpenBLAS's dgemm of order NREC on as many threads is timed in the
// same run. The R rounds (default 1) run every set (and dgemm) in turn;
// figures are the medians of the rounds. --program-only
// skips the in-process stages (for sizes where one run is all there is time
// for); --batch, --depth and --chunk set the fast candidate stage's blocking.
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

#include "driver/candidates.hpp"
#include "driver/inputs.hpp"
#include "driver/stages.hpp"
#include "io/candidate_file.hpp"
#include "io/input_file.hpp"
#include "io/result_file.hpp"
#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"
#include "herd.hpp"
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
  CandidateOptions stage;  // batch and depth of the fast candidate stage
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
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (herd_option(a, o, next))
      continue;
    else if (a == "--threads")
      o.threads = std::atoi(next());
    else if (a == "--plain-max")
      o.plain_max = std::atoll(next());
    else if (a == "--sample")
      o.sample = std::atoi(next());
    else if (a == "--batch")
      o.stage.batch = std::atoi(next());
    else if (a == "--depth")
      o.stage.depth = std::atoi(next());
    else if (a == "--chunk")
      o.stage.chunk = std::atoi(next());
    else if (a == "--kernels")
      o.kernels = next();
    else if (a == "--repeat")
      o.repeat = std::max(1, std::atoi(next()));
    else if (a == "--no-dgemm")
      o.dgemm = false;
    else if (a == "--program-only")
      o.program_only = true;
    else if (a == "--no-program")
      o.program = false;
    else if (a == "--keep")
      o.keep = true;
    else
      usage();
  }
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

std::uint64_t hash_block(ConstMatView m, std::int64_t rows, std::int64_t cols) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::int64_t j = 0; j < cols; ++j) h = hash_words(h, m.col(j), rows);
  return h;
}

struct Stage {
  std::string name;
  double seconds = 0;
  double cpu = 0;  // processor time of all threads (user and system)
  double ops = 0;  // floating-point operations counted for the rate; 0: none
  std::uint64_t peak = 0;
  std::uint64_t check = 0;  // a digest of what the stage produced
};

struct Pipeline {
  std::vector<Stage> stages;
  CandidateAverages avg;
  std::vector<double> v0;
  int nrec = 0;
};

// Times `work`, then takes the digest of what it produced (untimed).
template <class F, class G>
void timed(Pipeline& p, const std::string& name, double ops, F&& work, G&& digest) {
  const double t0 = now(), c0 = cpu_seconds();
  work();
  const double seconds = now() - t0, cpu = cpu_seconds() - c0;
  const std::uint64_t peak = peak_rss();
  p.stages.push_back(Stage{name, seconds, cpu, ops, peak, static_cast<std::uint64_t>(digest())});
}

std::uint64_t hash_vectors(const std::vector<std::vector<double>>& vs) {
  std::uint64_t h = 1469598103934665603ull;
  for (const auto& v : vs) h = hash_words(h, v.data(), static_cast<std::int64_t>(v.size()));
  return h;
}

void add_residuals(ConstMatView r0, int nanim, MatView v) {
  const int nt = static_cast<int>(r0.rows);
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j)
      for (int k = 0; k < nanim; ++k)
        v(static_cast<std::int64_t>(i) * nanim + k, static_cast<std::int64_t>(j) * nanim + k) += r0(i, j);
}

// The run's stages with the fast kernels of one set, as the program does them.
Pipeline fast_pipeline(const Options& o, KernelSet set, const Parameters& par, const TraitMatrices& tr,
                       const Pedigree& ped, const std::function<void(const CandidateRelationships&, ConstMatView)>& after) {
  Pipeline p;
  CandidateOptions stage = o.stage;
  stage.kernels = set;
  invmtx_detail::Blocking blocking;
  blocking.kernels = set;
  const int nt = par.ntrait, na = ped.nanim;
  const std::int64_t d = static_cast<std::int64_t>(nt) * na;
  reset_peak();
  Matrix<double> v = allocate_record_matrix(d);
  CandidateRelationships rel;
  timed(
      p, "relationship matrix", 0,
      [&] {
        const MatView a0 = relationship_block(v.view(), na);
        amrx(ped.id1.data(), ped.id2.data(), a0, na);
        rel = CandidateRelationships(a0, ped.cand);
      },
      [&] { return hash_block(relationship_block(v.view(), na), na, na); });
  timed(
      p, "record matrix + compaction", 0,
      [&] {
        record_covariance_in_place(tr.g0.cview(), tr.r0.cview(), na, v.view());
        p.nrec = cutm(v.view(), ped.nonr.cview(), nt, na);
      },
      [&] { return hash_block(v.cview(), p.nrec, p.nrec); });
  const double n = p.nrec;
  timed(
      p, "inversion", 2 * n * n * n,
      [&] { invmtx_detail::invmtx_blocked(p.nrec, v.view(), v.view(), {}, blocking); },
      [&] { return hash_block(v.cview(), p.nrec, p.nrec); });
  timed(
      p, "expansion", 0, [&] { addm(v.view(), ped.nonr.cview(), nt, na, p.nrec); },
      [&] { return hash_block(v.cview(), d, d); });
  timed(
      p, "candidate stage", 2.0 * nt * n * n * rel.count(),
      [&] { p.avg = candidate_weights(tr.g0.cview(), rel, v.cview(), ped, par.k0, "Pedigree&Record.csv", stage); },
      [&] {
        return hash_vectors({p.avg.vv1, p.avg.vv2, p.avg.vv0});
      });
  timed(
      p, "reference", 0, [&] { p.v0 = reference_weights(tr.g0.cview(), tr.p0i.cview(), par.k0, p.avg.vv0, {}); },
      [&] { return hash_vectors({p.v0}); });
  after(rel, v.cview());
  return p;
}

// The same stages with the plain kernels and the relationship matrix apart.
Pipeline plain_pipeline(const Parameters& par, const TraitMatrices& tr, const Pedigree& ped) {
  Pipeline p;
  const int nt = par.ntrait, na = ped.nanim;
  const std::int64_t d = static_cast<std::int64_t>(nt) * na;
  reset_peak();
  Matrix<double> a0(na, na, false), v(d, d, false);
  timed(
      p, "relationship matrix", 0, [&] { amrx(ped.id1.data(), ped.id2.data(), a0.view(), na); },
      [&] { return hash_block(a0.cview(), na, na); });
  timed(
      p, "record matrix + compaction", 0,
      [&] {
        kron(tr.g0.cview(), a0.cview(), v.view(), nt, nt, na, na);
        add_residuals(tr.r0.cview(), na, v.view());
        p.nrec = cutm(v.view(), ped.nonr.cview(), nt, na);
      },
      [&] { return hash_block(v.cview(), p.nrec, p.nrec); });
  const double n = p.nrec;
  timed(
      p, "inversion", 2 * n * n * n, [&] { invmtx_plain(p.nrec, v.view(), v.view(), {}); },
      [&] { return hash_block(v.cview(), p.nrec, p.nrec); });
  timed(
      p, "expansion", 0, [&] { addm(v.view(), ped.nonr.cview(), nt, na, p.nrec); },
      [&] { return hash_block(v.cview(), d, d); });
  CandidateOptions plain;
  plain.plain = true;
  timed(
      p, "candidate stage", 2.0 * nt * n * n * static_cast<double>(ped.candidate_count()),
      [&] {
        p.avg = candidate_weights(tr.g0.cview(), a0.cview(), v.cview(), ped, par.k0, "Pedigree&Record.csv", plain);
      },
      [&] {
        return hash_vectors({p.avg.vv1, p.avg.vv2, p.avg.vv0});
      });
  timed(
      p, "reference", 0, [&] { p.v0 = reference_weights(tr.g0.cview(), tr.p0i.cview(), par.k0, p.avg.vv0, {}); },
      [&] { return hash_vectors({p.v0}); });
  return p;
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
  char tmpl[] = "/tmp/gainweights-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  std::mt19937_64 rng(o.seed);
  write_text(dir / kParameterFileName, herd::parameter_file(o, rng));
  write_text(dir / kPedigreeFileName, herd::pedigree_file(o, rng));

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
  // --candidates option), twice each; the fastest of each is kept.
  struct Overhead {
    double without = 1e300, with = 1e300;
    std::size_t lines = 0;
  } overhead;
  const auto after = [&](const CandidateRelationships& rel, ConstMatView ppi) {
    sample(rel, ppi);
    if (rel.count() == 0) return;
    for (int round = 0; round < 2; ++round) {
      double t0 = now();
      candidate_weights(tr.g0.cview(), rel, ppi, ped, par.k0, kPedigreeFileName, o.stage);
      overhead.without = std::min(overhead.without, now() - t0);
      t0 = now();
      std::vector<CandidateRow> rows;
      candidate_weights(tr.g0.cview(), rel, ppi, ped, par.k0, kPedigreeFileName, o.stage, &rows);
      CandidateFile file(dir / "candidates.csv", par.ntrait);
      for (const CandidateRow& row : rows) file.write(row, std::to_string(ped.ident[row.line - 1]));
      file.commit();
      overhead.with = std::min(overhead.with, now() - t0);
      overhead.lines = rows.size();
    }
  };

  // Every set's pipeline, round after round; the sample and the candidate
  // file's overhead once, with the set the program takes.
  const std::vector<KernelSet> sets = kernel_list(o.kernels);
  const KernelSet program_set = resolve_kernel_set();
  const int threads = o.threads > 0 ? o.threads : omp_get_max_threads();
  std::vector<std::vector<Pipeline>> runs(sets.size());
  std::vector<double> dgemm_seconds;
  std::optional<Dgemm> dgemm;
  bool extras = false;
  for (int round = 0; round < o.repeat; ++round) {
    for (std::size_t s = 0; s < sets.size(); ++s) {
      const bool with_extras = !extras && (sets[s] == program_set || s + 1 == sets.size());
      extras = extras || with_extras;
      const std::function<void(const CandidateRelationships&, ConstMatView)> none = [](const CandidateRelationships&,
                                                                                        ConstMatView) {};
      runs[s].push_back(fast_pipeline(o, sets[s], par, tr, ped, with_extras ? after : none));
    }
    if (o.dgemm && runs[0][0].nrec >= 2) {
      if (!dgemm) dgemm.emplace(runs[0][0].nrec);
      dgemm_seconds.push_back(dgemm->seconds(threads));
    }
  }
  dgemm.reset();
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
  std::printf("herd: %d traits, %d animals in %d generations, D = %lld, NREC = %d, %d candidates, %d threads\n",
              par.ntrait, ped.nanim, o.generations, static_cast<long long>(d), fast.nrec, ncand, threads);
  std::printf("files: %s\n", dir.c_str());
  std::printf("kernel sets this processor runs: %s (the program takes %s); %d round(s), medians\n",
              supported_kernel_set_names().c_str(), std::string(kernel_set_name(program_set)).c_str(), o.repeat);
  if (dgemm_rate > 0)
    std::printf("OpenBLAS dgemm of order %d, %d threads: %.1f GFLOP/s (%s)\n", fast.nrec, threads, dgemm_rate,
                openblas_kernels().c_str());
  std::printf("load average %s\n", load_average().c_str());

  int failures = 0;
  for (std::size_t s = 0; s < sets.size(); ++s) {
    std::printf("\nkernels %s\n", std::string(kernel_set_name(sets[s])).c_str());
    std::printf("%-28s %8s %8s %14s %9s %10s %11s %9s %9s\n", "stage", "fast s", "cpu s", "fast rate", "of dgemm",
                "plain s", "plain/fast", "same bits", "peak MiB");
    double total = 0;
    for (std::size_t i = 0; i < fast.stages.size(); ++i) {
      const Stage& f = runs[s].front().stages[i];
      const double secs = stage_seconds(s, i);
      total += secs;
      char rate[32] = "-", of[16] = "-", ps[32] = "-", ratio[32] = "-", same[8] = "-";
      if (f.ops > 0) std::snprintf(rate, sizeof rate, "%.1f GFLOP/s", f.ops / secs * 1e-9);
      if (f.ops > 0 && dgemm_rate > 0) std::snprintf(of, sizeof of, "%.0f%%", 100.0 * f.ops / secs * 1e-9 / dgemm_rate);
      // Every round of every set against the plain stage, or else against
      // the first set's first round.
      const std::uint64_t want = slow ? slow->stages[i].check : runs[0].front().stages[i].check;
      bool equal = true;
      for (const Pipeline& p : runs[s]) equal = equal && p.stages[i].check == want;
      failures += !equal;
      if (slow) {
        std::snprintf(ps, sizeof ps, "%.3f", slow->stages[i].seconds);
        std::snprintf(ratio, sizeof ratio, "%.1f", slow->stages[i].seconds / secs);
      }
      if (slow || s > 0) std::snprintf(same, sizeof same, "%s", equal ? "yes" : "NO");
      std::printf("%-28s %8.3f %8.3f %14s %9s %10s %11s %9s %9.1f\n", f.name.c_str(), secs, stage_cpu(s, i), rate, of,
                  ps, ratio, same, mib(f.peak));
    }
    std::printf("%-28s %8.3f\n", "all stages", total);
  }
  if (slow) {
    double t = 0;
    for (const Stage& s : slow->stages) t += s.seconds;
    std::printf("plain stages: %.3f s, peak %.1f MiB\n", t, mib(slow->stages.back().peak));
  }
  if (sampled.compared > 0) {
    const double fast_each = fast.stages[4].seconds / std::max(1, ncand);
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

// The sparse path on MUMPS over MPI ranks (--distributed) against the
// CHOLMOD path, and MUMPS's own memory estimate for more ranks than this
// machine has.
//
//   bench_distributed [HERD] [--ranks R] [--out-of-core DIR] [--keep]
//   bench_distributed --estimate [HERD] [--max-ranks R]
//   bench_distributed --stages [HERD] [--ranks R]
//
// The first form generates the herd of bench_sparse (tests/kit/herd.hpp) and
// runs the program on it side by side as child processes: --sparse
// (CHOLMOD, all threads), then --sparse --distributed under mpirun on 1
// rank (not bound to a core, so with all threads) and on R ranks (default
// 2; one core and one thread each), the R-rank run twice. For each: the
// exit status, the time, the peak resident memory of the largest process
// (the child's wait4 figure covers mpirun's descendants), the time against
// the CHOLMOD run, the peak against the one-rank run, and the largest
// relative difference of any value of the result file and the candidate
// file from the CHOLMOD run; and whether the repeated run wrote the same
// bits. --out-of-core DIR adds one-rank run with the factor in DIR.
//
// The second form starts itself under mpirun on 32 ranks (--oversubscribe:
// the analysis needs no cores of its own) and runs MUMPS's analysis alone
// on communicators of 1, 2, 4, ... 32 of them, printing each rank's memory
// estimate in core and with the factor on disk: how many machines of what
// size the herd needs. Default herd: 1 000 000 animals in 20 generations.
// --split-fronts estimates with MUMPS's default settings instead, which
// split large fronts over ranks but are not reproducible from run to run.
//
// The third form starts itself under mpirun on 1 rank (all threads) and on R
// ranks (one core each) and runs the distributed path in process on the
// herd of the first form: rank 0's time and peak memory stage by stage,
// MUMPS's largest front and the columns of C^-1 its solves compute, and the
// operations of those solves in the largest front, which on a connected
// pedigree is the root that every column passes through: where a
// distributed run's time goes.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/fatal.hpp"
#include "io/inputs.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "kit/herd.hpp"
#include "io/input_file.hpp"
#include "measure.hpp"
#include "sparse/distributed_variances.hpp"

using namespace gw;
using namespace gw::bench;

namespace {

struct Options : herd::Shape {
  int ranks = 2, max_ranks = 32, ordering = -1;
  bool estimate = false, estimate_worker = false, keep = false, split = false;
  bool stages = false, stages_worker = false;
  std::string out_of_core;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_distributed [HERD] [--ranks R] [--out-of-core DIR] [--keep]\n"
               "       bench_distributed --estimate [HERD] [--max-ranks R] [--split-fronts]\n"
               "       bench_distributed --stages [HERD] [--ranks R]\n%s",
               kHerdOptions);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  o.animals = 40000;
  o.generations = 6;
  // Whether a herd option was given: --estimate has a herd of its own
  // unless one was.
  bool shaped = false;
  std::vector<BenchOption> table = herd_options(o);
  for (BenchOption& option : table)
    option.apply = [&shaped, apply = std::move(option.apply)](const char* v) {
      shaped = true;
      apply(v);
    };
  table.insert(table.end(),
               {number_option("--ranks", o.ranks), number_option("--max-ranks", o.max_ranks),
                text_option("--out-of-core", o.out_of_core), flag_option("--estimate", o.estimate),
                flag_option("--estimate-worker", o.estimate_worker), number_option("--ordering", o.ordering),
                flag_option("--split-fronts", o.split), flag_option("--keep", o.keep),
                flag_option("--stages", o.stages), flag_option("--stages-worker", o.stages_worker)});
  parse_options(argc, argv, table, usage);
  if (o.estimate && !shaped) {
    o.animals = 1000000;
    o.generations = 20;
  }
  if (o.traits < 1 || o.animals < 2 || o.generations < 1 || o.ranks < 1 || o.max_ranks < 1) usage();
  return o;
}

// The numbers of a result or candidate file, in order (text fields
// skipped).
std::vector<double> numbers(const std::string& text) {
  std::vector<double> out;
  std::string w;
  for (const char c : text + "\n") {
    if (c == ',' || c == ' ' || c == '\n') {
      char* end = nullptr;
      const double v = std::strtod(w.c_str(), &end);
      if (!w.empty() && *end == '\0') out.push_back(v);
      w.clear();
    } else {
      w += c;
    }
  }
  return out;
}

double largest_difference(const std::string& a, const std::string& b) {
  const auto x = numbers(a), y = numbers(b);
  if (x.size() != y.size()) return INFINITY;
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] == y[i] || (std::isnan(x[i]) && std::isnan(y[i]))) continue;
    worst = std::max(worst, std::fabs(x[i] - y[i]) / std::max(std::fabs(x[i]), std::fabs(y[i])));
  }
  return worst;
}

std::string mpiexec() { return GAINWEIGHTS_MPIEXEC; }

int compare(const Options& o, const fs::path& dir, Launcher& launcher) {
  struct Run {
    std::string name;
    std::vector<std::string> words;
    ChildRun r;
    std::string result, rows;
  };
  const std::vector<std::string> program = {GAINWEIGHTS_EXE, "--sparse", "--candidates", "c.csv"};
  auto distributed = [&](int ranks, bool bind, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> w = {mpiexec(), "-q", "--oversubscribe", "-np", std::to_string(ranks)};
    if (!bind) w.insert(w.end(), {"--bind-to", "none"});
    w.insert(w.end(), program.begin(), program.end());
    w.push_back("--distributed");
    w.insert(w.end(), extra.begin(), extra.end());
    return w;
  };
  std::vector<Run> runs;
  runs.push_back({"CHOLMOD (--sparse)", program, {}, {}, {}});
  runs.push_back({"MUMPS, 1 rank", distributed(1, false), {}, {}, {}});
  const std::string r = std::to_string(o.ranks) + " ranks";
  runs.push_back({"MUMPS, " + r, distributed(o.ranks, true), {}, {}, {}});
  runs.push_back({"MUMPS, " + r + ", again", distributed(o.ranks, true), {}, {}, {}});
  if (!o.out_of_core.empty())
    runs.push_back({"MUMPS, 1 rank, out-of-core", distributed(1, false, {"--out-of-core", o.out_of_core}), {}, {}, {}});
  std::printf("load average before: %s\n\n", load_average().c_str());
  for (Run& run : runs) {
    fs::remove(dir / "Weighted_value.csv");
    fs::remove(dir / "c.csv");
    run.r = launcher.run(dir, run.words[0], std::vector<std::string>(run.words.begin() + 1, run.words.end()));
    run.result = read_text(dir / "Weighted_value.csv");
    run.rows = read_text(dir / "c.csv");
  }
  std::printf("load average after: %s\n\n", load_average().c_str());
  const Run& base = runs[0];
  const Run& one = runs[1];
  std::printf("%-34s %6s %9s %10s %11s %12s %14s\n", "run", "status", "seconds", "peak MiB", "time/CHOLMOD",
              "peak/1 rank", "largest diff");
  int failures = 0;
  for (const Run& run : runs) {
    const double diff = std::max(largest_difference(run.result, base.result), largest_difference(run.rows, base.rows));
    std::printf("%-34s %6d %9.3f %10.1f %11.2f %12.2f %14.3g\n", run.name.c_str(), run.r.status, run.r.seconds,
                mib(run.r.peak), run.r.seconds / base.r.seconds,
                static_cast<double>(run.r.peak) / static_cast<double>(one.r.peak), diff);
    failures += run.r.status != 0 || diff > 1e-9;
  }
  const bool same = runs[2].result == runs[3].result && runs[2].rows == runs[3].rows;
  std::printf("\nthe %s runs wrote the same bits: %s\n", r.c_str(), same ? "yes" : "NO");
  failures += !same;
  return failures == 0 ? 0 : 1;
}

// A barrier at which a rank sleeps between looks instead of spinning: 32
// ranks on two cores would otherwise take the cores from rank 0.
void idle_barrier() {
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  for (int done = 0; !done;) {
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The benchmark's herd in memory, on rank 0: the files the first form
// writes, read as the program reads them.
struct Herd {
  Parameters par;
  Pedigree ped;
  TraitMatrices tr;
  std::vector<int> candidates;

  explicit Herd(const Options& o, std::mt19937_64 rng)
      : par(read_parameters(InputText{kParameterFileName, herd::parameter_file(o, rng)})),
        ped(read_pedigree(InputText{kPedigreeFileName, herd::pedigree_file(o, rng)}, par.ntrait)),
        tr(trait_covariances(par, {})) {
    for (int k = 0; k < ped.nanim; ++k)
      if (ped.cand[k] == 1) candidates.push_back(k);
  }
  SparseInput input() const {
    return SparseInput{tr.g0.cview(), tr.r0.cview(), ped.id1, ped.id2, ped.nonr.cview(), candidates,
                       kParameterFileName, kPedigreeFileName, {}};
  }
};

int start_mpi() {
  int provided = 0, rank = 0;
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

// Under mpirun: MUMPS's analysis on communicators of 1, 2, 4, ... ranks.
int estimate_worker(const Options& o) {
  const int rank = start_mpi();
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  // The other ranks wait inside MUMPS's analysis by spinning: at the least
  // priority they leave the cores to rank 0, which does the work.
  if (rank != 0) setpriority(PRIO_PROCESS, 0, 19);
  std::optional<Herd> h;
  if (rank == 0) {
    h.emplace(o, std::mt19937_64(o.seed));
    std::printf("herd: %d traits, %d animals in %d generations, D = %lld, %zu candidates; MUMPS's analysis alone "
                "(no factorisation) on %d ranks of this machine\n\n",
                h->par.ntrait, h->ped.nanim, o.generations, static_cast<long long>(h->par.ntrait) * h->ped.nanim,
                h->candidates.size(), size);
    std::printf("%6s %12s %14s %14s %16s %16s %16s\n", "ranks", "factor GB", "in core: max", "in core: sum",
                "out of core: max", "out of core: sum", "MUMPS analysis s");
  }
  for (int k = 1; k <= std::min(size, o.max_ranks); k *= 2) {
    idle_barrier();
    MPI_Comm sub;
    MPI_Comm_split(MPI_COMM_WORLD, rank < k ? 0 : MPI_UNDEFINED, rank, &sub);
    if (rank == 0) {
      const SparseInput in = h->input();
      DistributedOptions options;
      options.comm = sub;
      options.reproducible = !o.split;
      options.ordering = o.ordering;
      const DistributedEstimate e = distributed_estimate(in, options);
      finish_workers(sub);
      const auto gb = [](std::int64_t b) { return static_cast<double>(b) * 1e-9; };
      const auto max_of = [](const std::vector<std::int64_t>& v) { return *std::max_element(v.begin(), v.end()); };
      const auto sum_of = [](const std::vector<std::int64_t>& v) {
        std::int64_t s = 0;
        for (const auto x : v) s += x;
        return s;
      };
      std::printf("%6d %12.2f %11.2f GB %11.2f GB %13.2f GB %13.2f GB %16.1f\n", k,
                  gb(e.factor_entries * 8), gb(max_of(e.in_core)), gb(sum_of(e.in_core)), gb(max_of(e.out_of_core)),
                  gb(sum_of(e.out_of_core)), e.seconds);
      std::fflush(stdout);
    } else if (rank < k) {
      serve_distributed(sub);
    }
    if (sub != MPI_COMM_NULL) MPI_Comm_free(&sub);
  }
  idle_barrier();
  MPI_Finalize();
  return 0;
}

// Under mpirun: the distributed path in process, rank 0 timing its stages.
int stages_worker(const Options& o) {
  const int rank = start_mpi();
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  int status = 0;
  if (rank == 0) {
    const Herd h(o, std::mt19937_64(o.seed));
    TimedStages timer;
    SparseInput in = h.input();
    in.stages = &timer;
    SparseStats st;
    DistributedOptions options;
    options.comm = MPI_COMM_WORLD;
    reset_peak();
    const double t0 = now();
    try {
      distributed_variances(in, options, &st);
    } catch (const FatalError& e) {
      std::fprintf(stderr, "bench_distributed: %s\n", e.what());
      status = 1;
    }
    const double seconds = now() - t0;
    finish_workers(MPI_COMM_WORLD);
    const double front = static_cast<double>(st.largest_front);
    std::printf("\n%d %s, %d %s a rank: %lld columns of C^-1, largest front %lld, factor %.3g values (%.3g "
                "operations); each column's forward and backward solve through the largest front (the root, on a "
                "connected pedigree) takes %.3g operations in all\n",
                size, size == 1 ? "rank" : "ranks", omp_get_max_threads(),
                omp_get_max_threads() == 1 ? "thread" : "threads", static_cast<long long>(st.inverse_columns),
                static_cast<long long>(st.largest_front), st.factor_entries, st.factor_flops,
                2.0 * front * front * static_cast<double>(st.inverse_columns));
    std::printf("%-60s %9s %13s\n", "stage (rank 0)", "seconds", "peak MiB");
    for (const auto& t : timer.timings) std::printf("%-60s %9.3f %13.1f\n", t.stage.c_str(), t.seconds, mib(t.peak));
    std::printf("%-60s %9.3f\n", "all", seconds);
    std::fflush(stdout);
  } else {
    serve_distributed(MPI_COMM_WORLD);
  }
  MPI_Finalize();
  return status;
}

// The command that runs this benchmark again under mpirun on `ranks` ranks
// (bound to a core each unless `unbound`), with its arguments but `mode`
// (--estimate, --stages) turned into the worker's flag (--estimate-worker,
// --stages-worker).
std::string under_mpirun(int argc, char** argv, int ranks, bool unbound, const std::string& mode) {
  std::string cmd = mpiexec() + " -q --oversubscribe" + (unbound ? " --bind-to none" : "") + " -np " +
                    std::to_string(ranks) + " '" + argv[0] + "' " + mode + "-worker";
  for (int i = 1; i < argc; ++i)
    if (argv[i] != mode) cmd += std::string(" '") + argv[i] + "'";
  return cmd;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  if (o.estimate_worker) return estimate_worker(o);
  if (o.stages_worker) return stages_worker(o);
  if (o.stages) {
    // Itself again in process under mpirun: one rank with every thread,
    // then --ranks ranks bound to a core each (so one thread each).
    int failures = 0;
    for (const int ranks : {1, o.ranks}) {
      failures += std::system(under_mpirun(argc, argv, ranks, ranks == 1, "--stages").c_str()) != 0;
    }
    return failures == 0 ? 0 : 1;
  }
  if (o.estimate) {
    // Itself again, under mpirun on as many ranks as asked.
    std::string cmd = under_mpirun(argc, argv, o.max_ranks, true, "--estimate");
    if (o.animals == 1000000 && o.generations == 20) cmd += " --animals 1000000 --generations 20";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
  }
  Launcher launcher;  // before anything large is allocated
  const fs::path dir = herd_folder(o);
  std::printf("herd: %d traits, %d animals in %d generations, sires %.2f, D = %lld\nfiles: %s\n", o.traits,
              o.animals, o.generations, o.sires, static_cast<long long>(o.traits) * o.animals, dir.c_str());
  const int status = compare(o, dir, launcher);
  if (!o.keep) fs::remove_all(dir);
  return status;
}

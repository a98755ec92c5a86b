// Times `gainweights prepare` on a generated herd written with text
// identifiers in shuffled order.
//
//   bench_prepare [--animals N] [--generations G] [--traits T] [--seed S]
//                 [--unlisted U] [--line] [--no-program] [--keep]
//
// The herd (tests/kit/herd.hpp) has G generations of about N / G animals; one
// founder in U (default 50) that is a parent has no line of its own, so
// that prepare adds it. The file is written by a child process, so that this
// process stays small: the peak memory that the kernel reports for the
// prepare child includes its parent's at the time of the spawn.
//
// First the program runs as a child process (`gainweights prepare
// --force herd.txt`): its time and peak resident memory (wait4,
// ru_maxrss). Then the same work runs in this process phase by phase (load,
// read and check, order, write the texts, inbreeding, write the files), and
// its files are compared with the child's. --no-program skips the child.
// Defaults: 1 000 000 animals, 15 generations, 3 traits. The inbreeding
// phase also times the reduced-pedigree products alone (the only method
// before the tabular one) on the same pedigree, side by side. --line writes
// a line of full-sib mating instead (two animals a generation, N animals),
// on which the two methods differ most.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kit/herd.hpp"
#include "measure.hpp"
#include "io/atomic_file.hpp"
#include "io/input_file.hpp"
#include "pedigree/prepare.hpp"
#include "pedigree/relationships.hpp"

using namespace gw;
using namespace gw::bench;

namespace {

struct Options : herd::Shape {
  int unlisted = 50;
  bool program = true, keep = false, line = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_prepare [--animals N] [--generations G] [--traits T] [--seed S] [--unlisted U]\n"
               "                     [--line] [--no-program] [--keep]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  o.animals = 1'000'000;
  o.generations = 15;
  std::vector<BenchOption> table = herd_options(o, {"--animals", "--generations", "--traits", "--seed"});
  table.insert(table.end(), {number_option("--unlisted", o.unlisted), flag_option("--no-program", o.program, false),
                             flag_option("--line", o.line), flag_option("--keep", o.keep)});
  parse_options(argc, argv, table, usage);
  if (o.animals < 1 || o.generations < 1 || o.traits < 1 || o.unlisted < 1) usage();
  return o;
}

// A line of full-sib mating: L0 and L1 founders, then each pair the
// offspring of the pair before, every animal with its records.
void write_line(const Options& o, const fs::path& dir) {
  std::string text, parameters;
  for (int t = 0; t < o.traits; ++t) {
    parameters += "1 10";
    for (int j = 0; j < o.traits; ++j) parameters += j == t ? " 3" : " 0";
    parameters += '\n';
  }
  for (int i = 0; i < o.animals; ++i) {
    const int g = i / 2;
    text += 'L';
    text += std::to_string(i);
    text += g == 0 ? " 0 0" : " L" + std::to_string(2 * g - 2) + " L" + std::to_string(2 * g - 1);
    text += i + 2 >= o.animals ? " 1 " : " 0 ";
    text += i % 2 ? '2' : '1';
    for (int t = 0; t < o.traits; ++t) text += " 1";
    text += '\n';
  }
  std::ofstream(dir / "herd.txt", std::ios::binary) << text;
  std::ofstream(dir / "GParameter.csv", std::ios::binary) << parameters;
  std::printf("herd: a line of full-sib mating, %d animals in %d generations (%.1f MB), %d traits\n", o.animals,
              (o.animals + 1) / 2, static_cast<double>(text.size()) / 1e6, o.traits);
}

// The herd with ear-tag identifiers, its lines shuffled.
void write_herd(const Options& o, const fs::path& dir) {
  std::mt19937_64 rng(o.seed);
  const std::string parameters = herd::parameter_file(o, rng);
  const std::vector<herd::Animal> animals = herd::animals(o, rng);
  const std::vector<bool> is_parent = herd::parents(animals);
  std::vector<int> order;
  order.reserve(animals.size());
  int founder = 0;
  for (int k = 0; k < static_cast<int>(animals.size()); ++k) {
    const herd::Animal& a = animals[static_cast<std::size_t>(k)];
    if (a.sire < 0 && a.dam < 0 && is_parent[static_cast<std::size_t>(k)] && founder++ % o.unlisted == 0) continue;
    order.push_back(k);
  }
  std::shuffle(order.begin(), order.end(), rng);
  // Tags like DE0912345678: a country, then ten digits from a fixed
  // permutation of the positions.
  const auto tag = [](int k) {
    if (k < 0) return std::string("0");
    char buf[24];
    std::snprintf(buf, sizeof buf, "DE%010llu", static_cast<unsigned long long>((2654435761ULL * (k + 1)) % 9999999967ULL));
    return std::string(buf);
  };
  const std::string text = herd::tagged_pedigree_file(animals, order, tag, ' ');
  std::ofstream(dir / "herd.txt", std::ios::binary) << text;
  std::ofstream(dir / "GParameter.csv", std::ios::binary) << parameters;
  std::printf("herd: %d animals in %d generations, %zu lines (%.1f MB), %d traits\n", o.animals, o.generations,
              order.size(), static_cast<double>(text.size()) / 1e6, o.traits);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  Launcher launcher;  // before anything large is allocated
  const fs::path dir = fs::temp_directory_path() / ("gw_bench_prepare_" + std::to_string(::getpid()));
  fs::create_directories(dir / "in_process");

  std::fflush(stdout);
  const pid_t writer = ::fork();
  if (writer == 0) {
    if (o.line)
      write_line(o, dir);
    else
      write_herd(o, dir);
    std::fflush(stdout);
    std::_Exit(0);
  }
  int raw = 0;
  ::waitpid(writer, &raw, 0);
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
    std::fprintf(stderr, "bench_prepare: writing the herd failed\n");
    return 1;
  }

  double program_seconds = 0, peak_mib = 0;
  if (o.program) {
    const ChildRun r = launcher.run(dir, GAINWEIGHTS_EXE, {"prepare", "--force", "herd.txt"});
    if (r.status != 0) {
      std::fprintf(stderr, "bench_prepare: the program failed with status %d\n", r.status);
      return 1;
    }
    program_seconds = r.seconds;
    peak_mib = mib(r.peak);
  }

  // The same work phase by phase.
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<const char*, double>> phases;
  auto t = Clock::now();
  const auto phase = [&](const char* name) {
    phases.emplace_back(name, seconds_since(t));
    t = Clock::now();
  };
  const InputText input = *load_existing_file(dir, "herd.txt");
  phase("load the file");
  MessageList faults, warnings;
  const PedigreeSource source{"herd.txt", input.text, false, o.traits};
  const IdentifierPedigree identified = read_identifier_pedigree(source, faults, warnings);
  phase("read and check");
  const PreparedPedigree ped = order_pedigree(identified, faults);
  phase("generations, loops, order");
  if (!faults.empty()) {
    std::fprintf(stderr, "bench_prepare: faults in the herd:\n%s\n", faults.report("more").c_str());
    return 1;
  }
  const std::string records = pedigree_record_text(ped), ids = pedigree_ids_text(ped, records);
  phase("format both files");
  const std::vector<double> f = inbreeding(ped.id1, ped.id2);
  phase("inbreeding");
  const bool tabular = inbreeding_method(ped.id1, ped.id2) == InbreedingMethod::tabular;
  const auto products_start = Clock::now();
  const std::vector<double> f_products = inbreeding_products(ped.id1, ped.id2);
  const double products_seconds = seconds_since(products_start);
  double f_difference = 0;
  for (std::size_t i = 0; i < f.size(); ++i) f_difference = std::max(f_difference, std::fabs(f[i] - f_products[i]));
  t = Clock::now();
  {
    AtomicFile ids_file(dir / "in_process" / kPedigreeIdsFileName), records_file(dir / "in_process" / kPedigreeFileName);
    ids_file.write(ids);
    records_file.write(records);
    AtomicFile* const both[] = {&ids_file, &records_file};
    commit_together(both);
  }
  phase("write both files");
  const std::string summary = prepare_summary(ped, f);
  phase("summary");

  double total = 0;
  std::printf("\nin this process, by phase:\n");
  for (const auto& [name, s] : phases) total += s;
  for (const auto& [name, s] : phases) std::printf("  %-28s %8.3f s  %5.1f %%\n", name, s, 100.0 * s / total);
  std::printf("  %-28s %8.3f s\n", "all", total);
  std::printf("  inbreeding by the %s method; the products alone (the method before) %.3f s, %.1f times as long; "
              "largest difference %.2e\n",
              tabular ? "tabular" : "products", products_seconds, products_seconds / phases[4].second, f_difference);
  std::printf("\n%s", summary.c_str());

  bool same = true;
  if (o.program) {
    same = read_text(dir / kPedigreeFileName) == records && read_text(dir / kPedigreeIdsFileName) == ids;
    std::printf("\nprogram (gainweights prepare, child process): %.3f s, peak resident memory %.1f MiB"
                " (limits 10 s, 1024 MiB); files %s the in-process ones\n",
                program_seconds, peak_mib, same ? "identical to" : "DIFFERENT FROM");
  }
  if (o.keep)
    std::printf("files kept in %s\n", dir.c_str());
  else
    fs::remove_all(dir);
  return same ? 0 : 1;
}

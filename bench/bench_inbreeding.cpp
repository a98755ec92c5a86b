// Times the inbreeding coefficients, side by side in one run: the routine
// the program uses (inbreeding, which takes the tabular method over the
// animals that are parents at one time where few are, the reduced-pedigree
// products otherwise), the products alone (the only method before) and the
// ancestor tracing, on generated herds (few sires, many dams; parents from
// the generation before) and on lines of full-sib mating (two animals a
// generation, each pair the offspring of the pair before).
//
//   bench_inbreeding [--shape N:G]... [--line N]... [--plain-max M] [--repeat R] [--seed S]
//
// Shapes default to 100000:20, 1000000:10 and 1000000:20 (animals:
// generations), lines to 8000, 32000 and 64000 animals (without --shape or
// --line, both sets). The program's routine and the products run on the
// whole pedigree. The plain routine runs on the first min(N, M) animals of
// each herd (M defaults to 600000) and of each line (at most 8000; a prefix
// is itself a pedigree, of fewer generations), next to the program's routine
// on the same prefix. All are single-threaded. Each time is the best of R
// runs (default 1), in wall and CPU seconds: the CPU time shows what the
// routine itself took when other work shares the machine (the load average
// is printed before and after). Memory is the rise of the peak resident
// size over the resident size before the call, per animal.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "kit/herd.hpp"
#include "measure.hpp"
#include "pedigree/relationships.hpp"

namespace {

struct Options {
  std::vector<std::pair<int, int>> shapes;
  std::vector<int> lines;
  int plain_max = 600000, repeat = 1;
  std::uint64_t seed = 1;
};

constexpr int kLinePlainMax = 8000;

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: bench_inbreeding [--shape N:G]... [--line N]... [--plain-max M] [--repeat R] [--seed S]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  const std::vector<gw::bench::BenchOption> table{
      {"--shape", true,
       [&o](const char* v) {
         int n = 0, g = 0;
         if (std::sscanf(v, "%d:%d", &n, &g) != 2 || n < 1 || g < 1 || g > n) usage();
         o.shapes.emplace_back(n, g);
       }},
      {"--line", true,
       [&o](const char* v) {
         const int n = std::atoi(v);
         if (n < 2) usage();
         o.lines.push_back(n);
       }},
      gw::bench::number_option("--plain-max", o.plain_max),
      {"--repeat", true, [&o](const char* v) { o.repeat = std::max(1, std::atoi(v)); }},
      gw::bench::number_option("--seed", o.seed),
  };
  gw::bench::parse_options(argc, argv, table, usage);
  if (o.shapes.empty() && o.lines.empty()) {
    o.shapes = {{100000, 20}, {1000000, 10}, {1000000, 20}};
    o.lines = {8000, 32000, 64000};
  }
  return o;
}

struct Timing {
  double seconds = 1e300, cpu_seconds = 1e300;
  std::uint64_t extra_bytes = 0;  // peak resident rise during the call
  std::vector<double> f;
};

using Routine = std::function<std::vector<double>(std::span<const std::int32_t>, std::span<const std::int32_t>)>;

Timing time_it(int repeat, Routine routine, std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  Timing t;
  for (int r = 0; r < repeat; ++r) {
    t.f = {};
    malloc_trim(0);  // freed heap pages leave the resident set, so that reusing them counts
    gw::bench::reset_peak();
    const std::uint64_t before = gw::bench::status_bytes("VmRSS:");
    const double cpu_start = gw::bench::cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<double> f = routine(id1, id2);
    const auto stop = std::chrono::steady_clock::now();
    t.cpu_seconds = std::min(t.cpu_seconds, gw::bench::cpu_seconds() - cpu_start);
    const std::uint64_t peak = gw::bench::peak_rss();
    t.seconds = std::min(t.seconds, std::chrono::duration<double>(stop - start).count());
    t.extra_bytes = std::max(t.extra_bytes, peak > before ? peak - before : 0);
    t.f = std::move(f);
  }
  return t;
}

double max_difference(std::span<const double> a, std::span<const double> b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

struct Pedigree {
  std::string name;
  int generations = 0;
  std::size_t plain_max = 0;
  std::vector<std::int32_t> id1, id2;
};

Pedigree full_sib_line(int n) {
  Pedigree p{"full-sib line", (n + 1) / 2, static_cast<std::size_t>(kLinePlainMax), {}, {}};
  for (int i = 0; i < n; ++i) {
    const int g = i / 2;
    p.id1.push_back(g == 0 ? 0 : 2 * g - 1);  // the male of the pair before (1-based)
    p.id2.push_back(g == 0 ? 0 : 2 * g);      // and its female
  }
  return p;
}

Pedigree herd_of(int n, int g, std::uint64_t seed, int plain_max) {
  gw::herd::Shape shape;
  shape.animals = n;
  shape.generations = g;
  shape.seed = seed;
  std::mt19937_64 rng(seed);
  Pedigree p{"herd", g, static_cast<std::size_t>(plain_max), {}, {}};
  for (const gw::herd::Animal& a : gw::herd::animals(shape, rng)) {
    p.id1.push_back(a.sire + 1);
    p.id2.push_back(a.dam + 1);
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::printf("program's routine and the products on the whole pedigree; plain against the program's routine on a "
              "prefix;\nwall and CPU seconds; load average %s\n",
              gw::bench::load_average().c_str());
  std::printf("%-13s %8s %6s %7s %-8s %8s %8s %8s %8s %8s %10s %7s | %7s %8s %8s %10s\n", "pedigree", "animals",
              "gens", "parents", "method", "fast_s", "fast_cpu", "B/animal", "prod_s", "prod/f", "max|f-prod|", "mean_F",
              "prefix", "plain_s", "plain/f", "max|diff|");
  std::vector<Pedigree> pedigrees;
  for (const auto& [n, g] : o.shapes) pedigrees.push_back(herd_of(n, g, o.seed, o.plain_max));
  for (const int n : o.lines) pedigrees.push_back(full_sib_line(n));
  const auto fast = [](std::span<const std::int32_t> a, std::span<const std::int32_t> b) { return gw::inbreeding(a, b); };
  const auto products = [](std::span<const std::int32_t> a, std::span<const std::int32_t> b) {
    return gw::inbreeding_products(a, b);
  };
  const auto plain = [](std::span<const std::int32_t> a, std::span<const std::int32_t> b) {
    return gw::inbreeding_plain(a, b);
  };
  for (const Pedigree& p : pedigrees) {
    const auto n = p.id1.size();
    const std::int64_t parents = gw::parents_at_one_time(p.id1, p.id2);
    const Timing whole = time_it(o.repeat, fast, p.id1, p.id2);
    const Timing prod = time_it(o.repeat, products, p.id1, p.id2);
    const bool tabular = gw::inbreeding_method(p.id1, p.id2) == gw::InbreedingMethod::tabular;
    double mean_f = 0.0;
    for (const double x : whole.f) mean_f += x;
    mean_f /= static_cast<double>(n);

    const std::size_t m = std::min(n, p.plain_max);
    const std::span<const std::int32_t> p1(p.id1.data(), m), p2(p.id2.data(), m);
    const Timing prefix = time_it(o.repeat, fast, p1, p2);
    const Timing traced = time_it(o.repeat, plain, p1, p2);
    std::printf("%-13s %8zu %6d %7lld %-8s %8.3f %8.3f %8.1f %8.3f %8.1f %10.2e %7.4f | %7zu %8.3f %8.1f %10.2e\n",
                p.name.c_str(), n, p.generations, static_cast<long long>(parents), tabular ? "tabular" : "products",
                whole.seconds, whole.cpu_seconds, static_cast<double>(whole.extra_bytes) / static_cast<double>(n),
                prod.seconds, prod.seconds / whole.seconds, max_difference(whole.f, prod.f), mean_f, m,
                traced.seconds, traced.seconds / prefix.seconds, max_difference(prefix.f, traced.f));
    std::fflush(stdout);
  }
  std::printf("load average %s\n", gw::bench::load_average().c_str());
  return 0;
}

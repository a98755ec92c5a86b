// Times the inbreeding coefficients: the reduced-pedigree products against
// the ancestor tracing, side by side on generated herds (few sires, many
// dams; parents from the generation before).
//
//   bench_inbreeding [--shape N:G]... [--plain-max M] [--repeat R] [--seed S]
//
// Shapes default to 100000:20, 1000000:10 and 1000000:20 (animals:
// generations). The fast routine runs on the whole herd. The plain routine
// runs on the first min(N, M) animals of each herd (M defaults to 600000; a
// prefix is itself a pedigree, of fewer generations), next to the fast
// routine on the same prefix. Both are single-threaded. Each time is the
// best of R runs (default 1), in wall and CPU seconds: the CPU time shows
// what the routine itself took when other work shares the machine (the
// load average is printed before and after). Memory is the rise of the peak
// resident size over the resident size before the call, per animal.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "herd.hpp"
#include "measure.hpp"
#include "pedigree/relationships.hpp"

namespace {

struct Options {
  std::vector<std::pair<int, int>> shapes;
  int plain_max = 600000, repeat = 1;
  std::uint64_t seed = 1;
};

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: bench_inbreeding [--shape N:G]... [--plain-max M] [--repeat R] [--seed S]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (a == "--shape") {
      int n = 0, g = 0;
      if (std::sscanf(v, "%d:%d", &n, &g) != 2 || n < 1 || g < 1 || g > n) usage();
      o.shapes.emplace_back(n, g);
    } else if (a == "--plain-max") {
      o.plain_max = std::atoi(v);
    } else if (a == "--repeat") {
      o.repeat = std::max(1, std::atoi(v));
    } else if (a == "--seed") {
      o.seed = std::strtoull(v, nullptr, 10);
    } else {
      usage();
    }
  }
  if (o.shapes.empty()) o.shapes = {{100000, 20}, {1000000, 10}, {1000000, 20}};
  return o;
}

struct Timing {
  double seconds = 1e300, cpu_seconds = 1e300;
  std::uint64_t extra_bytes = 0;  // peak resident rise during the call
  std::vector<double> f;
};

using Routine = std::vector<double> (*)(std::span<const std::int32_t>, std::span<const std::int32_t>);

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

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::printf("fast on the whole herd; plain against fast on a prefix; wall and CPU seconds; load average %s\n",
              gw::bench::load_average().c_str());
  std::printf("%9s %5s %8s %8s %9s %7s | %9s %8s %8s %9s %9s %8s %10s\n", "animals", "gens", "fast_s", "fast_cpu",
              "B/animal", "mean_F", "prefix", "fast_s", "fast_cpu", "plain_s", "plain_cpu", "plain/f", "max|diff|");
  for (const auto& [n, g] : o.shapes) {
    gw::herd::Shape shape;
    shape.animals = n;
    shape.generations = g;
    shape.seed = o.seed;
    std::mt19937_64 rng(o.seed);
    std::vector<std::int32_t> id1, id2;
    for (const gw::herd::Animal& a : gw::herd::animals(shape, rng)) {
      id1.push_back(a.sire + 1);
      id2.push_back(a.dam + 1);
    }
    const Timing whole = time_it(o.repeat, gw::inbreeding, id1, id2);
    double mean_f = 0.0;
    for (const double x : whole.f) mean_f += x;
    mean_f /= n;

    const std::size_t m = static_cast<std::size_t>(std::min(n, o.plain_max));
    const std::span<const std::int32_t> p1(id1.data(), m), p2(id2.data(), m);
    const Timing fast = time_it(o.repeat, gw::inbreeding, p1, p2);
    const Timing plain = time_it(o.repeat, gw::inbreeding_plain, p1, p2);
    std::printf("%9d %5d %8.3f %8.3f %9.1f %7.4f | %9zu %8.3f %8.3f %9.3f %9.3f %8.1f %10.2e\n", n, g, whole.seconds,
                whole.cpu_seconds, static_cast<double>(whole.extra_bytes) / n, mean_f, m, fast.seconds,
                fast.cpu_seconds, plain.seconds, plain.cpu_seconds, plain.seconds / fast.seconds,
                max_difference(fast.f, plain.f));
    std::fflush(stdout);
  }
  std::printf("load average %s\n", gw::bench::load_average().c_str());
  return 0;
}

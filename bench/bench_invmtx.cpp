// Times the inversion: the one-step-at-a-time form against the blocked form
// with each kernel set, on one and on all cores, beside OpenBLAS's dgemm of
// the same order on as many threads, on a relationship-like matrix plus a
// diagonal.
//
//   bench_invmtx [n] [--plain-max M] [--repeat R] [--general] [--kernels LIST]
//                [--threads LIST] [--no-dgemm]
//                [--panel P --leaf L --col-block C --row-block B]
//
// n defaults to 5000. The plain form is timed only for n <= M (default
// 2000); above that the blocked results are compared with each other only.
// --kernels takes a comma-separated list of kernel sets (default: every
// set the processor runs), --threads a list of thread counts (default 1
// and the number of cores). The R rounds (default 1) run every variant in
// turn, so that the variants share the machine's state alike; each figure
// is the median of its rounds. --general takes a matrix of uniform random
// numbers instead, which exchanges rows at nearly every step.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"
#include "base/matrix.hpp"
#include "measure.hpp"
#include "side_by_side.hpp"
#include "vector_peak.hpp"

namespace {

// A relationship-like matrix of a random pedigree (parents precede their
// offspring, some unknown) by the tabular method, plus a diagonal, so that
// it is symmetric positive definite and well conditioned.
gw::Matrix<double> make_matrix(int n) {
  std::mt19937_64 rng(12345);
  gw::Matrix<double> a(n, n);
  for (int i = 0; i < n; ++i) {
    std::uniform_int_distribution<int> parent(-i / 4, i - 1);
    const int s = i > 0 ? parent(rng) : -1;
    const int d = i > 0 ? parent(rng) : -1;
    for (int j = 0; j < i; ++j) {
      double v = 0.0;
      if (s >= 0) v += 0.5 * a(j, s);
      if (d >= 0) v += 0.5 * a(j, d);
      a(j, i) = v;
      a(i, j) = v;
    }
    a(i, i) = 1.0 + (s >= 0 && d >= 0 ? 0.5 * a(s, d) : 0.0);
  }
  for (int i = 0; i < n; ++i) a(i, i) += 1.0;
  return a;
}

gw::Matrix<double> make_general(int n) {
  std::mt19937_64 rng(54321);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  gw::Matrix<double> a(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) a(i, j) = u(rng);
  return a;
}

// Seconds of one call of f on a fresh zero-filled output (its pages are
// touched before the clock starts), and a digest of the output's bits.
struct Timing {
  double seconds = 0.0;
  std::uint64_t digest = 0;
};

Timing time_it(const gw::Matrix<double>& a, const std::function<void(gw::ConstMatView, gw::MatView)>& f) {
  gw::Matrix<double> b(a.rows(), a.cols());
  const auto start = std::chrono::steady_clock::now();
  f(a.cview(), b.view());
  const auto stop = std::chrono::steady_clock::now();
  std::uint64_t h = 1469598103934665603ull;
  const std::size_t count = static_cast<std::size_t>(b.rows() * b.cols());
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t w;
    std::memcpy(&w, b.data() + i, 8);
    h = (h ^ w) * 1099511628211ull;
  }
  return {std::chrono::duration<double>(stop - start).count(), h};
}

std::vector<int> int_list(const std::string& list) {
  std::vector<int> v;
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t to = std::min(list.find(',', from), list.size());
    v.push_back(std::atoi(list.substr(from, to - from).c_str()));
    from = to + 1;
  }
  return v;
}

void usage() {
  std::fprintf(stderr,
               "usage: bench_invmtx [n] [--plain-max M] [--repeat R] [--general] [--kernels LIST]\n"
               "                    [--threads LIST] [--no-dgemm]\n"
               "                    [--panel P --leaf L --col-block C --row-block B]\n");
}

}  // namespace

int main(int argc, char** argv) {
  int n = 5000;
  int plain_max = 2000;
  int repeat = 1;
  bool general = false, with_dgemm = true;
  std::string kernels, thread_list;
  gw::invmtx_detail::Blocking blocking;
  const std::vector<gw::bench::BenchOption> table{
      gw::bench::number_option("--plain-max", plain_max),
      {"--repeat", true, [&repeat](const char* v) { repeat = std::max(1, std::atoi(v)); }},
      gw::bench::flag_option("--general", general),
      gw::bench::text_option("--kernels", kernels),
      gw::bench::text_option("--threads", thread_list),
      gw::bench::flag_option("--no-dgemm", with_dgemm, false),
      gw::bench::number_option("--panel", blocking.panel),
      gw::bench::number_option("--leaf", blocking.leaf),
      gw::bench::number_option("--col-block", blocking.col_block),
      gw::bench::number_option("--row-block", blocking.row_block),
  };
  gw::bench::parse_options(argc, argv, table, usage, [&n](const char* word) { n = std::atoi(word); });
  if (n < 2) {
    std::fprintf(stderr, "n must be at least 2\n");
    return 2;
  }
  const std::vector<gw::KernelSet> sets = gw::bench::kernel_list(kernels);
  const int cores = omp_get_num_procs();
  std::vector<int> threads = thread_list.empty() ? std::vector<int>{1} : int_list(thread_list);
  if (thread_list.empty() && cores > 1) threads.push_back(cores);

  const gw::Matrix<double> a = general ? make_general(n) : make_matrix(n);
  const double flops = 2.0 * n * static_cast<double>(n) * n;
  std::printf("%s matrix of order %d, 2 n^3 = %.3g flop\n", general ? "random" : "relationship-like", n, flops);
  std::printf("kernel sets this processor runs: %s (the program takes %s)\n", gw::supported_kernel_set_names().c_str(),
              std::string(gw::kernel_set_name(gw::resolve_kernel_set())).c_str());
  if (with_dgemm) std::printf("dgemm: %s\n", gw::bench::openblas_kernels().c_str());
  // Each set's ceiling on this processor: one core's rate of separate
  // multiplies and adds in its vectors, times the threads.
  // The portable loops share the baseline set's vectors: measured once.
  std::vector<double> peaks;
  std::map<gw::KernelSet, double> by_vectors;
  std::printf("peak of separate multiplies and adds, one core, measured:");
  for (const gw::KernelSet s : sets) {
    const gw::KernelSet v = gw::bench::vector_set(s);
    if (!by_vectors.count(v)) by_vectors[v] = gw::bench::vector_peak(v);
    peaks.push_back(by_vectors[v]);
    std::printf(" %s %.1f", std::string(gw::kernel_set_name(s)).c_str(), peaks.back());
  }
  std::printf(" GFLOP/s (portable: the baseline's vectors)\n");
  std::printf("%d round(s), medians; load average %s at the start\n\n", repeat, gw::bench::load_average().c_str());

  const bool with_plain = n <= plain_max;
  Timing plain;
  if (with_plain) plain = time_it(a, [&](gw::ConstMatView x, gw::MatView y) { gw::invmtx_plain(n, x, y); });

  // times[t][s]: the rounds of set s on thread count t; dgemm_times[t].
  std::vector<std::vector<std::vector<double>>> times(threads.size(), std::vector<std::vector<double>>(sets.size()));
  std::vector<std::vector<double>> dgemm_times(threads.size());
  std::vector<std::vector<std::uint64_t>> digests(threads.size(), std::vector<std::uint64_t>(sets.size()));
  std::optional<gw::bench::Dgemm> dgemm;
  if (with_dgemm) dgemm.emplace(n);
  for (int r = 0; r < repeat; ++r)
    for (std::size_t t = 0; t < threads.size(); ++t) {
      if (dgemm) dgemm_times[t].push_back(dgemm->seconds(threads[t]));
      for (std::size_t s = 0; s < sets.size(); ++s) {
        gw::invmtx_detail::Blocking b = blocking;
        b.threads = threads[t];
        b.kernels = sets[s];
        const Timing got =
            time_it(a, [&](gw::ConstMatView x, gw::MatView y) { gw::invmtx_detail::invmtx_blocked(n, x, y, {}, b); });
        times[t][s].push_back(got.seconds);
        digests[t][s] = got.digest;
      }
    }

  std::printf("%-18s %-9s %8s %10s %10s %9s %9s %s\n", "form", "kernels", "threads", "seconds", "GFLOP/s",
              "of peak", "of dgemm", "same bits");
  // peak: the set's one-core peak (0: none shown).
  auto row = [&](const char* form, const char* set, int th, double seconds, double peak, double dgemm_rate,
                 const char* same) {
    const double gf = flops / seconds * 1e-9;
    char of_peak[16] = "-", of_dgemm[16] = "-";
    if (peak > 0) std::snprintf(of_peak, sizeof of_peak, "%.0f%%", 100.0 * gf / (peak * th));
    if (dgemm_rate > 0) std::snprintf(of_dgemm, sizeof of_dgemm, "%.0f%%", 100.0 * gf / dgemm_rate);
    std::printf("%-18s %-9s %8d %10.3f %10.2f %9s %9s %s\n", form, set, th, seconds, gf, of_peak, of_dgemm, same);
  };
  double plain_seconds = 0;
  if (with_plain) {
    plain_seconds = plain.seconds;
    row("invmtx_plain", "-", 1, plain.seconds, 0, 0, "(reference)");
  }
  int failures = 0;
  const std::uint64_t reference = with_plain ? plain.digest : digests[0][0];
  for (std::size_t t = 0; t < threads.size(); ++t) {
    const double dgemm_rate = dgemm ? dgemm->flops() / gw::bench::median(dgemm_times[t]) * 1e-9 : 0.0;
    if (dgemm) row("OpenBLAS dgemm", "-", threads[t], gw::bench::median(dgemm_times[t]), 0, 0, "");
    for (std::size_t s = 0; s < sets.size(); ++s) {
      const bool is_reference = !with_plain && t == 0 && s == 0;
      const bool same = digests[t][s] == reference;
      failures += !same;
      row("invmtx (blocked)", std::string(gw::kernel_set_name(sets[s])).c_str(), threads[t],
          gw::bench::median(times[t][s]), peaks[s], dgemm_rate, is_reference ? "(reference)" : same ? "yes" : "NO");
    }
  }
  std::printf("\n");
  for (std::size_t s = 0; s < sets.size(); ++s) {
    const std::string name(gw::kernel_set_name(sets[s]));
    const double one = gw::bench::median(times[0][s]);
    std::printf("%-9s", name.c_str());
    if (with_plain) std::printf("  1 thread vs plain: %6.1f x", plain_seconds / one);
    if (threads.size() > 1)
      std::printf("  %d threads vs %d: %.2f x", threads.back(), threads[0], one / gw::bench::median(times.back()[s]));
    if (s > 0)
      std::printf("  vs %s: %.2f x", std::string(gw::kernel_set_name(sets[0])).c_str(),
                  gw::bench::median(times[0][0]) / one);
    std::printf("\n");
  }
  std::printf("load average %s at the end\n", gw::bench::load_average().c_str());
  return failures == 0 ? 0 : 1;
}

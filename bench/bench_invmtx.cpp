// Times the inversion: the one-step-at-a-time form against the blocked form
// on one and on two threads, on a relationship-like matrix plus a diagonal.
//
//   bench_invmtx [n] [--plain-max M] [--repeat R] [--general]
//                [--panel P --leaf L --col-block C --row-block B]
//
// n defaults to 5000. The plain form is timed only for n <= M (default
// 2000); above that the blocked results are compared with each other only.
// Each figure is the best of R runs (default 1). --general takes a matrix of
// uniform random numbers instead, which exchanges rows at nearly every step.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/invmtx_fast.hpp"
#include "kernels/kernels.hpp"
#include "kernels/matrix.hpp"

namespace {

constexpr double kPeakPerCore = 90.0;  // GFLOP/s of separate vector multiplies and adds on one core

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

struct Timing {
  double seconds = 0.0;
  gw::Matrix<double> result;
};

Timing time_it(int repeat, const gw::Matrix<double>& a, const std::function<void(gw::ConstMatView, gw::MatView)>& f) {
  Timing t;
  t.seconds = 1e300;
  for (int r = 0; r < repeat; ++r) {
    gw::Matrix<double> b(a.rows(), a.cols());  // zero-filled, so its pages are touched before the clock starts
    const auto start = std::chrono::steady_clock::now();
    f(a.cview(), b.view());
    const auto stop = std::chrono::steady_clock::now();
    t.seconds = std::min(t.seconds, std::chrono::duration<double>(stop - start).count());
    t.result = std::move(b);
  }
  return t;
}

bool same_bits(const gw::Matrix<double>& x, const gw::Matrix<double>& y) {
  return std::memcmp(x.data(), y.data(), sizeof(double) * static_cast<std::size_t>(x.rows() * x.cols())) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int n = 5000;
  int plain_max = 2000;
  int repeat = 1;
  bool general = false;
  gw::invmtx_detail::Blocking blocking;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&] {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "missing value after %s\n", arg.c_str());
        std::exit(2);
      }
      return std::atoi(argv[++i]);
    };
    if (arg == "--plain-max") plain_max = value();
    else if (arg == "--repeat") repeat = std::max(1, value());
    else if (arg == "--general") general = true;
    else if (arg == "--panel") blocking.panel = value();
    else if (arg == "--leaf") blocking.leaf = value();
    else if (arg == "--col-block") blocking.col_block = value();
    else if (arg == "--row-block") blocking.row_block = value();
    else if (!arg.empty() && arg[0] != '-') n = std::atoi(arg.c_str());
    else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  if (n < 2) {
    std::fprintf(stderr, "n must be at least 2\n");
    return 2;
  }

  const gw::Matrix<double> a = general ? make_general(n) : make_matrix(n);
  const double flops = 2.0 * n * static_cast<double>(n) * n;
  const int cores = omp_get_num_procs();
  std::printf("%s matrix of order %d, 2 n^3 = %.3g flop, peak taken as %.0f GFLOP/s per core\n\n", general ? "random" : "relationship-like", n, flops, kPeakPerCore);
  std::printf("%-22s %8s %10s %10s %10s %s\n", "form", "threads", "seconds", "GFLOP/s", "of peak", "same bits");

  auto row = [&](const char* name, int threads, const Timing& t, const char* same) {
    const double gf = flops / t.seconds * 1e-9;
    std::printf("%-22s %8d %10.3f %10.2f %9.1f%% %s\n", name, threads, t.seconds, gf,
                100.0 * gf / (kPeakPerCore * threads), same);
    std::fflush(stdout);
  };

  Timing plain;
  const bool with_plain = n <= plain_max;
  if (with_plain) {
    plain = time_it(repeat, a, [&](gw::ConstMatView x, gw::MatView y) { gw::invmtx_plain(n, x, y); });
    row("invmtx_plain", 1, plain, "(reference)");
  }
  std::vector<Timing> fast;
  for (int threads = 1; threads <= std::max(2, cores); threads *= 2) {
    gw::invmtx_detail::Blocking b = blocking;
    b.threads = threads;
    fast.push_back(time_it(repeat, a, [&](gw::ConstMatView x, gw::MatView y) {
      gw::invmtx_detail::invmtx_blocked(n, x, y, {}, b);
    }));
    const gw::Matrix<double>& ref = with_plain ? plain.result : fast.front().result;
    const char* same = same_bits(ref, fast.back().result) ? "yes" : "NO";
    row("invmtx (blocked)", threads, fast.back(), with_plain || threads > 1 ? same : "(reference)");
  }
  std::printf("\n");
  if (with_plain) std::printf("blocked 1 thread vs plain: %.1f x\n", plain.seconds / fast[0].seconds);
  if (fast.size() > 1) std::printf("blocked 2 threads vs 1:    %.2f x\n", fast[0].seconds / fast[1].seconds);
  return 0;
}

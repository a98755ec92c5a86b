// What the benchmarks set side by side: the kernel sets the processor runs,
// and OpenBLAS's dgemm as the yardstick, the rate the machine's best library
// reaches for a product of the same order, measured in the same run with the
// same number of threads.
#pragma once

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_sets.hpp"
#include "sparse/blas.hpp"

extern "C" {
void openblas_set_num_threads(int threads);
char* openblas_get_corename(void);
char* openblas_get_config(void);
}

namespace gw::bench {

// The kernel sets of a comma-separated list such as "sse2,avx2"; "all" (or
// an empty list) gives every set the processor runs. Exits with a message
// on a name that is no set or a set the processor cannot run.
inline std::vector<KernelSet> kernel_list(const std::string& list) {
  if (list.empty() || list == "all") return supported_kernel_sets();
  std::vector<KernelSet> sets;
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t to = std::min(list.find(',', from), list.size());
    const std::string name = list.substr(from, to - from);
    const auto set = parse_kernel_set(name);
    if (!set || *set == KernelSet::automatic || !kernel_set_supported(*set)) {
      std::fprintf(stderr, "--kernels: %s is not a kernel set this processor runs (it runs %s)\n", name.c_str(),
                   supported_kernel_set_names().c_str());
      std::exit(2);
    }
    sets.push_back(*set);
    from = to + 1;
  }
  return sets;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Which OpenBLAS kernels run, e.g. "OpenBLAS 0.3.21 ..., Haswell kernels
// (OPENBLAS_CORETYPE=Haswell)".
inline std::string openblas_kernels() {
  std::string s = openblas_get_config();
  s += ", ";
  s += openblas_get_corename();
  s += " kernels";
  if (const char* forced = std::getenv("OPENBLAS_CORETYPE"); forced && *forced)
    s += std::string(" (OPENBLAS_CORETYPE=") + forced + ")";
  return s;
}

// C = A B of order n with random A and B, 2 n^3 operations.
class Dgemm {
 public:
  explicit Dgemm(int n) : n_(n), a_(size()), b_(size()), c_(size()) {
    std::mt19937_64 rng(2718);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double& x : a_) x = u(rng);
    for (double& x : b_) x = u(rng);
  }

  double flops() const { return 2.0 * n_ * static_cast<double>(n_) * n_; }

  // Seconds of one product on `threads` threads (OpenMP and OpenBLAS alike;
  // the previous OpenMP thread count is restored).
  double seconds(int threads) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    openblas_set_num_threads(threads);
    const double alpha = 1.0, beta = 0.0;
    const auto start = std::chrono::steady_clock::now();
    dgemm_("N", "N", &n_, &n_, &n_, &alpha, a_.data(), &n_, b_.data(), &n_, &beta, c_.data(), &n_, 1, 1);
    const auto stop = std::chrono::steady_clock::now();
    omp_set_num_threads(saved);
    openblas_set_num_threads(saved);
    return std::chrono::duration<double>(stop - start).count();
  }

 private:
  std::size_t size() const { return static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_); }
  int n_;
  std::vector<double> a_, b_, c_;
};

}  // namespace gw::bench

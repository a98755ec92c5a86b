#include <cstdint>
#include <utility>
#include <vector>

#include "kernels/kernels.hpp"

namespace gw {

std::int64_t pivoted_cholesky(MatView s, double threshold, std::vector<std::int64_t>& order) {
  const std::int64_t n = s.rows;
  order.resize(static_cast<std::size_t>(n));
  for (std::int64_t t = 0; t < n; ++t) order[static_cast<std::size_t>(t)] = t;
  const auto at = [&](std::int64_t i, std::int64_t j) -> double& {
    return s(order[static_cast<std::size_t>(i)], order[static_cast<std::size_t>(j)]);
  };
  for (std::int64_t step = 0; step < n; ++step) {
    std::int64_t p = step;
    for (std::int64_t q = step + 1; q < n; ++q)
      if (at(q, q) > at(p, p)) p = q;
    std::swap(order[static_cast<std::size_t>(step)], order[static_cast<std::size_t>(p)]);
    const double d = at(step, step);
    if (!(d > threshold)) return step;
    for (std::int64_t q = step + 1; q < n; ++q) {
      const double f = at(q, step) / d;
      for (std::int64_t r = step + 1; r < n; ++r) at(q, r) -= f * at(step, r);
    }
  }
  return n;
}

}  // namespace gw

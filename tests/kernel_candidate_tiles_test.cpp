// The candidate stage's register tiles of every kernel set the processor
// runs against the sums written out one by one, bit for bit, also with
// signed zeros, subnormals and products near the ends of the range. (The
// stage sends values that are not finite, or sums that could overflow, the
// plain way, so the tiles never see them.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "kernels/candidate_pass.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw {
namespace {

using candidates_detail::kLaneGroup;

struct Free {
  void operator()(double* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<double[], Free>;

Buffer aligned(std::size_t count) {
  return Buffer(static_cast<double*>(std::aligned_alloc(64, (count * sizeof(double) + 63) / 64 * 64)));
}

double draw(std::mt19937_64& rng, bool awkward) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  if (awkward) {
    const double specials[] = {-0.0, 0.0, 4.9e-324, -2.5e-310, 1e150, -3e149, 1e-160, -7e-170};
    if (rng() % 5 == 0) return specials[rng() % 8];
  }
  return u(rng);
}

TEST(CandidateTiles, EverySetGivesTheSequentialSumsBitForBit) {
  std::mt19937_64 rng(17);
  for (const KernelSet set : supported_kernel_sets()) {
    const auto& tiles = candidates_detail::tiles_for(set);
    for (int groups = 1; groups <= tiles.groups; ++groups)
      for (const std::int64_t depth : {0, 1, 2, 7, 64, 131})
        for (const bool awkward : {false, true}) {
          const int lanes = groups * kLaneGroup;
          const std::int64_t ldt = lanes + 2 * kLaneGroup;  // columns of t further apart than the tile
          const int cols = tiles.cols;
          Buffer g = aligned(static_cast<std::size_t>(depth * lanes + 1));
          const int wd = tiles.widen;
          Buffer p = aligned(static_cast<std::size_t>(depth * cols * wd + 1));
          Buffer t = aligned(static_cast<std::size_t>(ldt * cols));
          for (std::int64_t i = 0; i < depth * lanes; ++i) g[i] = draw(rng, awkward);
          for (std::int64_t i = 0; i < depth * cols; ++i) {
            const double v = draw(rng, awkward);
            for (int w = 0; w < wd; ++w) p[i * wd + w] = v;
          }
          for (std::int64_t i = 0; i < ldt * cols; ++i) t[i] = draw(rng, awkward);
          std::vector<double> want(t.get(), t.get() + ldt * cols);
          for (int c = 0; c < cols; ++c)
            for (int x = 0; x < lanes; ++x) {
              double s = want[static_cast<std::size_t>(c * ldt + x)];
              for (std::int64_t u = 0; u < depth; ++u) s = s + g[u * lanes + x] * p[(u * cols + c) * wd];
              want[static_cast<std::size_t>(c * ldt + x)] = s;
            }
          tiles.tile(groups, g.get(), p.get(), depth, t.get(), ldt);
          EXPECT_EQ(0, std::memcmp(want.data(), t.get(), want.size() * sizeof(double)))
              << kernel_set_name(set) << ", " << groups << " lane groups, depth " << depth
              << (awkward ? ", awkward values" : "");
        }
  }
}

}  // namespace
}  // namespace gw

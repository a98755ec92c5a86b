// The choice of kernel set: names, what the processor runs, the
// GAINWEIGHTS_KERNELS variable, and that every kernel table hands out the
// set it was asked for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "kernels/candidate_pass.hpp"
#include "base/fatal.hpp"
#include "kernels/invmtx_fast.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw {
namespace {

// Sets GAINWEIGHTS_KERNELS for the scope, and restores it.
class KernelsVariable {
 public:
  explicit KernelsVariable(const char* value) {
    if (const char* old = std::getenv(kKernelsVariable)) saved_ = old;
    if (value)
      setenv(kKernelsVariable, value, 1);
    else
      unsetenv(kKernelsVariable);
  }
  ~KernelsVariable() {
    if (saved_)
      setenv(kKernelsVariable, saved_->c_str(), 1);
    else
      unsetenv(kKernelsVariable);
  }

 private:
  std::optional<std::string> saved_;
};

std::string error_of(KernelSet set) {
  try {
    resolve_kernel_set(set);
  } catch (const FatalError& e) {
    EXPECT_EQ(e.status(), ExitStatus::bad_input);
    return e.text();
  }
  return "";
}

TEST(KernelSets, NamesReadBack) {
  for (const KernelSet s : {KernelSet::automatic, KernelSet::portable, KernelSet::sse2, KernelSet::avx2,
                            KernelSet::avx512, KernelSet::neon})
    EXPECT_EQ(parse_kernel_set(kernel_set_name(s)), s);
  EXPECT_EQ(parse_kernel_set("AVX2"), std::nullopt);
  EXPECT_EQ(parse_kernel_set(""), std::nullopt);
}

TEST(KernelSets, PortableFirstAndOnlyWhatTheProcessorRuns) {
  const auto sets = supported_kernel_sets();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), KernelSet::portable);
  for (const KernelSet s : sets) EXPECT_TRUE(kernel_set_supported(s)) << kernel_set_name(s);
#if defined(__x86_64__)
  EXPECT_TRUE(kernel_set_supported(KernelSet::sse2));
  EXPECT_FALSE(kernel_set_supported(KernelSet::neon));
  EXPECT_EQ(kernel_set_supported(KernelSet::avx2), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(kernel_set_supported(KernelSet::avx512), __builtin_cpu_supports("avx512f") != 0);
#elif defined(__aarch64__)
  EXPECT_EQ(sets, (std::vector<KernelSet>{KernelSet::portable, KernelSet::neon}));
#endif
}

TEST(KernelSets, TheVariableForcesASetOrIsRefusedWithTheSetsToChooseFrom) {
  {
    const KernelsVariable unset(nullptr);
    EXPECT_EQ(resolve_kernel_set(), supported_kernel_sets().back());
  }
  {
    const KernelsVariable empty("");
    EXPECT_EQ(resolve_kernel_set(), supported_kernel_sets().back());
  }
  for (const KernelSet s : supported_kernel_sets()) {
    const KernelsVariable forced(std::string(kernel_set_name(s)).c_str());
    EXPECT_EQ(resolve_kernel_set(), s);
    // An explicit set wins over the variable.
    EXPECT_EQ(resolve_kernel_set(KernelSet::portable), KernelSet::portable);
  }
  const std::string names = supported_kernel_set_names();
  {
    const KernelsVariable bad("avx3");
    EXPECT_EQ(error_of(KernelSet::automatic),
              "GAINWEIGHTS_KERNELS=avx3 names no kernel set; set it to one of " + names +
                  " (the sets this processor runs), or unset it for the fastest");
  }
  {
    const KernelsVariable bad("automatic");
    EXPECT_NE(error_of(KernelSet::automatic).find("names no kernel set"), std::string::npos);
  }
#if defined(__x86_64__)
  const KernelSet foreign = KernelSet::neon;
#else
  const KernelSet foreign = KernelSet::avx2;
#endif
  const std::string name(kernel_set_name(foreign));
  {
    const KernelsVariable bad(name.c_str());
    EXPECT_EQ(error_of(KernelSet::automatic), "GAINWEIGHTS_KERNELS=" + name +
                                                  ": this processor cannot run the " + name +
                                                  " kernels; set it to one of " + names +
                                                  ", or unset it for the fastest");
  }
  EXPECT_EQ(error_of(foreign), "the " + name + " kernels cannot run on this processor; it runs " + names);
}

TEST(KernelSets, EveryKernelTableIsTheSetAskedFor) {
  const KernelsVariable unset(nullptr);
  for (const KernelSet s : supported_kernel_sets()) {
    const auto& loops = invmtx_detail::loops_for(s);
    EXPECT_EQ(loops.set, s);
    EXPECT_LE(loops.tile_rows, invmtx_detail::kMaxTileRows);
    EXPECT_LE(loops.tile_cols, invmtx_detail::kMaxTileCols);
    const auto& tiles = candidates_detail::tiles_for(s);
    EXPECT_EQ(tiles.set, s);
    EXPECT_LE(tiles.cols, candidates_detail::kMaxTileCols);
  }
  EXPECT_EQ(invmtx_detail::loops_for(KernelSet::automatic).set, supported_kernel_sets().back());
  EXPECT_EQ(candidates_detail::tiles_for(KernelSet::automatic).set, supported_kernel_sets().back());
}

}  // namespace
}  // namespace gw

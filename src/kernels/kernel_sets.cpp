#include "kernels/kernel_sets.hpp"

#include <array>
#include <cstdlib>
#include <utility>

#include "base/fatal.hpp"

namespace gw {

namespace {

constexpr std::array<std::pair<KernelSet, std::string_view>, 6> kNames{{
    {KernelSet::automatic, "automatic"},
    {KernelSet::portable, "portable"},
    {KernelSet::sse2, "sse2"},
    {KernelSet::avx2, "avx2"},
    {KernelSet::avx512, "avx512"},
    {KernelSet::neon, "neon"},
}};

}  // namespace

std::string_view kernel_set_name(KernelSet set) {
  for (const auto& [s, name] : kNames)
    if (s == set) return name;
  return "unknown";
}

std::optional<KernelSet> parse_kernel_set(std::string_view name) {
  for (const auto& [s, n] : kNames)
    if (n == name) return s;
  return std::nullopt;
}

bool kernel_set_supported(KernelSet set) {
  switch (set) {
    case KernelSet::automatic:
    case KernelSet::portable:
      return true;
#if defined(__x86_64__)
    case KernelSet::sse2:
      return true;
    case KernelSet::avx2:
      return __builtin_cpu_supports("avx2");
    case KernelSet::avx512:
      return __builtin_cpu_supports("avx512f");
#endif
#if defined(__aarch64__)
    case KernelSet::neon:
      return true;
#endif
    default:
      return false;
  }
}

std::vector<KernelSet> supported_kernel_sets() {
  std::vector<KernelSet> sets;
  for (const KernelSet s :
       {KernelSet::portable, KernelSet::sse2, KernelSet::neon, KernelSet::avx2, KernelSet::avx512})
    if (kernel_set_supported(s)) sets.push_back(s);
  return sets;
}

std::string supported_kernel_set_names() {
  std::string names;
  for (const KernelSet s : supported_kernel_sets()) {
    if (!names.empty()) names += ", ";
    names += kernel_set_name(s);
  }
  return names;
}

KernelSet resolve_kernel_set(KernelSet set) {
  if (set != KernelSet::automatic) {
    if (!kernel_set_supported(set))
      throw FatalError::diagnostic("the " + std::string(kernel_set_name(set)) +
                                       " kernels cannot run on this processor; it runs " +
                                       supported_kernel_set_names(),
                                   ExitStatus::bad_input);
    return set;
  }
  const char* value = std::getenv(kKernelsVariable);
  if (value == nullptr || *value == '\0') return supported_kernel_sets().back();
  const std::string shown = std::string(kKernelsVariable) + "=" + value;
  const std::optional<KernelSet> named = parse_kernel_set(value);
  if (!named || *named == KernelSet::automatic)
    throw FatalError::diagnostic(shown + " names no kernel set; set it to one of " + supported_kernel_set_names() +
                                     " (the sets this processor runs), or unset it for the fastest",
                                 ExitStatus::bad_input);
  if (!kernel_set_supported(*named))
    throw FatalError::diagnostic(shown + ": this processor cannot run the " + std::string(value) +
                                     " kernels; set it to one of " + supported_kernel_set_names() +
                                     ", or unset it for the fastest",
                                 ExitStatus::bad_input);
  return *named;
}

}  // namespace gw

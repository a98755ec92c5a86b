// An uninitialised array of doubles aligned to 64 bytes (a cache line and
// the widest vector). Large ones are aligned to 2 MiB and offered huge
// pages, which saves most of the page faults of their first touch and the
// address translation misses of strided walks (only advice: nothing changes
// when the system declines).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace gw {

class AlignedArray {
 public:
  AlignedArray() = default;
  explicit AlignedArray(std::size_t count) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(double);
    const std::size_t align = bytes >= 2 * kHuge ? kHuge : 64;
    bytes = (bytes + align - 1) / align * align;
    mem_.reset(static_cast<double*>(std::aligned_alloc(align, bytes)));
    if (!mem_) throw std::bad_alloc();
#ifdef __linux__
    if (align == kHuge) madvise(mem_.get(), bytes, MADV_HUGEPAGE);
#endif
  }
  double* data() const { return mem_.get(); }

 private:
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<double, Free> mem_;
};

}  // namespace gw

// A sparse symmetric matrix held by its lower triangle.
#pragma once

#include <cstdint>
#include <vector>

namespace gw {

// A sparse symmetric matrix: its lower triangle by columns, the row indices
// of each column ascending, the diagonal element first.
struct SparseLower {
  std::int64_t n = 0;
  std::vector<std::int64_t> colptr;  // n + 1 offsets into rowind and values
  std::vector<std::int64_t> rowind;
  std::vector<double> values;

  std::int64_t nonzeros() const { return colptr.empty() ? 0 : colptr.back(); }
};

}  // namespace gw

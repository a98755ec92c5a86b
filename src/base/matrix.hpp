// Column-major matrix views and the owning matrix used across the program.
//
// A view is a pointer with row and column extents and a leading dimension,
// as BLAS and LAPACK take their arrays. Indices are 0-based in code; element
// (i, j) lives at data[i + j * ld].
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace gw {

template <class T>
struct MatrixView {
  T* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t ld = 0;

  MatrixView() = default;
  MatrixView(T* d, std::int64_t r, std::int64_t c, std::int64_t l) : data(d), rows(r), cols(c), ld(l) {}
  MatrixView(T* d, std::int64_t r, std::int64_t c) : data(d), rows(r), cols(c), ld(r) {}

  // A view of non-const elements converts to a view of const elements.
  template <class U>
    requires(std::is_same_v<const U, T> && !std::is_same_v<U, T>)
  MatrixView(const MatrixView<U>& o) : data(o.data), rows(o.rows), cols(o.cols), ld(o.ld) {}

  T& operator()(std::int64_t i, std::int64_t j) const { return data[i + j * ld]; }
  T* col(std::int64_t j) const { return data + j * ld; }
};

using MatView = MatrixView<double>;
using ConstMatView = MatrixView<const double>;
using IntMatView = MatrixView<std::int32_t>;
using ConstIntMatView = MatrixView<const std::int32_t>;

// Owning dense column-major matrix (leading dimension = rows). Elements are
// left uninitialised on construction unless `zero` is set, so that a large
// array is touched only by the code that fills it.
template <class T>
class Matrix {
 public:
  Matrix() = default;
  Matrix(std::int64_t rows, std::int64_t cols, bool zero = true)
      : rows_(rows), cols_(cols),
        data_(zero ? std::make_unique<T[]>(static_cast<std::size_t>(rows * cols))
                   : std::make_unique_for_overwrite<T[]>(static_cast<std::size_t>(rows * cols))) {}

  std::int64_t rows() const { return rows_; }
  std::int64_t cols() const { return cols_; }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  T& operator()(std::int64_t i, std::int64_t j) { return data_[i + j * rows_]; }
  const T& operator()(std::int64_t i, std::int64_t j) const { return data_[i + j * rows_]; }

  MatrixView<T> view() { return {data_.get(), rows_, cols_, rows_}; }
  MatrixView<const T> view() const { return {data_.get(), rows_, cols_, rows_}; }
  MatrixView<const T> cview() const { return view(); }

 private:
  std::int64_t rows_ = 0;
  std::int64_t cols_ = 0;
  std::unique_ptr<T[]> data_;
};

}  // namespace gw

// Dense Vectors and strided Matrix views of doubles.
//
// A view reads memory it does not own: element (i, j) of a MatrixView lies at
// data + i*row_stride + j*col_stride (strides in elements, any sign, zero
// allowed), so a NumPy array, a row block of it and a single column are all
// read in place without copying.
#pragma once

#include <cstddef>
#include <vector>

namespace tarvex {

using Vector = std::vector<double>;  // owned, dense

struct VectorView {
    const double* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = 1;

    double operator[](std::size_t i) const {
        return data[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

struct MatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }

    // Rows [start, end) with all columns. Forms a pointer to row `start`,
    // so start < rows unless start is 0: with a negative or large stride the
    // address of a row past the end lies outside the array.
    MatrixView row_block(std::size_t start, std::size_t end) const {
        return {data + static_cast<std::ptrdiff_t>(start) * row_stride, end - start, cols,
                row_stride, col_stride};
    }

    VectorView column(std::size_t j) const {
        return {data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, row_stride};
    }

    MatrixView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
};

// A view of a dense row-major buffer.
inline MatrixView row_major_view(const double* data, std::size_t rows, std::size_t cols) {
    return {data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
}

}  // namespace tarvex

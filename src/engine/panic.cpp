// Cold paths of the engine's internal checks.
#include "engine/panic.hpp"

#include <new>

namespace tarvex {

void panic(std::string message, std::source_location where) {
    throw Panic(std::move(message), where);
}

void panic_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

void panic_shape_mismatch(std::size_t rows_a, std::size_t cols_a, std::size_t rows_b,
                          std::size_t cols_b, std::source_location where) {
    panic(std::to_string(rows_a) + " \u00d7 " + std::to_string(cols_a) + " and " +
              std::to_string(rows_b) + " \u00d7 " + std::to_string(cols_b) +
              " are not compatible for matrix multiplication",
          where);
}

std::size_t checked_product(std::size_t n, std::size_t m) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(n, m, &product)) throw std::bad_alloc();
    return product;
}

}  // namespace tarvex

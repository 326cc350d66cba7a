// Broken internal checks. A panic unwinds at once to the module's entry
// wrapper, which turns it into the Python-level PanicException; the engine
// raises it without knowing anything about the interpreter.
#pragma once

#include <source_location>
#include <string>

namespace tarvex {

// Deliberately not derived from std::exception: a handler for library errors
// must never swallow a broken internal check by accident.
class Panic {
public:
    Panic(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn, gnu::cold, gnu::noinline]] void panic(
    std::string message, std::source_location where = std::source_location::current());

// "index out of bounds: the len is L but the index is I"
[[noreturn, gnu::cold, gnu::noinline]] void panic_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

// "R1 × C1 and R2 × C2 are not compatible for matrix multiplication"
[[noreturn, gnu::cold, gnu::noinline]] void panic_shape_mismatch(
    std::size_t rows_a, std::size_t cols_a, std::size_t rows_b, std::size_t cols_b,
    std::source_location where = std::source_location::current());

// n * m for sizes of allocations; throws std::bad_alloc when the product does
// not fit, which the entry wrapper reports as MemoryError.
std::size_t checked_product(std::size_t n, std::size_t m);

}  // namespace tarvex

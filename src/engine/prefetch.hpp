// Reading a block of X into cache ahead of use, a line at a time, while
// other work runs.
//
// The pass over X alternates between reading a tile from memory (the
// predictor X_t·β) and computing on it in cache (the link functions, which
// take most of the time). The hardware prefetchers do not run ahead into the
// next tile during the computation: its columns are short streams they have
// not seen yet. So the element-wise link functions step a PrefetchStream over
// the next tile, two lines per vector of results, and the next tile is mostly
// in cache when its product starts. A prefetch never faults and changes no
// result; it only moves the time at which memory is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/matrix.hpp"

namespace tarvex {

class PrefetchStream {
public:
    // Nothing to prefetch: every step does nothing.
    PrefetchStream() = default;

    // The cache lines of `block`, one contiguous run (segment) per column
    // when its columns are contiguous, per row when its rows are (all rows
    // as one run when they follow each other without a gap). A block with
    // neither unit stride is left to the hardware.
    explicit PrefetchStream(MatrixView block) {
        if (block.rows == 0 || block.cols == 0) return;
        std::size_t run = 0;
        if (block.row_stride == 1) {
            run = block.rows;
            segments_ = block.cols;
            segment_step_ = block.col_stride;
        } else if (block.col_stride == 1) {
            run = block.cols;
            segments_ = block.rows;
            segment_step_ = block.row_stride;
            if (block.row_stride == static_cast<std::ptrdiff_t>(block.cols)) {
                run = block.rows * block.cols;
                segments_ = 1;
            }
        } else {
            return;
        }
        first_ = block.data;
        run_bytes_ = run * sizeof(double);
        start_segment();
    }

    // Prefetches the next line of the block, if any is left.
    void step() {
        if (segment_ == segments_) return;
        __builtin_prefetch(reinterpret_cast<const void*>(line_));
        line_ += line_bytes;
        if (line_ > last_line_) {
            ++segment_;
            if (segment_ < segments_) start_segment();
        }
    }

private:
    static constexpr std::uintptr_t line_bytes = 64;

    // The lines of the segment_-th run, from the one holding its first byte
    // to the one holding its last (addresses as integers: the line after a
    // run's last may lie outside X, and is never formed as a pointer).
    void start_segment() {
        const double* start = first_ + static_cast<std::ptrdiff_t>(segment_) * segment_step_;
        const auto begin = reinterpret_cast<std::uintptr_t>(start);
        line_ = begin & ~(line_bytes - 1);
        last_line_ = (begin + run_bytes_ - 1) & ~(line_bytes - 1);
    }

    const double* first_ = nullptr;
    std::ptrdiff_t segment_step_ = 0;  // elements between the starts of runs
    std::size_t run_bytes_ = 0;
    std::size_t segments_ = 0;
    std::size_t segment_ = 0;
    std::uintptr_t line_ = 0;
    std::uintptr_t last_line_ = 0;
};

}  // namespace tarvex

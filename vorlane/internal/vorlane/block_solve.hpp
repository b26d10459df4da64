// Applying a finished factor to several right-hand sides in one pass over the factor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "vorlane/decomposition.hpp"

namespace vorlane {

// A block of vectors stored row by row: element (i, j) of a block with `stride` lives at
// [i * stride + j]; columns j < width take part, the rest of each row is left alone.
struct BlockShape {
    uint64_t rows = 0;
    uint64_t width = 0;
    uint64_t stride = 0;
};

namespace block_error {
struct TooManyRows {
    uint64_t rows;
    uint64_t n;
};
struct BadWidth {
    uint64_t width;
    uint64_t stride;
};
struct BufferTooSmall {
    const char* buffer;
    uint64_t got;
    uint64_t need;
};
}  // namespace block_error

using BlockSolveError = std::variant<block_error::TooManyRows, block_error::BadWidth, block_error::BufferTooSmall>;

std::string message(const BlockSolveError& error);

// Elements a block buffer of this shape must hold (saturating; 0 for no rows).
uint64_t block_extent(const BlockShape& shape);

// What every blocked apply checks before writing anything: the width against the stride, the
// rows against the dimension n, and the rhs and out buffers against the block's extent.
std::optional<BlockSolveError> check_block(const BlockShape& shape, uint64_t n, uint64_t rhs_size,
                                           uint64_t out_size);

// Solves with the factor for every column of rhs at once and writes the first shape.rows
// rows of each solution to out; work needs factor.n * width elements. Column j of the result
// is bit-identical to solve_into_buffer on column j alone. rhs and out may be the same
// buffer. Allocates nothing; on error writes nothing.
std::optional<BlockSolveError> solve_block_into(const CoreFactor& factor, const BlockShape& shape,
                                                std::span<const double> rhs, std::span<double> out,
                                                std::span<double> work);

}  // namespace vorlane

// The blocked forward/backward solve: one walk over the factor updates every column of a
// row-interleaved block, in exactly the per-column operation order of the single solve.
#include "vorlane/block_solve.hpp"

#include <algorithm>
#include <array>

#include "overloaded.hpp"
#include "saturating.hpp"

namespace vorlane {

namespace {

// Columns are summed in chunks of this many, so the per-column sums live on the stack.
constexpr size_t kSumChunk = 64;

// The per-entry updates of both passes, on two distinct rows of the block, so the compiler
// may keep them in vector registers. The driver never lists a vertex in its own column; an
// entry of a hand-assembled factor that does is skipped rather than aliased.
template <size_t FixedW>
inline void spread(double* __restrict xr, double* __restrict xv, double c, double keep, size_t runtime_w) {
    const size_t w = FixedW != 0 ? FixedW : runtime_w;
    for (size_t j = 0; j < w; ++j) {
        xr[j] = xr[j] + xv[j] * c;
        xv[j] = xv[j] * keep;
    }
}

template <size_t FixedW>
inline void gather(double* __restrict xv, const double* __restrict xr, double c, double keep, size_t runtime_w) {
    const size_t w = FixedW != 0 ? FixedW : runtime_w;
    for (size_t j = 0; j < w; ++j) xv[j] = xv[j] * keep + c * xr[j];
}

// x holds internal vertex (or step position) v's values at x[v * w, v * w + w). FixedW, when
// non-zero, is w known at compile time, which lets the short inner loops unroll.
template <bool Stepwise, size_t FixedW>
void apply_steps_block(const CoreFactor& f, double* x, size_t runtime_w) {
    const size_t w = FixedW != 0 ? FixedW : runtime_w;
    const uint32_t* order = f.order.data();
    const uint32_t* starts = f.col_starts.data();
    const uint32_t* rows = Stepwise ? f.position_rows.data() : f.rows.data();
    const double* coef = f.coefficients.data();
    const double* inv = f.inv_diag.data();
    const size_t steps = f.order.size();

    // The running value g of the single solve is kept in v's own slots: v is written only
    // once the column is done, so they are free meanwhile.
    for (size_t s = 0; s < steps; ++s) {
        double* xv = x + (Stepwise ? s : order[s]) * w;
        const double e = inv[s];
        const uint32_t begin = starts[s];
        const uint32_t end = starts[s + 1];
        if (begin != end) {
            for (uint32_t t = begin; t + 1 < end; ++t) {
                double* xr = x + size_t{rows[t]} * w;
                if (xr == xv) continue;
                const double c = coef[t];
                spread<FixedW>(xr, xv, c, 1.0 - c, w);
            }
            double* xl = x + size_t{rows[end - 1]} * w;
            for (size_t j = 0; j < w; ++j) xl[j] = xv[j] + xl[j];
        }
        if (e != 0.0) {
            for (size_t j = 0; j < w; ++j) xv[j] = e * xv[j];
        }
    }

    for (size_t s = steps; s-- > 0;) {
        const uint32_t begin = starts[s];
        const uint32_t end = starts[s + 1];
        if (begin == end) continue;
        double* xv = x + (Stepwise ? s : order[s]) * w;
        const double* xl = x + size_t{rows[end - 1]} * w;
        for (size_t j = 0; j < w; ++j) xv[j] = xv[j] + xl[j];
        for (uint32_t t = end - 1; t-- > begin;) {
            const double* xr = x + size_t{rows[t]} * w;
            if (xr == xv) continue;
            const double c = coef[t];
            gather<FixedW>(xv, xr, c, 1.0 - c, w);
        }
    }
}

template <bool Stepwise>
void apply_steps_any(const CoreFactor& f, double* x, size_t w) {
    switch (w) {
        case 1: return apply_steps_block<Stepwise, 1>(f, x, w);
        case 2: return apply_steps_block<Stepwise, 2>(f, x, w);
        case 4: return apply_steps_block<Stepwise, 4>(f, x, w);
        case 8: return apply_steps_block<Stepwise, 8>(f, x, w);
        case 16: return apply_steps_block<Stepwise, 16>(f, x, w);
        default: return apply_steps_block<Stepwise, 0>(f, x, w);
    }
}

}  // namespace

std::string message(const BlockSolveError& error) {
    using namespace block_error;
    return std::visit(Overloaded{
                          [](const TooManyRows& e) {
                              return "block has " + std::to_string(e.rows) + " rows, more than the factor dimension " +
                                     std::to_string(e.n);
                          },
                          [](const BadWidth& e) {
                              return "block width " + std::to_string(e.width) + " must be at least 1 and at most " +
                                     "its stride " + std::to_string(e.stride);
                          },
                          [](const BufferTooSmall& e) {
                              return std::string(e.buffer) + " buffer too small: got " + std::to_string(e.got) +
                                     ", need at least " + std::to_string(e.need);
                          },
                      },
                      error);
}

uint64_t block_extent(const BlockShape& shape) {
    if (shape.rows == 0) return 0;
    return saturating_add(saturating_mul(shape.rows - 1, shape.stride), shape.width);
}

std::optional<BlockSolveError> check_block(const BlockShape& shape, uint64_t n, uint64_t rhs_size,
                                           uint64_t out_size) {
    using namespace block_error;
    if (shape.width == 0 || shape.width > shape.stride) return BadWidth{shape.width, shape.stride};
    if (shape.rows > n) return TooManyRows{shape.rows, n};
    const uint64_t extent = block_extent(shape);
    if (rhs_size < extent) return BufferTooSmall{"rhs", rhs_size, extent};
    if (out_size < extent) return BufferTooSmall{"out", out_size, extent};
    return std::nullopt;
}

std::optional<BlockSolveError> solve_block_into(const CoreFactor& factor, const BlockShape& shape,
                                                std::span<const double> rhs, std::span<double> out,
                                                std::span<double> work) {
    using namespace block_error;
    const uint64_t n = factor.n;
    const size_t w = shape.width;
    const size_t stride = shape.stride;
    if (auto error = check_block(shape, n, rhs.size(), out.size())) return error;
    const uint64_t need = saturating_mul(n, shape.width);
    if (work.size() < need) return BufferTooSmall{"work", work.size(), need};
    if (n == 0) return std::nullopt;

    const bool stepwise = factor.position.size() == n && factor.position_rows.size() == factor.rows.size();
    const uint32_t* pos = factor.position.data();
    auto slot = [&](uint64_t i) { return (stepwise ? size_t{pos[i]} : size_t(i)) * w; };
    double* y = work.data();
    const size_t len = shape.rows;

    for (size_t i = 0; i < len; ++i) std::copy_n(rhs.data() + i * stride, w, y + slot(i));
    for (size_t i = len; i < n; ++i) std::fill_n(y + slot(i), w, 0.0);

    // With a ground vertex the caller's system covers the original vertices only: the
    // ground's right-hand side makes each column's total zero, and its potential is 0.
    const bool augmented = factor.augmented();
    const uint64_t ground = factor.original_n;
    if (augmented) {
        double* yg = y + slot(ground);
        std::fill_n(yg, w, 0.0);
        const size_t upto = std::min<uint64_t>(len, factor.original_n);
        for (size_t i = 0; i < upto; ++i) {
            const double* yi = y + slot(i);
            for (size_t j = 0; j < w; ++j) yg[j] = yg[j] + yi[j];
        }
        for (size_t j = 0; j < w; ++j) yg[j] = -yg[j];
    }

    if (stepwise) {
        apply_steps_any<true>(factor, y, w);
    } else {
        apply_steps_any<false>(factor, y, w);
    }

    // The shift per column: the ground's potential, or the mean over all vertices (summed in
    // vertex order, as the single solve does).
    for (size_t j0 = 0; j0 < w; j0 += kSumChunk) {
        const size_t cols = std::min(kSumChunk, w - j0);
        std::array<double, kSumChunk> shift{};
        if (augmented) {
            std::copy_n(y + slot(ground) + j0, cols, shift.begin());
        } else {
            for (uint64_t i = 0; i < n; ++i) {
                const double* yi = y + slot(i) + j0;
                for (size_t j = 0; j < cols; ++j) shift[j] = shift[j] + yi[j];
            }
            for (size_t j = 0; j < cols; ++j) shift[j] = shift[j] / static_cast<double>(n);
        }
        for (size_t i = 0; i < len; ++i) {
            const double* yi = y + slot(i) + j0;
            double* oi = out.data() + i * stride + j0;
            for (size_t j = 0; j < cols; ++j) oi[j] = yi[j] - shift[j];
        }
    }
    return std::nullopt;
}

}  // namespace vorlane

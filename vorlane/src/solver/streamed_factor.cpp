// Laying out a factor for streamed applies, and the apply: a scatter pass forward, a gather
// pass backward, both walking the steps in memory order.
#include "vorlane/streamed_factor.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "saturating.hpp"

namespace vorlane {

namespace {

// Columns solved in one pass over the factor. Sixteen doubles are two cache lines per vertex:
// wider rows would add a line per vertex visit without sharing the factor's reads further.
constexpr size_t kTile = 16;

constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

// Column lengths are stored in 16 bits; this value marks a longer column.
constexpr uint16_t kLongColumn = 0xFFFF;

// The passes walk the steps reading each column's length, keeping the running offset; a
// length of kLongColumn stands for the next entry of long_lengths (the previous one, walking
// backward).
template <class Coef, size_t FixedW>
void forward_backward(const uint16_t* lengths, const uint32_t* long_lengths, size_t long_count, const uint32_t* rows,
                      const Coef* mult, const Coef* keep, size_t steps, double* y, size_t runtime_w) {
    const size_t w = FixedW != 0 ? FixedW : runtime_w;
    std::array<double, FixedW != 0 ? FixedW : kTile> g{};
    size_t t = 0;
    size_t next_long = 0;
    for (size_t s = 0; s < steps; ++s) {
        const size_t length = lengths[s] == kLongColumn ? long_lengths[next_long++] : lengths[s];
        double* ys = y + s * w;
        const double k = static_cast<double>(keep[s]);
        for (size_t j = 0; j < w; ++j) {
            g[j] = ys[j];
            ys[j] = k * g[j];
        }
        for (const size_t end = t + length; t < end; ++t) {
            double* yr = y + size_t{rows[t]} * w;
            const double a = static_cast<double>(mult[t]);
            for (size_t j = 0; j < w; ++j) yr[j] = yr[j] + a * g[j];
        }
    }
    next_long = long_count;
    for (size_t s = steps; s-- > 0;) {
        const size_t length = lengths[s] == kLongColumn ? long_lengths[--next_long] : lengths[s];
        const size_t end = t;
        t -= length;
        if (length == 0) continue;
        // Two sums, alternating entries, so consecutive entries' loads and products overlap;
        // the same order for every width, so a column's result does not depend on its block.
        std::array<double, FixedW != 0 ? FixedW : kTile> even{}, odd{};
        size_t u = t;
        for (; u + 1 < end; u += 2) {
            const double* ya = y + size_t{rows[u]} * w;
            const double* yb = y + size_t{rows[u + 1]} * w;
            const double a = static_cast<double>(mult[u]);
            const double b = static_cast<double>(mult[u + 1]);
            for (size_t j = 0; j < w; ++j) {
                even[j] = even[j] + a * ya[j];
                odd[j] = odd[j] + b * yb[j];
            }
        }
        if (u < end) {
            const double* ya = y + size_t{rows[u]} * w;
            const double a = static_cast<double>(mult[u]);
            for (size_t j = 0; j < w; ++j) even[j] = even[j] + a * ya[j];
        }
        double* ys = y + s * w;
        for (size_t j = 0; j < w; ++j) ys[j] = ys[j] + (even[j] + odd[j]);
    }
}

template <class Coef>
void passes(const uint16_t* lengths, const uint32_t* long_lengths, size_t long_count, const uint32_t* rows,
            const Coef* mult, const Coef* keep, size_t steps, double* y, size_t w) {
    const auto run = [&]<size_t W>() {
        forward_backward<Coef, W>(lengths, long_lengths, long_count, rows, mult, keep, steps, y, w);
    };
    switch (w) {
        case 1: return run.template operator()<1>();
        case 2: return run.template operator()<2>();
        case 4: return run.template operator()<4>();
        case 8: return run.template operator()<8>();
        case 16: return run.template operator()<16>();
        default: return run.template operator()<0>();
    }
}

}  // namespace

Expected<StreamedFactor, std::string> StreamedFactor::from(const CoreFactor& f, Precision precision) {
    StreamedFactor s;
    try {
        s.n_ = f.n;
        s.original_n_ = f.original_n;
        s.precision_ = precision;
        const size_t steps = f.order.size();
        s.position_.assign(f.n, kNoPosition);
        for (size_t t = 0; t < steps; ++t) s.position_[f.order[t]] = static_cast<uint32_t>(t);
        for (auto& p : s.position_) {
            if (p == kNoPosition) p = static_cast<uint32_t>(steps);
        }
        s.lengths_.resize(steps);
        s.rows_.reserve(f.rows.size());
        const bool mixed = precision == Precision::Mixed;
        if (mixed) {
            s.multipliers32_.reserve(f.rows.size());
            s.keep32_.resize(steps);
        } else {
            s.multipliers_.reserve(f.rows.size());
            s.keep_.resize(steps);
        }
        auto emit = [&](double a) {
            if (mixed) {
                s.multipliers32_.push_back(static_cast<float>(a));
            } else {
                s.multipliers_.push_back(a);
            }
        };
        for (size_t step = 0; step < steps; ++step) {
            const uint32_t begin = f.col_starts[step];
            const uint32_t end = f.col_starts[step + 1];
            double remainder = 1.0;
            for (uint32_t t = begin; t < end; ++t) {
                s.rows_.push_back(s.position_[f.rows[t]]);
                if (t + 1 < end) {
                    emit(f.coefficients[t] * remainder);
                    remainder = remainder * (1.0 - f.coefficients[t]);
                } else {
                    emit(remainder);
                }
            }
            const double e = f.inv_diag[step];
            const double keep = remainder * remainder * (e != 0.0 ? e : 1.0);
            if (mixed) {
                s.keep32_[step] = static_cast<float>(keep);
            } else {
                s.keep_[step] = keep;
            }
            const uint32_t length = end - begin;
            if (length >= kLongColumn) s.long_lengths_.push_back(length);
            s.lengths_[step] = static_cast<uint16_t>(std::min<uint32_t>(length, kLongColumn));
        }
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("out of memory laying out the factor for its solves"));
    }
    return s;
}

uint64_t StreamedFactor::nbytes() const {
    return position_.size() * sizeof(uint32_t) + lengths_.size() * sizeof(uint16_t) +
           long_lengths_.size() * sizeof(uint32_t) + rows_.size() * sizeof(uint32_t) +
           multipliers_.size() * sizeof(double) + multipliers32_.size() * sizeof(float) +
           keep_.size() * sizeof(double) + keep32_.size() * sizeof(float);
}

uint64_t StreamedFactor::work_size(uint64_t width) const { return saturating_mul(n_, std::min<uint64_t>(width, kTile)); }

std::optional<BlockSolveError> StreamedFactor::apply(const BlockShape& shape, std::span<const double> rhs,
                                                     std::span<double> out, std::span<double> work,
                                                     double scale, std::span<double> dots) const {
    using namespace block_error;
    const uint64_t n = n_;
    const size_t stride = shape.stride;
    if (auto error = check_block(shape, n, rhs.size(), out.size())) return error;
    const uint64_t need = work_size(shape.width);
    if (work.size() < need) return BufferTooSmall{"work", work.size(), need};
    if (!dots.empty() && dots.size() < shape.width) return BufferTooSmall{"dots", dots.size(), shape.width};
    if (n == 0) return std::nullopt;

    const uint32_t* pos = position_.data();
    const size_t len = shape.rows;
    const bool augmented = n != original_n_;
    const size_t ground = original_n_;
    const size_t steps = lengths_.size();
    double* y = work.data();
    for (size_t j0 = 0; j0 < shape.width; j0 += kTile) {
        const size_t w = std::min<size_t>(kTile, shape.width - j0);
        const double* in = rhs.data() + j0;
        for (size_t i = 0; i < len; ++i) std::copy_n(in + i * stride, w, y + size_t{pos[i]} * w);
        for (size_t i = len; i < n; ++i) std::fill_n(y + size_t{pos[i]} * w, w, 0.0);
        // With a ground vertex the caller's system covers the original vertices only: the
        // ground's right-hand side makes each column's total zero, and its potential is 0.
        if (augmented) {
            double* yg = y + size_t{pos[ground]} * w;
            std::fill_n(yg, w, 0.0);
            for (size_t i = 0; i < std::min<size_t>(len, ground); ++i) {
                const double* yi = in + i * stride;
                for (size_t j = 0; j < w; ++j) yg[j] = yg[j] - yi[j];
            }
        }
        if (precision_ == Precision::Mixed) {
            passes(lengths_.data(), long_lengths_.data(), long_lengths_.size(), rows_.data(), multipliers32_.data(),
                   keep32_.data(), steps, y, w);
        } else {
            passes(lengths_.data(), long_lengths_.data(), long_lengths_.size(), rows_.data(), multipliers_.data(),
                   keep_.data(), steps, y, w);
        }
        // The shift per column: the ground's potential, or the mean over all vertices.
        std::array<double, kTile> shift{};
        if (augmented) {
            std::copy_n(y + size_t{pos[ground]} * w, w, shift.begin());
        } else {
            for (size_t p = 0; p < n; ++p) {
                for (size_t j = 0; j < w; ++j) shift[j] = shift[j] + y[p * w + j];
            }
            for (size_t j = 0; j < w; ++j) shift[j] = shift[j] / static_cast<double>(n);
        }
        double* to = out.data() + j0;
        if (dots.empty()) {
            for (size_t i = 0; i < len; ++i) {
                const double* yi = y + size_t{pos[i]} * w;
                double* oi = to + i * stride;
                for (size_t j = 0; j < w; ++j) oi[j] = (yi[j] - shift[j]) * scale;
            }
        } else {
            double* d = dots.data() + j0;
            for (size_t i = 0; i < len; ++i) {
                const double* yi = y + size_t{pos[i]} * w;
                const double* ri = in + i * stride;
                double* oi = to + i * stride;
                for (size_t j = 0; j < w; ++j) {
                    // Read before written: rhs and out may be one buffer.
                    const double z = (yi[j] - shift[j]) * scale;
                    d[j] = d[j] + ri[j] * z;
                    oi[j] = z;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace vorlane

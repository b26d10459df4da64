// Laying out a factor for streamed applies, and the apply: a scatter pass forward, a gather
// pass backward, both walking the steps in memory order; or, on a pool of threads, a pull
// pass forward and the same gathers backward, level by level.
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

// The backward pass's sum over the column entries [t, end), added to ys: two sums,
// alternating entries, so consecutive entries' loads and products overlap; the same order for
// every width, so a column's result does not depend on its block.
template <class Coef, size_t FixedW>
inline void add_gather(const uint32_t* rows, const Coef* mult, size_t t, size_t end, const double* y, double* ys,
                       size_t w) {
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
    for (size_t j = 0; j < w; ++j) ys[j] = ys[j] + (even[j] + odd[j]);
}

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
        add_gather<Coef, FixedW>(rows, mult, t, end, y, y + s * w, w);
    }
}

// Calls run.template operator()<W>() with W the block width when it is one the passes are
// compiled for, else with W = 0 (the width read at run time).
template <class Run>
void with_width(size_t w, const Run& run) {
    switch (w) {
        case 1: return run.template operator()<1>();
        case 2: return run.template operator()<2>();
        case 4: return run.template operator()<4>();
        case 8: return run.template operator()<8>();
        case 16: return run.template operator()<16>();
        default: return run.template operator()<0>();
    }
}

template <class Coef>
void passes(const uint16_t* lengths, const uint32_t* long_lengths, size_t long_count, const uint32_t* rows,
            const Coef* mult, const Coef* keep, size_t steps, double* y, size_t w) {
    const auto run = [&]<size_t W>() {
        forward_backward<Coef, W>(lengths, long_lengths, long_count, rows, mult, keep, steps, y, w);
    };
    with_width(w, run);
}

// The leveled passes over one tile of width w, on slots. The forward pass leaves each slot's
// g (what the scatter hands on) in place and the backward pass first scales a step's g by its
// keep: the serial passes' k * g and then + (even + odd), the same operations on the same
// values. Each thread takes a contiguous share of every level and meets the others after it.
template <class Coef, size_t FixedW>
struct LevelPasses {
    const uint64_t* level_starts;
    size_t levels;
    const uint32_t* col_starts;
    const uint32_t* rows;
    const Coef* mult;
    const Coef* keep;
    const uint32_t* pull_starts;
    const uint32_t* pull_sources;
    const Coef* pull_mult;
    size_t remaining;
    double* y;
    size_t runtime_w;

    void forward(size_t begin, size_t end) const {
        const size_t w = FixedW != 0 ? FixedW : runtime_w;
        std::array<double, FixedW != 0 ? FixedW : kTile> acc{};
        for (size_t q = begin; q < end; ++q) {
            if (pull_starts[q] == pull_starts[q + 1]) continue;
            double* yq = y + q * w;
            for (size_t j = 0; j < w; ++j) acc[j] = yq[j];
            for (size_t e = pull_starts[q]; e < pull_starts[q + 1]; ++e) {
                const double* gs = y + size_t{pull_sources[e]} * w;
                const double a = static_cast<double>(pull_mult[e]);
                for (size_t j = 0; j < w; ++j) acc[j] = acc[j] + a * gs[j];
            }
            for (size_t j = 0; j < w; ++j) yq[j] = acc[j];
        }
    }

    void backward(size_t begin, size_t end) const {
        const size_t w = FixedW != 0 ? FixedW : runtime_w;
        for (size_t q = begin; q < end; ++q) {
            // The remaining vertex keeps what the forward pass left.
            if (q == remaining) continue;
            double* ys = y + q * w;
            const double k = static_cast<double>(keep[q]);
            for (size_t j = 0; j < w; ++j) ys[j] = k * ys[j];
            const size_t t = col_starts[q];
            const size_t stop = col_starts[q + 1];
            if (t == stop) continue;
            add_gather<Coef, FixedW>(rows, mult, t, stop, y, ys, w);
        }
    }

    void run(ThreadPool& pool) const {
        SpinBarrier barrier(pool.size());
        pool.run([&](unsigned worker) {
            for (size_t level = 0; level < levels; ++level) {
                const uint64_t first = level_starts[level];
                const auto [b, e] = pool.part(level_starts[level + 1] - first, worker);
                forward(first + b, first + e);
                barrier.wait();
            }
            for (size_t level = levels; level-- > 0;) {
                const uint64_t first = level_starts[level];
                const auto [b, e] = pool.part(level_starts[level + 1] - first, worker);
                backward(first + b, first + e);
                if (level > 0) barrier.wait();
            }
        });
    }
};

template <class Coef>
void level_passes(const LevelPasses<Coef, 0>& passes, ThreadPool& pool) {
    const auto run = [&]<size_t W>() {
        LevelPasses<Coef, W>{passes.level_starts, passes.levels,      passes.col_starts,   passes.rows,
                             passes.mult,         passes.keep,        passes.pull_starts,  passes.pull_sources,
                             passes.pull_mult,    passes.remaining,   passes.y,            passes.runtime_w}
            .run(pool);
    };
    with_width(passes.runtime_w, run);
}

}  // namespace

Expected<StreamedFactor, std::string> StreamedFactor::from(const CoreFactor& f, Precision precision, bool leveled) {
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
    if (leveled) {
        if (auto error = s.prepare_levels()) return unexpected(std::move(*error));
    }
    return s;
}

std::optional<std::string> StreamedFactor::prepare_levels(uint64_t min_width) {
    const size_t steps = lengths_.size();
    // Every vertex but the remaining one is eliminated, so positions are [0, n).
    const size_t n = n_;
    if (n == 0) return std::nullopt;
    try {
        LargeVector<uint32_t> col_starts(steps + 1);
        size_t next_long = 0;
        for (size_t step = 0; step < steps; ++step) {
            const size_t length = lengths_[step] == kLongColumn ? long_lengths_[next_long++] : lengths_[step];
            col_starts[step + 1] = static_cast<uint32_t>(col_starts[step] + length);
        }
        // One pass in step order: a step's level is final before its column is read.
        LargeVector<uint32_t> level(n, 0);
        LargeVector<uint32_t> incoming(n, 0);
        for (size_t step = 0; step < steps; ++step) {
            for (size_t t = col_starts[step]; t < col_starts[step + 1]; ++t) {
                const uint32_t r = rows_[t];
                // A column names later positions only; the pull could not reproduce a scatter
                // into a step already taken.
                if (r <= step || r >= n) return std::string("a column names a vertex eliminated before it");
                level[r] = std::max(level[r], level[step] + 1);
                ++incoming[r];
            }
        }
        const uint32_t top = *std::max_element(level.begin(), level.end());
        std::vector<uint64_t> level_starts(size_t{top} + 2, 0);
        for (size_t p = 0; p < n; ++p) ++level_starts[size_t{level[p]} + 1];
        for (size_t k = 0; k + 1 < level_starts.size(); ++k) level_starts[k + 1] += level_starts[k];
        // Slots level by level, positions ascending within each (filled in position order).
        LargeVector<uint32_t> rank(n);
        LargeVector<uint32_t> by_slot(n);
        {
            std::vector<uint64_t> cursor(level_starts.begin(), level_starts.end() - 1);
            for (size_t p = 0; p < n; ++p) {
                const uint64_t q = cursor[level[p]]++;
                rank[p] = static_cast<uint32_t>(q);
                by_slot[q] = static_cast<uint32_t>(p);
            }
        }
        const bool mixed = precision_ == Precision::Mixed;
        const size_t entries = rows_.size();
        Leveled l;
        l.slot.resize(n);
        for (size_t v = 0; v < n; ++v) l.slot[v] = rank[position_[v]];
        l.remaining = rank[steps];
        // The columns again, slot by slot, rows as slots.
        l.col_starts.resize(n + 1);
        l.rows.resize(entries);
        if (mixed) {
            l.keep32.resize(n);
            l.multipliers32.resize(entries);
            l.pull_multipliers32.resize(entries);
        } else {
            l.keep.resize(n);
            l.multipliers.resize(entries);
            l.pull_multipliers.resize(entries);
        }
        l.col_starts[0] = 0;
        for (size_t q = 0; q < n; ++q) {
            const size_t p = by_slot[q];
            const size_t begin = p < steps ? col_starts[p] : 0;
            const size_t end = p < steps ? col_starts[p + 1] : 0;
            size_t at = l.col_starts[q];
            for (size_t t = begin; t < end; ++t, ++at) {
                l.rows[at] = rank[rows_[t]];
                if (mixed) {
                    l.multipliers32[at] = multipliers32_[t];
                } else {
                    l.multipliers[at] = multipliers_[t];
                }
            }
            l.col_starts[q + 1] = static_cast<uint32_t>(at);
            if (mixed) {
                l.keep32[q] = p < steps ? keep32_[p] : 1.0f;
            } else {
                l.keep[q] = p < steps ? keep_[p] : 1.0;
            }
        }
        // Each slot's sources in ascending step order: the order the scatter adds them in.
        l.pull_starts.resize(n + 1);
        l.pull_starts[0] = 0;
        for (size_t q = 0; q < n; ++q) l.pull_starts[q + 1] = l.pull_starts[q] + incoming[by_slot[q]];
        // incoming is no longer needed: it serves as each position's fill cursor.
        for (size_t p = 0; p < n; ++p) incoming[p] = l.pull_starts[rank[p]];
        l.pull_sources.resize(entries);
        for (size_t step = 0; step < steps; ++step) {
            for (size_t t = col_starts[step]; t < col_starts[step + 1]; ++t) {
                const uint32_t at = incoming[rows_[t]]++;
                l.pull_sources[at] = rank[step];
                if (mixed) {
                    l.pull_multipliers32[at] = multipliers32_[t];
                } else {
                    l.pull_multipliers[at] = multipliers_[t];
                }
            }
        }
        l.rank = std::move(rank);
        l.level_starts = std::move(level_starts);
        l.min_width = min_width;
        leveled_ = std::move(l);
    } catch (const std::bad_alloc&) {
        return std::string("out of memory laying out the factor's levels");
    }
    return std::nullopt;
}

uint64_t StreamedFactor::nbytes() const {
    return position_.size() * sizeof(uint32_t) + lengths_.size() * sizeof(uint16_t) +
           long_lengths_.size() * sizeof(uint32_t) + rows_.size() * sizeof(uint32_t) +
           multipliers_.size() * sizeof(double) + multipliers32_.size() * sizeof(float) +
           keep_.size() * sizeof(double) + keep32_.size() * sizeof(float) +
           leveled_.nbytes();
}

uint64_t StreamedFactor::work_size(uint64_t width) const { return saturating_mul(n_, std::min<uint64_t>(width, kTile)); }

std::optional<BlockSolveError> StreamedFactor::apply(const BlockShape& shape, std::span<const double> rhs,
                                                     std::span<double> out, std::span<double> work,
                                                     double scale, std::span<double> dots, ThreadPool* pool) const {
    using namespace block_error;
    const uint64_t n = n_;
    const size_t stride = shape.stride;
    if (auto error = check_block(shape, n, rhs.size(), out.size())) return error;
    const uint64_t need = work_size(shape.width);
    if (work.size() < need) return BufferTooSmall{"work", work.size(), need};
    if (!dots.empty() && dots.size() < shape.width) return BufferTooSmall{"dots", dots.size(), shape.width};
    if (n == 0) return std::nullopt;

    const size_t len = shape.rows;
    const bool augmented = n != original_n_;
    const size_t ground = original_n_;
    const size_t steps = lengths_.size();
    double* y = work.data();
    // On the pool the elementwise work is shared out too; sums (the ground's, the mean, the
    // dots) stay serial, in the serial apply's order.
    ThreadPool* const shared = pool != nullptr && pool->size() > 1 && runs_leveled() ? pool : nullptr;
    // Where each vertex's value lives: its position, or on the pool its slot.
    const uint32_t* pos = shared != nullptr ? leveled_.slot.data() : position_.data();
    for (size_t j0 = 0; j0 < shape.width; j0 += kTile) {
        const size_t w = std::min<size_t>(kTile, shape.width - j0);
        const double* in = rhs.data() + j0;
        // Vertices have places of their own, so the shares write apart.
        const auto load = [&](size_t begin, size_t end) {
            for (size_t i = begin; i < std::min(end, len); ++i) std::copy_n(in + i * stride, w, y + size_t{pos[i]} * w);
            for (size_t i = std::max(begin, len); i < end; ++i) std::fill_n(y + size_t{pos[i]} * w, w, 0.0);
        };
        if (shared != nullptr) {
            shared->run([&](unsigned worker) {
                const auto [b, e] = shared->part(n, worker);
                load(b, e);
            });
        } else {
            load(0, n);
        }
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
        if (shared != nullptr) {
            const Leveled& l = leveled_;
            if (precision_ == Precision::Mixed) {
                level_passes<float>({l.level_starts.data(), levels(), l.col_starts.data(), l.rows.data(),
                                     l.multipliers32.data(), l.keep32.data(), l.pull_starts.data(),
                                     l.pull_sources.data(), l.pull_multipliers32.data(), l.remaining, y, w},
                                    *shared);
            } else {
                level_passes<double>({l.level_starts.data(), levels(), l.col_starts.data(), l.rows.data(),
                                      l.multipliers.data(), l.keep.data(), l.pull_starts.data(),
                                      l.pull_sources.data(), l.pull_multipliers.data(), l.remaining, y, w},
                                     *shared);
            }
        } else if (precision_ == Precision::Mixed) {
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
            // Summed in position order, wherever the values live.
            const uint32_t* rank = shared != nullptr ? leveled_.rank.data() : nullptr;
            for (size_t p = 0; p < n; ++p) {
                const double* yp = y + (rank != nullptr ? size_t{rank[p]} : p) * w;
                for (size_t j = 0; j < w; ++j) shift[j] = shift[j] + yp[j];
            }
            for (size_t j = 0; j < w; ++j) shift[j] = shift[j] / static_cast<double>(n);
        }
        double* to = out.data() + j0;
        if (shared != nullptr) {
            // The dots first, serially in row order, reading rhs before out (possibly the same
            // buffer) is written; then the shares write out.
            if (!dots.empty()) {
                double* d = dots.data() + j0;
                for (size_t i = 0; i < len; ++i) {
                    const double* yi = y + size_t{pos[i]} * w;
                    const double* ri = in + i * stride;
                    for (size_t j = 0; j < w; ++j) d[j] = d[j] + ri[j] * ((yi[j] - shift[j]) * scale);
                }
            }
            shared->run([&](unsigned worker) {
                const auto [b, e] = shared->part(len, worker);
                for (size_t i = b; i < e; ++i) {
                    const double* yi = y + size_t{pos[i]} * w;
                    double* oi = to + i * stride;
                    for (size_t j = 0; j < w; ++j) oi[j] = (yi[j] - shift[j]) * scale;
                }
            });
        } else if (dots.empty()) {
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

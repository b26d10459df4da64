// Recording elimination steps, and the forward/backward solve with the finished factor.
#include "vorlane/decomposition.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "overloaded.hpp"

namespace vorlane {

namespace {

constexpr uint32_t NO_POSITION = 0xFFFFFFFFu;

}  // namespace

double inverse_pivot(double p, double threshold) {
    // A threshold scaled for a matrix of tiny entries can let through a pivot whose inverse
    // overflows; an infinite inverse pivot would turn every solve into inf and NaN, so such a
    // pivot counts as vanishing too.
    const double inverse = 1.0 / p;
    return std::fabs(p) > threshold && std::isfinite(inverse) ? inverse : 0.0;
}

CoreFactor CoreFactor::with_capacity(uint64_t steps, uint64_t entries) {
    CoreFactor f;
    f.order.reserve(steps);
    f.inv_diag.reserve(steps);
    f.col_starts.reserve(steps + 1);
    f.col_starts.push_back(0);
    f.rows.reserve(entries);
    f.coefficients.reserve(entries);
    return f;
}

bool CoreFactor::push_step(uint32_t v, double p, double pivot_threshold, std::span<const uint32_t> step_rows,
                           std::span<const double> step_coefficients) {
    if (rows.size() + step_rows.size() > kMaxFactorEntries) return false;
    order.push_back(v);
    inv_diag.push_back(inverse_pivot(p, pivot_threshold));
    rows.insert(rows.end(), step_rows.begin(), step_rows.end());
    coefficients.insert(coefficients.end(), step_coefficients.begin(), step_coefficients.end());
    col_starts.push_back(static_cast<uint32_t>(rows.size()));
    return true;
}

std::string message(const SolveError& error) {
    return std::visit(Overloaded{
                          [](const solve_error::RhsTooLong& e) {
                              return "rhs length " + std::to_string(e.len) + " exceeds factor dimension " +
                                     std::to_string(e.n);
                          },
                          [](const solve_error::WorkTooSmall& e) {
                              return "work buffer too small: got " + std::to_string(e.got) + ", need at least " +
                                     std::to_string(e.need);
                          },
                      },
                      error);
}

void CoreFactor::prepare_solve() {
    std::vector<uint32_t> pos(n, NO_POSITION);
    for (size_t s = 0; s < order.size(); ++s) pos[order[s]] = static_cast<uint32_t>(s);
    // Exactly one vertex is never eliminated; it takes the last position.
    for (auto& p : pos) {
        if (p == NO_POSITION) p = static_cast<uint32_t>(order.size());
    }
    std::vector<uint32_t> local(rows.size());
    for (size_t t = 0; t < rows.size(); ++t) local[t] = pos[rows[t]];
    position = std::move(pos);
    position_rows = std::move(local);
    try {
        scratch.buffer.resize(n);
    } catch (const std::bad_alloc&) {
        // Solves still work without it, in vertex order.
        std::vector<double>().swap(scratch.buffer);
    }
}

namespace {

// The forward pass (fused with the diagonal) over x. With Stepwise, step s's vertex lives at
// x[s] and rows are positions; otherwise both are vertex numbers.
template <bool Stepwise>
void forward_steps(const CoreFactor& f, double* x) {
    const uint32_t* order = f.order.data();
    const uint32_t* starts = f.col_starts.data();
    const uint32_t* rows = Stepwise ? f.position_rows.data() : f.rows.data();
    const double* coef = f.coefficients.data();
    const double* inv = f.inv_diag.data();
    const size_t steps = f.order.size();

    for (size_t s = 0; s < steps; ++s) {
        const size_t v = Stepwise ? s : order[s];
        const double e = inv[s];
        const uint32_t begin = starts[s];
        const uint32_t end = starts[s + 1];
        if (begin == end) {
            if (e != 0.0) x[v] = e * x[v];
            continue;
        }
        double g = x[v];
        for (uint32_t t = begin; t + 1 < end; ++t) {
            x[rows[t]] = x[rows[t]] + g * coef[t];
            g = g * (1.0 - coef[t]);
        }
        x[rows[end - 1]] = g + x[rows[end - 1]];
        x[v] = e != 0.0 ? e * g : g;
    }
}

// The backward pass over x, numbered as in forward_steps.
template <bool Stepwise>
void backward_steps(const CoreFactor& f, double* x) {
    const uint32_t* order = f.order.data();
    const uint32_t* starts = f.col_starts.data();
    const uint32_t* rows = Stepwise ? f.position_rows.data() : f.rows.data();
    const double* coef = f.coefficients.data();
    for (size_t s = f.order.size(); s-- > 0;) {
        const uint32_t begin = starts[s];
        const uint32_t end = starts[s + 1];
        if (begin == end) continue;
        const size_t v = Stepwise ? s : order[s];
        double y = x[v] + x[rows[end - 1]];
        for (uint32_t t = end - 1; t-- > begin;) {
            y = y * (1.0 - coef[t]) + coef[t] * x[rows[t]];
        }
        x[v] = y;
    }
}

template <bool Stepwise>
void apply_steps(const CoreFactor& f, double* x) {
    forward_steps<Stepwise>(f, x);
    backward_steps<Stepwise>(f, x);
}

}  // namespace

void forward_pass(const CoreFactor& factor, std::span<double> x) { forward_steps<false>(factor, x.data()); }

void backward_pass(const CoreFactor& factor, std::span<double> x) { backward_steps<false>(factor, x.data()); }

std::optional<SolveError> solve_into_buffer(const CoreFactor& factor, std::span<const double> rhs,
                                            std::span<double> work) {
    const uint64_t n = factor.n;
    if (rhs.size() > n) return solve_error::RhsTooLong{rhs.size(), n};
    if (work.size() < n) return solve_error::WorkTooSmall{work.size(), n};
    double* x = work.data();
    const size_t len = rhs.size();

    // With a ground vertex the caller's system covers the original vertices only: the
    // ground's right-hand side is whatever makes the total zero, and its potential is 0.
    const bool augmented = factor.augmented();
    const uint64_t ground = factor.original_n;
    double ground_rhs = 0.0;
    if (augmented) {
        double sum = 0.0;
        const size_t upto = std::min<uint64_t>(len, factor.original_n);
        for (size_t i = 0; i < upto; ++i) sum = sum + rhs[i];
        ground_rhs = -sum;
    }

    std::unique_lock lock(factor.scratch.mutex, std::try_to_lock);
    if (lock.owns_lock() && factor.position.size() == n && factor.scratch.buffer.size() == n) {
        double* y = factor.scratch.buffer.data();
        const uint32_t* pos = factor.position.data();
        for (size_t i = 0; i < len; ++i) y[pos[i]] = rhs[i];
        for (size_t i = len; i < n; ++i) y[pos[i]] = 0.0;
        if (augmented) y[pos[ground]] = ground_rhs;
        apply_steps<true>(factor, y);
        for (size_t i = 0; i < n; ++i) x[i] = y[pos[i]];
    } else {
        std::copy(rhs.begin(), rhs.end(), x);
        std::fill(x + len, x + n, 0.0);
        if (augmented) x[ground] = ground_rhs;
        apply_steps<false>(factor, x);
    }
    if (lock.owns_lock()) lock.unlock();

    if (augmented) {
        const double c = x[ground];
        for (uint64_t i = 0; i < n; ++i) x[i] = x[i] - c;
    } else if (n > 0) {
        double sum = 0.0;
        for (uint64_t i = 0; i < n; ++i) sum = sum + x[i];
        const double mean = sum / static_cast<double>(n);
        for (uint64_t i = 0; i < n; ++i) x[i] = x[i] - mean;
    }
    return std::nullopt;
}

}  // namespace vorlane

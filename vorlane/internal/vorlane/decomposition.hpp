// The factor record filled by elimination, and the solve that applies it to a right-hand side.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vorlane {

// Pivots whose magnitude is at or below this get inverse pivot 0, for a matrix whose scale
// is 1; the driver multiplies it by the matrix's threshold scale.
inline constexpr double kPivotThreshold = 1e-14;

// Column entries are addressed by 32-bit offsets; appending past this many is refused.
inline constexpr uint64_t kMaxFactorEntries = 0xFFFFFFFFull;

// A buffer with a lock. Copies and moves carry the buffer (its contents are scratch, so a
// copy only matches its size) and get a lock of their own.
struct SolveScratch {
    SolveScratch() = default;
    SolveScratch(const SolveScratch& other) : buffer(other.buffer.size()) {}
    SolveScratch(SolveScratch&& other) noexcept : buffer(std::move(other.buffer)) {}
    SolveScratch& operator=(const SolveScratch& other) {
        buffer.assign(other.buffer.size(), 0.0);
        return *this;
    }
    SolveScratch& operator=(SolveScratch&& other) noexcept {
        buffer = std::move(other.buffer);
        return *this;
    }

    std::vector<double> buffer;
    std::mutex mutex;
};

struct CoreFactor {
    std::vector<uint32_t> order;
    std::vector<uint32_t> col_starts;
    std::vector<uint32_t> rows;
    std::vector<double> coefficients;
    std::vector<double> inv_diag;
    uint64_t n = 0;
    uint64_t original_n = 0;

    // Solve layout, derived once the factor is complete: every vertex renumbered by the step
    // that eliminates it (the remaining vertex last) and the column rows in that numbering.
    // The solve then walks its vector in step order instead of jumping across it. Both stay
    // empty for a factor assembled by hand; the solve then works on vertex numbers directly.
    std::vector<uint32_t> position;
    std::vector<uint32_t> position_rows;
    // The vector the solve works on in step order: created with the layout, so that solves
    // allocate nothing, and taken by one solve at a time (a solve that finds it taken works
    // in the caller's buffer in vertex order instead, with bit-identical results).
    mutable SolveScratch scratch;

    static CoreFactor with_capacity(uint64_t steps, uint64_t entries);
    // Appends a step for v with pivot p, recorded as inverse_pivot(p, pivot_threshold).
    // Returns false, appending nothing, when the column entries would exceed kMaxFactorEntries.
    bool push_step(uint32_t v, double p, double pivot_threshold, std::span<const uint32_t> step_rows,
                   std::span<const double> step_coefficients);

    // Fills the solve layout; call once after the last step.
    void prepare_solve();

    uint64_t n_steps() const { return order.size(); }
    // True when elimination ran on a graph with an added ground vertex.
    bool augmented() const { return n != original_n; }
};

// Inverse pivot rule: 1/p when |p| > threshold and 1/p is finite, else 0 (NaN included).
double inverse_pivot(double p, double threshold);

namespace solve_error {
struct RhsTooLong {
    uint64_t len;
    uint64_t n;
};
struct WorkTooSmall {
    uint64_t got;
    uint64_t need;
};
}  // namespace solve_error

using SolveError = std::variant<solve_error::RhsTooLong, solve_error::WorkTooSmall>;

std::string message(const SolveError& error);

// The solve's two passes over x[0, n), in vertex numbers: the forward pass with the diagonal,
// then the backward pass. For callers that run the passes of one solve apart (on several
// ranks); solve_into_buffer adds the ground's right-hand side and the final shift.
void forward_pass(const CoreFactor& factor, std::span<double> x);
void backward_pass(const CoreFactor& factor, std::span<double> x);

// Solves with the factor into work[0, n); elements from n on are not touched. Allocates
// nothing; on error writes nothing.
std::optional<SolveError> solve_into_buffer(const CoreFactor& factor, std::span<const double> rhs,
                                            std::span<double> work);

}  // namespace vorlane

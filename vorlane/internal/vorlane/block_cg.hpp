// Conjugate gradients on several right-hand sides in lock step: one product with A and one
// preconditioner application per iteration serve every column, and each column stops at its
// own tolerance. Starts with the Jacobi preconditioner and switches to the factor when the
// cost model says the factor is cheaper overall, or runs one path throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "vorlane/checked_matrix.hpp"
#include "vorlane/streamed_factor.hpp"

namespace vorlane {

enum class Path : uint8_t { Jacobi, Factor, Plain };

// Inconsistent: b has a part in A's null space that alone exceeds tol (reported as residual);
// nothing else is done then.
enum class Status : uint8_t {
    Running,
    Converged,
    MaxIter,
    Stalled,
    Breakdown,
    NonFinite,
    TimeLimit,
    ZeroRhs,
    Inconsistent
};

struct CgSettings {
    // Each column stops at ||b - A x|| <= max(tol ||b||, atol).
    double tol = 1e-8;
    double atol = 0.0;
    uint64_t maxiter = 1000;
    Path start = Path::Factor;
    // Jacobi start, switching to the factor when predicted cheaper.
    bool adaptive = false;
    // Seconds; 0 for none.
    double time_limit = 0.0;
    // More than 1: the products with A, the vector updates and the factor's applies (leveled
    // where the factor runs so) are shared among this many threads. Sums keep their serial
    // order, so the iterates and the outcome are the same bits for any number.
    unsigned threads = 1;
};

struct ColumnResult {
    uint64_t iterations = 0;
    // Of those, the ones preconditioned by the diagonal (before the adaptive start switched).
    uint64_t jacobi_iterations = 0;
    // The residual the iteration tracked, relative to ||b||: at the start, then after each
    // iteration (its recurrence, replaced by the true residual at checkpoints).
    std::vector<double> residuals;
    double residual = 0.0;
    Status status = Status::Running;
};

// The current iterate, for callbacks: column j of iteration x at x[i * stride + j] times
// scale[j] (x is kept relative to each column's ||b||).
struct IterateView {
    uint64_t iteration;
    double residual;
    const double* x;
    const double* scale;
    size_t width;
    size_t stride;
};

struct CgHooks {
    // Asked between the phases of every iteration; true stops the whole iteration (the
    // caller then raises what made it stop).
    std::function<bool()> should_stop;
    // After every iteration, when set; false stops as should_stop does.
    std::function<bool(const IterateView&)> after_iteration;
    // Builds the factor when the adaptive start switches; null stops.
    std::function<const StreamedFactor*()> factorize;
};

struct CgOutcome {
    std::vector<ColumnResult> columns;
    Path path = Path::Factor;
    bool stopped = false;
};

// Solves A X = B for the width columns of b (element (i, j) at b[i * width + j]); x holds the
// starting guess when has_guess and receives the solution. factor is used on the factor
// path; when it is null, hooks.factorize builds it (first thing on the factor path, once
// the right-hand sides are checked; at the switch when adaptive).
CgOutcome block_cg(const CheckedMatrix& matrix, const StreamedFactor* factor, const double* b, double* x,
                   size_t width, bool has_guess, const CgSettings& settings, const CgHooks& hooks);

}  // namespace vorlane

// A checked preconditioner for a symmetric Laplacian or SDDM matrix: its randomized approximate
// Cholesky factor, applied to vectors and used by conjugate gradients.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vorlane/csr_matrix.hpp"
#include "vorlane/error.hpp"

namespace vorlane {

// How the factor is built. The same matrix, seed and options give the same factor, bit for
// bit, on every run.
struct PreconditionerOptions {
    uint64_t seed = 0;
    // Absent: every edge sampled as one. k > 0: every edge held as k copies (a denser, more
    // accurate factor).
    std::optional<uint32_t> split;
    // Whether elimination may run on the matrix renumbered by reverse Cuthill-McKee: Auto does
    // so only when the matrix's own numbering has no locality.
    enum class Renumber : uint8_t { Never, Auto, Always } renumber = Renumber::Auto;
    // Stores the factor's multipliers in single precision: half the memory traffic per apply,
    // a relative perturbation of about 6e-8. Vectors stay in double precision.
    bool mixed_precision = false;
    // The elimination order. Sequential: one vertex at a time, the same factor on every
    // machine. Rounds: independent vertices of near-minimum degree eliminated together on
    // `threads` threads, parts' interiors first; the factor depends on the options below,
    // never on the number of threads.
    enum class Order : uint8_t { Sequential, Rounds } order = Order::Sequential;
    unsigned threads = 1;
    uint32_t round_size = 256;     // the most vertices one round eliminates
    double degree_factor = 1.5;    // a round reaches this many times the least degree
    uint32_t blocks = 16;          // runs of consecutive vertices tried as parts without `parts`
    // Empty, or a part number below n for each vertex; read during build only.
    std::span<const uint32_t> parts;
};

struct SolveOptions {
    // Each column stops at ||b - A x|| <= max(rtol ||b||, atol).
    double rtol = 1e-8;
    double atol = 0.0;
    uint64_t maxiter = 1000;
    // Start from the x passed in instead of zero.
    bool use_initial_guess = false;
    // Threads of the iteration (products with A, vector updates, and the applies of a
    // Rounds factor); the result is the same for any number.
    unsigned threads = 1;
};

enum class SolveStatus : uint8_t {
    Converged,
    // maxiter iterations without reaching the tolerance.
    MaxIter,
    // The residual stopped decreasing before reaching the tolerance (the best iterate is
    // returned).
    Stalled,
    // A non-positive curvature: the matrix or the preconditioner is not positive definite on
    // the iterated space.
    Breakdown,
    NonFinite,
    // b is zero: x is zero.
    ZeroRhs,
    // b has a part in A's null space (a Laplacian's constants) larger than the tolerance
    // allows: no x solves the system; x is left as passed in.
    Inconsistent,
};

struct SolveInfo {
    SolveStatus status = SolveStatus::MaxIter;
    uint64_t iterations = 0;
    // ||b - A x|| / ||b|| of the returned x.
    double residual = 0.0;
    // The residual the iteration tracked, relative to ||b||: at the start, then per iteration.
    std::vector<double> residuals;

    bool converged() const { return status == SolveStatus::Converged || status == SolveStatus::ZeroRhs; }
};

// Blocks of vectors are row-interleaved: element (i, j) of an n x width block is at
// [i * width + j].
class Preconditioner {
public:
    // Copies and checks A (symmetric, off-diagonal entries <= 0, diagonally dominant, finite),
    // then factorizes it. An InvalidMatrix error names the first fault found.
    static Result<Preconditioner> build(const CsrMatrix<int32_t>& a, const PreconditionerOptions& options = {});
    static Result<Preconditioner> build(const CsrMatrix<int64_t>& a, const PreconditionerOptions& options = {});

    uint64_t n() const;
    // Whether A has a null space (a Laplacian: the constants on each component without ground).
    bool singular() const;
    // Column entries plus pivots of the factor.
    uint64_t nnz() const;

    // z = M r, M approximating A's inverse. r and z hold n * width elements and may be the
    // same span; nothing is written on error.
    std::optional<Error> apply(std::span<const double> r, std::span<double> z, uint64_t width = 1) const;

    // Solves A x = b by conjugate gradients preconditioned by this factor. x holds the
    // starting guess when options.use_initial_guess and receives the solution.
    Result<SolveInfo> solve(std::span<const double> b, std::span<double> x, const SolveOptions& options = {}) const;
    // The same for the width columns of a block, iterated together; one info per column.
    Result<std::vector<SolveInfo>> solve(std::span<const double> b, std::span<double> x, uint64_t width,
                                         const SolveOptions& options = {}) const;

private:
    struct State;
    explicit Preconditioner(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    // Immutable once built: copies share it, and applies and solves on several threads are safe.
    std::shared_ptr<const State> state_;
};

}  // namespace vorlane

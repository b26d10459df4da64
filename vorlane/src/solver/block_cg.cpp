// The lock-step iteration: per-column scalars, fused passes over the block, checkpoints that
// recompute the true residual, stagnation, and the switch from Jacobi to the factor.
#include "vorlane/block_cg.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "vorlane/adaptive_start.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/large_alloc.hpp"

namespace vorlane {

namespace {

using Clock = std::chrono::steady_clock;

// A checkpoint whose true residual is not below this fraction of the previous one means the
// column has reached the accuracy that rounding allows.
constexpr double kProgressFactor = 0.5;
// A non-positive r . M r or p . A p is a loss of definiteness when it comes before the
// residual has fallen below this fraction of where it started; after that, it is rounding
// at the accuracy limit (a residual made of noise).
constexpr double kBreakdownFraction = 0.5;
// On the factor path a residual that has not fallen below this fraction of its previous
// smallest value within a window of this many iterations has stopped decreasing (the factor
// normally gains a digit every few iterations); the true residual then decides.
constexpr double kWindowProgress = 0.9;
constexpr uint64_t kWindow = 25;
double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ||v|| for column j of a block, safe from overflow and underflow.
double column_norm(const double* v, uint64_t n, size_t j, size_t stride) {
    double biggest = 0.0;
    for (uint64_t i = 0; i < n; ++i) biggest = std::max(biggest, std::fabs(v[i * stride + j]));
    if (biggest == 0.0 || !std::isfinite(biggest)) return biggest;
    double sum = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double s = v[i * stride + j] / biggest;
        sum = sum + s * s;
    }
    return biggest * std::sqrt(sum);
}

struct Column {
    double bnorm = 0.0;
    double tol = 0.0;
    double target = 0.0;
    double rz = 0.0;
    double alpha = 0.0;
    double beta = 0.0;
    double step = 1.0;  // 1 adds z to the search direction, 0 zeroes the direction
    double rnorm = 0.0;
    double first_true = 0.0;
    double last_true = 0.0;
    double best_true = std::numeric_limits<double>::infinity();
    bool restart = true;
    bool check = false;
    bool suspect = false;  // the checkpoint was asked for by a non-positive product
    double window_smallest = std::numeric_limits<double>::infinity();
    double smallest = std::numeric_limits<double>::infinity();
    bool saved = false;
    ColumnResult result;
    bool running() const { return result.status == Status::Running; }
};

}  // namespace

CgOutcome block_cg(const CheckedMatrix& matrix, const StreamedFactor* factor, const double* b, double* x,
                   size_t width, bool has_guess, const CgSettings& settings, const CgHooks& hooks) {
    const uint64_t n = matrix.n();
    const size_t k = width;
    CgOutcome outcome;
    outcome.path = settings.adaptive ? Path::Jacobi : settings.start;
    std::vector<Column> cols(k);

    // Every buffer is made here, once; the iteration allocates nothing (the copy of the best
    // iterate is made on the first checkpoint that needs it). The blocks the factor's passes
    // reach at scattered rows live on huge pages where the system offers them.
    LargeVector<double> rhs(n * k), r(n * k), p(n * k, 0.0), q(n * k), best, work;
    std::vector<double> sums(matrix.components() * k);
    std::vector<double> dots(k), alphas(k), betas(k), steps(k), scale(k);
    auto ensure_work = [&](const StreamedFactor* f) { work.resize(f->work_size(k)); };

    for (size_t j = 0; j < k; ++j) {
        cols[j].bnorm = column_norm(b, n, j, k);
        if (cols[j].bnorm == 0.0) cols[j].result.status = Status::ZeroRhs;
        // The relative target: the larger of tol and atol / ||b||.
        cols[j].tol = cols[j].bnorm > 0 ? std::max(settings.tol, settings.atol / cols[j].bnorm) : settings.tol;
        scale[j] = cols[j].bnorm;
    }
    // rhs: b / ||b|| with its null-space part removed; that part's size bounds the target.
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) {
            const double s = cols[j].bnorm;
            rhs[i * k + j] = s > 0 ? b[i * k + j] / s : 0.0;
            if (has_guess) x[i * k + j] = s > 0 ? x[i * k + j] / s : 0.0;
        }
    }
    if (!has_guess) std::fill(x, x + n * k, 0.0);
    matrix.project(rhs.data(), k, k, sums);
    matrix.project(x, k, k, sums);
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) {
            const double s = cols[j].bnorm;
            r[i * k + j] = s > 0 ? b[i * k + j] / s - rhs[i * k + j] : 0.0;
        }
    }
    bool consistent = true;
    for (size_t j = 0; j < k; ++j) {
        const double unreachable = column_norm(r.data(), n, j, k);
        const double tol = cols[j].tol;
        cols[j].target = std::sqrt(std::max(tol * tol - unreachable * unreachable, 0.0));
        if (unreachable >= tol) {
            cols[j].result.status = Status::Inconsistent;
            cols[j].result.residual = unreachable;
            consistent = false;
        }
    }
    if (!consistent) {
        outcome.columns.resize(k);
        for (size_t j = 0; j < k; ++j) outcome.columns[j] = cols[j].result;
        return outcome;
    }
    if (has_guess) {
        matrix.multiply(x, q.data(), k, k, {});
        for (size_t t = 0; t < n * k; ++t) r[t] = rhs[t] - q[t];
    } else {
        r = rhs;
    }
    for (size_t j = 0; j < k; ++j) {
        Column& c = cols[j];
        if (c.result.status == Status::ZeroRhs) c.result.residuals.push_back(0.0);
        if (!c.running()) continue;
        c.rnorm = column_norm(r.data(), n, j, k);
        c.result.residuals.push_back(c.rnorm);
        c.first_true = c.last_true = c.rnorm;
        if (c.rnorm <= c.target) c.result.status = Status::Converged;
    }

    // No iteration allowed: the starting guess is the answer, converged or not.
    if (settings.maxiter == 0) {
        for (Column& c : cols) {
            if (c.running()) c.result.status = Status::MaxIter;
        }
    }
    auto any_running = [&] { return std::any_of(cols.begin(), cols.end(), [](const Column& c) { return c.running(); }); };
    if (outcome.path == Path::Factor && factor == nullptr && any_running()) {
        factor = hooks.factorize ? hooks.factorize() : nullptr;
        if (factor == nullptr) {
            outcome.stopped = true;
            return outcome;
        }
    }
    auto stop_here = [&] {
        if (hooks.should_stop && hooks.should_stop()) {
            outcome.stopped = true;
            return true;
        }
        return false;
    };
    auto save_best = [&](size_t j) {
        if (best.empty()) best.resize(n * k);
        for (uint64_t i = 0; i < n; ++i) best[i * k + j] = x[i * k + j];
        cols[j].saved = true;
    };

    if (outcome.path == Path::Factor && factor != nullptr) ensure_work(factor);

    LanczosRecord lanczos;
    size_t tracked = k;  // the column whose coefficients estimate the spectrum
    for (size_t j = 0; j < k && tracked == k; ++j) {
        if (cols[j].running()) tracked = j;
    }
    const Clock::time_point started = Clock::now();
    uint64_t jacobi_iterations = 0;
    uint64_t count = 0;
    bool switching = false;

    while (any_running()) {
        if (stop_here()) break;
        if (std::any_of(cols.begin(), cols.end(), [](const Column& c) { return c.check; })) {
            // Checkpoint: the true residual of every column that asked for one.
            matrix.multiply(x, q.data(), k, k, {});
            for (size_t j = 0; j < k; ++j) {
                Column& c = cols[j];
                if (!c.check) continue;
                c.check = false;
                for (uint64_t i = 0; i < n; ++i) q[i * k + j] = rhs[i * k + j] - q[i * k + j];
                const double true_norm = column_norm(q.data(), n, j, k);
                if (!std::isfinite(true_norm)) {
                    c.result.status = Status::NonFinite;
                } else if (true_norm <= c.target) {
                    c.result.status = Status::Converged;
                } else {
                    if (true_norm < c.best_true) {
                        c.best_true = true_norm;
                        save_best(j);
                    }
                    if (c.suspect && !(true_norm < kBreakdownFraction * c.first_true)) {
                        c.result.status = Status::Breakdown;
                    } else if (!switching && !(true_norm < kProgressFactor * c.last_true)) {
                        c.result.status = Status::Stalled;
                    } else {
                        for (uint64_t i = 0; i < n; ++i) r[i * k + j] = q[i * k + j];
                        c.restart = true;
                        c.last_true = c.rnorm = true_norm;
                        if (j == tracked) lanczos.stop();
                    }
                }
                c.suspect = false;
            }
            switching = false;
            if (!any_running()) break;
        }

        // z = M r, into q; then r . z per column.
        if (outcome.path == Path::Factor) {
            const auto error = factor->apply({n, k, k}, r, q, work);
            if (error) throw InternalFault("block solve: " + message(*error));
        } else if (outcome.path == Path::Jacobi) {
            const double* inv = matrix.inverse_diagonal().data();
            for (uint64_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < k; ++j) q[i * k + j] = inv[i] * r[i * k + j];
            }
        } else {
            std::copy(r.begin(), r.end(), q.begin());
        }
        if (!(outcome.path == Path::Factor && matrix.connected_laplacian() && factor->n() == factor->original_n())) {
            // The factor's own solve already removes the mean on a connected Laplacian.
            matrix.project(q.data(), k, k, sums);
        }
        std::fill(dots.begin(), dots.end(), 0.0);
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) dots[j] = dots[j] + r[i * k + j] * q[i * k + j];
        }
        if (stop_here()) break;

        for (size_t j = 0; j < k; ++j) {
            Column& c = cols[j];
            c.step = 0.0;
            c.beta = 0.0;
            if (!c.running()) continue;
            const double rz = dots[j];
            if (!std::isfinite(rz)) {
                c.result.status = Status::NonFinite;
            } else if (rz <= 0) {
                c.check = c.suspect = true;
            } else {
                c.step = 1.0;
                c.beta = c.restart ? 0.0 : rz / c.rz;
                if (j == tracked && !c.restart) lanczos.add_beta(c.beta);
                c.rz = rz;
                c.restart = false;
            }
        }
        for (size_t j = 0; j < k; ++j) {
            steps[j] = cols[j].step;
            betas[j] = cols[j].beta;
        }
        // p = z + beta p. A column without a step (stopped, or waiting for a checkpoint) gets
        // p = 0, so it moves no further and nothing it holds reaches another column.
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) {
                const size_t t = i * k + j;
                p[t] = steps[j] != 0.0 ? q[t] + betas[j] * p[t] : 0.0;
            }
        }

        std::fill(dots.begin(), dots.end(), 0.0);
        matrix.multiply(p.data(), q.data(), k, k, dots);
        if (stop_here()) break;
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols[j];
            alphas[j] = 0.0;
            if (!c.running() || c.step == 0.0) continue;
            const double pq = dots[j];
            if (!std::isfinite(pq)) {
                c.result.status = Status::NonFinite;
            } else if (pq <= 0) {
                c.check = c.suspect = true;
            } else {
                alphas[j] = c.rz / pq;
                if (j == tracked) lanczos.add_alpha(alphas[j]);
            }
        }
        std::fill(dots.begin(), dots.end(), 0.0);
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) {
                const size_t t = i * k + j;
                x[t] = x[t] + alphas[j] * p[t];
                r[t] = r[t] - alphas[j] * q[t];
                dots[j] = dots[j] + r[t] * r[t];
            }
        }
        ++count;
        double worst = 0.0;
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols[j];
            if (!c.running() || alphas[j] == 0.0) continue;
            ++c.result.iterations;
            if (outcome.path == Path::Jacobi) ++c.result.jacobi_iterations;
            c.rnorm = std::sqrt(dots[j]);
            c.result.residuals.push_back(c.rnorm);
            if (!std::isfinite(c.rnorm)) {
                c.result.status = Status::NonFinite;
                continue;
            }
            worst = std::max(worst, c.rnorm);
            if (c.rnorm <= c.target) c.check = true;
            if (outcome.path == Path::Factor) {
                c.window_smallest = std::min(c.window_smallest, c.rnorm);
                if (c.result.iterations % kWindow == 0) {
                    if (!(c.window_smallest < kWindowProgress * c.smallest) && std::isfinite(c.smallest)) {
                        c.check = true;
                    }
                    c.smallest = std::min(c.smallest, c.window_smallest);
                    c.window_smallest = std::numeric_limits<double>::infinity();
                }
            }
        }
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols[j];
            if (c.running() && c.result.iterations >= settings.maxiter) {
                // One last look: the recurrence may have reached the target just now.
                c.result.status = Status::MaxIter;
            }
        }

        if (hooks.after_iteration) {
            if (!hooks.after_iteration(IterateView{count, worst, x, scale.data(), k, k})) {
                outcome.stopped = true;
                break;
            }
        }
        if (settings.time_limit > 0 && seconds_since(started) > settings.time_limit) {
            for (Column& c : cols) {
                if (c.running()) c.result.status = Status::TimeLimit;
            }
            break;
        }

        if (outcome.path == Path::Jacobi) ++jacobi_iterations;
        if (settings.adaptive && outcome.path == Path::Jacobi && jacobi_iterations % kDecisionInterval == 0 &&
            any_running()) {
            double remaining = 1.0;
            for (const Column& c : cols) {
                if (c.running() && c.target > 0) remaining = std::max(remaining, c.rnorm / c.target);
            }
            SwitchInputs inputs;
            inputs.remaining_reduction = remaining;
            inputs.width = static_cast<double>(k);
            if (should_switch(lanczos, inputs)) {
                factor = hooks.factorize ? hooks.factorize() : nullptr;
                if (factor == nullptr) {
                    outcome.stopped = true;
                    break;
                }
                ensure_work(factor);
                outcome.path = Path::Factor;
                switching = true;
                for (Column& c : cols) {
                    if (c.running()) c.check = true;
                }
            }
        }
    }

    for (size_t j = 0; j < k; ++j) {
        Column& c = cols[j];
        if (c.saved && (c.result.status == Status::Stalled || c.result.status == Status::NonFinite ||
                        c.result.status == Status::Breakdown)) {
            for (uint64_t i = 0; i < n; ++i) x[i * k + j] = best[i * k + j];
        }
    }
    matrix.project(x, k, k, sums);
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) x[i * k + j] = x[i * k + j] * cols[j].bnorm;
    }
    // The reported residual is that of the returned x itself, ||b - A x|| / ||b||, with A's
    // products summed entry by entry in row order from 0: near the accuracy limit, the
    // rounding of x's own scaling would otherwise show in the figure.
    matrix.multiply(x, q.data(), k, k, {});
    for (size_t t = 0; t < n * k; ++t) q[t] = b[t] - q[t];
    outcome.columns.resize(k);
    for (size_t j = 0; j < k; ++j) {
        Column& c = cols[j];
        c.result.residual = c.bnorm > 0 ? column_norm(q.data(), n, j, k) / c.bnorm : 0.0;
        if (c.result.status == Status::Running) c.result.status = Status::MaxIter;
        if (c.result.status == Status::Converged && !(c.result.residual <= c.tol)) {
            c.result.status = std::isfinite(c.result.residual) ? Status::Stalled : Status::NonFinite;
        }
        if (c.result.status == Status::MaxIter && c.result.residual <= c.tol) {
            c.result.status = Status::Converged;
        }
        outcome.columns[j] = c.result;
    }
    return outcome;
}

}  // namespace vorlane

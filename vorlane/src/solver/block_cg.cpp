// The lock-step iteration: per-column scalars, fused passes over the block, checkpoints that
// recompute the true residual, stagnation, and the switch from Jacobi to the factor.
#include "vorlane/block_cg.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <span>

#include "vorlane/adaptive_start.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/large_alloc.hpp"
#include "vorlane/thread_pool.hpp"

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

// The vector passes of an iteration over row-interleaved blocks of width k. Each is written
// once for a width known at compile time (a single right-hand side, where a loop over one
// column would cost a branch per element) and once for any width; both do the same
// operations in the same order.
template <size_t FixedW>
void column_dots_w(const double* a, const double* b, double* dots, uint64_t n, size_t runtime_k) {
    const size_t k = FixedW != 0 ? FixedW : runtime_k;
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) dots[j] = dots[j] + a[i * k + j] * b[i * k + j];
    }
}

void column_dots(const double* a, const double* b, double* dots, uint64_t n, size_t k) {
    if (k == 1) return column_dots_w<1>(a, b, dots, n, k);
    column_dots_w<0>(a, b, dots, n, k);
}

// q = D^-1 r, with r . q per column when dots is not empty.
template <size_t FixedW>
void apply_jacobi_w(const double* inv, const double* r, double* q, std::span<double> dots, uint64_t n,
                    size_t runtime_k) {
    const size_t k = FixedW != 0 ? FixedW : runtime_k;
    if (dots.empty()) {
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) q[i * k + j] = inv[i] * r[i * k + j];
        }
        return;
    }
    double* d = dots.data();
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) {
            q[i * k + j] = inv[i] * r[i * k + j];
            d[j] = d[j] + r[i * k + j] * q[i * k + j];
        }
    }
}

void apply_jacobi(const double* inv, const double* r, double* q, std::span<double> dots, uint64_t n, size_t k) {
    if (k == 1) return apply_jacobi_w<1>(inv, r, q, dots, n, k);
    apply_jacobi_w<0>(inv, r, q, dots, n, k);
}

template <size_t FixedW>
void update_directions_w(const double* q, double* p, const double* steps, const double* betas, uint64_t n,
                         size_t runtime_k) {
    const size_t k = FixedW != 0 ? FixedW : runtime_k;
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) {
            const size_t t = i * k + j;
            p[t] = steps[j] != 0.0 ? q[t] + betas[j] * p[t] : 0.0;
        }
    }
}

void update_directions(const double* q, double* p, const double* steps, const double* betas, uint64_t n, size_t k) {
    if (k == 1) return update_directions_w<1>(q, p, steps, betas, n, k);
    update_directions_w<0>(q, p, steps, betas, n, k);
}

// x += alpha p, r -= alpha q and, with Dots, r . r per column (threads that share the rows
// sum it after, in row order).
template <size_t FixedW, bool Dots>
void update_iterate_w(double* x, double* r, const double* p, const double* q, const double* alphas, double* dots,
                      uint64_t n, size_t runtime_k) {
    const size_t k = FixedW != 0 ? FixedW : runtime_k;
    for (uint64_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k; ++j) {
            const size_t t = i * k + j;
            x[t] = x[t] + alphas[j] * p[t];
            r[t] = r[t] - alphas[j] * q[t];
            if constexpr (Dots) dots[j] = dots[j] + r[t] * r[t];
        }
    }
}

void update_iterate(double* x, double* r, const double* p, const double* q, const double* alphas, double* dots,
                    uint64_t n, size_t k) {
    if (k == 1) return update_iterate_w<1, true>(x, r, p, q, alphas, dots, n, k);
    update_iterate_w<0, true>(x, r, p, q, alphas, dots, n, k);
}

void move_iterate(double* x, double* r, const double* p, const double* q, const double* alphas, uint64_t n,
                  size_t k) {
    if (k == 1) return update_iterate_w<1, false>(x, r, p, q, alphas, nullptr, n, k);
    update_iterate_w<0, false>(x, r, p, q, alphas, nullptr, n, k);
}

// f(begin, end) over [0, n): on the pool's threads in contiguous shares, or at once.
template <class F>
void over_rows(ThreadPool* pool, uint64_t n, F&& f) {
    if (pool == nullptr) return f(uint64_t{0}, n);
    pool->run([&](unsigned worker) {
        const auto [begin, end] = pool->part(n, worker);
        f(begin, end);
    });
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

// One run of the iteration, its phases as member functions: the set-up of the scaled system,
// the checkpoint, the preconditioner, the new directions, the step, the bookkeeping after it,
// the adaptive switch and the return to the caller's scale. Every buffer is made here, once;
// the iteration allocates nothing (the copy of the best iterate is made on the first
// checkpoint that needs it). The blocks the factor's passes reach at scattered rows live on
// huge pages where the system offers them.
class Iteration {
public:
    Iteration(const CheckedMatrix& matrix, const StreamedFactor* factor, const double* b, double* x, size_t width,
              const CgSettings& settings, const CgHooks& hooks)
        : matrix_(matrix),
          factor_(factor),
          b_(b),
          x_(x),
          n_(matrix.n()),
          k_(width),
          settings_(settings),
          hooks_(hooks),
          cols_(width),
          rhs_(n_ * k_),
          r_(n_ * k_),
          p_(n_ * k_, 0.0),
          q_(n_ * k_),
          sums_(matrix.components() * k_),
          dots_(k_),
          alphas_(k_),
          betas_(k_),
          steps_(k_),
          scale_(k_) {
        outcome_.path = settings.adaptive ? Path::Jacobi : settings.start;
        if (settings.threads > 1) {
            pool_ = std::make_unique<ThreadPool>(settings.threads);
            // A pool the system granted no workers is the serial iteration.
            if (pool_->size() == 1) pool_.reset();
        }
    }

    CgOutcome run(bool has_guess) {
        if (!scale_system(has_guess)) {
            outcome_.columns.resize(k_);
            for (size_t j = 0; j < k_; ++j) outcome_.columns[j] = cols_[j].result;
            return outcome_;
        }
        first_residuals(has_guess);
        if (outcome_.path == Path::Factor && factor_ == nullptr && any_running()) {
            factor_ = hooks_.factorize ? hooks_.factorize() : nullptr;
            if (factor_ == nullptr) {
                outcome_.stopped = true;
                return outcome_;
            }
        }
        if (outcome_.path == Path::Factor && factor_ != nullptr) ensure_work();
        for (size_t j = 0; j < k_ && tracked_ == k_; ++j) {
            if (cols_[j].running()) tracked_ = j;
        }
        started_ = Clock::now();
        iterate();
        finish();
        return outcome_;
    }

private:
    // b / ||b|| with its null-space part removed into rhs, x scaled alike; that part's size
    // bounds each column's target. False when a column is inconsistent (nothing else is done).
    bool scale_system(bool has_guess) {
        const uint64_t n = n_;
        const size_t k = k_;
        for (size_t j = 0; j < k; ++j) {
            cols_[j].bnorm = column_norm(b_, n, j, k);
            if (cols_[j].bnorm == 0.0) cols_[j].result.status = Status::ZeroRhs;
            // The relative target: the larger of tol and atol / ||b||.
            cols_[j].tol =
                cols_[j].bnorm > 0 ? std::max(settings_.tol, settings_.atol / cols_[j].bnorm) : settings_.tol;
            scale_[j] = cols_[j].bnorm;
        }
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) {
                const double s = cols_[j].bnorm;
                rhs_[i * k + j] = s > 0 ? b_[i * k + j] / s : 0.0;
                if (has_guess) x_[i * k + j] = s > 0 ? x_[i * k + j] / s : 0.0;
            }
        }
        if (!has_guess) std::fill(x_, x_ + n * k, 0.0);
        matrix_.project(rhs_.data(), k, k, sums_);
        matrix_.project(x_, k, k, sums_);
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) {
                const double s = cols_[j].bnorm;
                r_[i * k + j] = s > 0 ? b_[i * k + j] / s - rhs_[i * k + j] : 0.0;
            }
        }
        bool consistent = true;
        for (size_t j = 0; j < k; ++j) {
            const double unreachable = column_norm(r_.data(), n, j, k);
            const double tol = cols_[j].tol;
            cols_[j].target = std::sqrt(std::max(tol * tol - unreachable * unreachable, 0.0));
            if (unreachable >= tol) {
                cols_[j].result.status = Status::Inconsistent;
                cols_[j].result.residual = unreachable;
                consistent = false;
            }
        }
        return consistent;
    }

    void first_residuals(bool has_guess) {
        const uint64_t n = n_;
        const size_t k = k_;
        if (has_guess) {
            matrix_.multiply(x_, q_.data(), k, k, {}, pool_.get());
            for (size_t t = 0; t < n * k; ++t) r_[t] = rhs_[t] - q_[t];
        } else {
            r_ = rhs_;
        }
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            if (c.result.status == Status::ZeroRhs) c.result.residuals.push_back(0.0);
            if (!c.running()) continue;
            c.rnorm = column_norm(r_.data(), n, j, k);
            c.result.residuals.push_back(c.rnorm);
            c.first_true = c.last_true = c.rnorm;
            if (c.rnorm <= c.target) c.result.status = Status::Converged;
        }
        // No iteration allowed: the starting guess is the answer, converged or not.
        if (settings_.maxiter == 0) {
            for (Column& c : cols_) {
                if (c.running()) c.result.status = Status::MaxIter;
            }
        }
    }

    void iterate() {
        while (any_running()) {
            if (stop_here()) break;
            if (std::any_of(cols_.begin(), cols_.end(), [](const Column& c) { return c.check; })) {
                checkpoint();
                if (!any_running()) break;
            }
            precondition();
            if (stop_here()) break;
            next_directions();
            step();
            if (stop_here()) break;
            update();
            const double worst = record();
            if (hooks_.after_iteration) {
                if (!hooks_.after_iteration(IterateView{count_, worst, x_, scale_.data(), k_, k_})) {
                    outcome_.stopped = true;
                    break;
                }
            }
            if (settings_.time_limit > 0 && seconds_since(started_) > settings_.time_limit) {
                for (Column& c : cols_) {
                    if (c.running()) c.result.status = Status::TimeLimit;
                }
                break;
            }
            if (outcome_.path == Path::Jacobi) ++jacobi_iterations_;
            if (!maybe_switch()) break;
        }
    }

    // The true residual of every column that asked for one.
    void checkpoint() {
        const uint64_t n = n_;
        const size_t k = k_;
        matrix_.multiply(x_, q_.data(), k, k, {}, pool_.get());
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            if (!c.check) continue;
            c.check = false;
            for (uint64_t i = 0; i < n; ++i) q_[i * k + j] = rhs_[i * k + j] - q_[i * k + j];
            const double true_norm = column_norm(q_.data(), n, j, k);
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
                } else if (!switching_ && !(true_norm < kProgressFactor * c.last_true)) {
                    c.result.status = Status::Stalled;
                } else {
                    for (uint64_t i = 0; i < n; ++i) r_[i * k + j] = q_[i * k + j];
                    c.restart = true;
                    c.last_true = c.rnorm = true_norm;
                    if (j == tracked_) lanczos_.stop();
                }
            }
            c.suspect = false;
        }
        switching_ = false;
    }

    // z = M r, into q; then r . z per column, in the pass that writes z when nothing is
    // projected out of it afterwards (the factor's own solve already removes the mean on a
    // connected Laplacian; without a null space there is nothing to remove).
    void precondition() {
        const uint64_t n = n_;
        const size_t k = k_;
        const bool projected =
            matrix_.singular() &&
            !(outcome_.path == Path::Factor && matrix_.connected_laplacian() && factor_->n() == factor_->original_n());
        std::fill(dots_.begin(), dots_.end(), 0.0);
        const std::span<double> fused = projected ? std::span<double>{} : std::span<double>{dots_};
        if (outcome_.path == Path::Factor) {
            const auto error = factor_->apply({n, k, k}, r_, q_, work_, 1.0, fused, pool_.get());
            if (error) throw InternalFault("block solve: " + message(*error));
        } else if (outcome_.path == Path::Jacobi) {
            const double* inv = matrix_.inverse_diagonal().data();
            if (pool_ == nullptr) {
                apply_jacobi(inv, r_.data(), q_.data(), fused, n, k);
            } else {
                over_rows(pool_.get(), n, [&](uint64_t b, uint64_t e) {
                    apply_jacobi(inv + b, r_.data() + b * k, q_.data() + b * k, {}, e - b, k);
                });
                if (!fused.empty()) column_dots(r_.data(), q_.data(), dots_.data(), n, k);
            }
        } else {
            std::copy(r_.begin(), r_.end(), q_.begin());
            if (!projected) column_dots(r_.data(), q_.data(), dots_.data(), n, k);
        }
        if (projected) {
            matrix_.project(q_.data(), k, k, sums_);
            column_dots(r_.data(), q_.data(), dots_.data(), n, k);
        }
    }

    // beta from r . z, then p = z + beta p. A column without a step (stopped, or waiting for a
    // checkpoint) gets p = 0, so it moves no further and nothing it holds reaches another
    // column.
    void next_directions() {
        const uint64_t n = n_;
        const size_t k = k_;
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            c.step = 0.0;
            c.beta = 0.0;
            if (!c.running()) continue;
            const double rz = dots_[j];
            if (!std::isfinite(rz)) {
                c.result.status = Status::NonFinite;
            } else if (rz <= 0) {
                c.check = c.suspect = true;
            } else {
                c.step = 1.0;
                c.beta = c.restart ? 0.0 : rz / c.rz;
                if (j == tracked_ && !c.restart) lanczos_.add_beta(c.beta);
                c.rz = rz;
                c.restart = false;
            }
        }
        for (size_t j = 0; j < k; ++j) {
            steps_[j] = cols_[j].step;
            betas_[j] = cols_[j].beta;
        }
        over_rows(pool_.get(), n, [&](uint64_t b, uint64_t e) {
            update_directions(q_.data() + b * k, p_.data() + b * k, steps_.data(), betas_.data(), e - b, k);
        });
    }

    // q = A p with p . A p per column.
    void step() {
        std::fill(dots_.begin(), dots_.end(), 0.0);
        matrix_.multiply(p_.data(), q_.data(), k_, k_, dots_, pool_.get());
    }

    // alpha from p . A p, then x += alpha p, r -= alpha A p and r . r per column.
    void update() {
        const uint64_t n = n_;
        const size_t k = k_;
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            alphas_[j] = 0.0;
            if (!c.running() || c.step == 0.0) continue;
            const double pq = dots_[j];
            if (!std::isfinite(pq)) {
                c.result.status = Status::NonFinite;
            } else if (pq <= 0) {
                c.check = c.suspect = true;
            } else {
                alphas_[j] = c.rz / pq;
                if (j == tracked_) lanczos_.add_alpha(alphas_[j]);
            }
        }
        std::fill(dots_.begin(), dots_.end(), 0.0);
        if (pool_ == nullptr) {
            update_iterate(x_, r_.data(), p_.data(), q_.data(), alphas_.data(), dots_.data(), n, k);
        } else {
            // The updates in shares, r . r afterwards in row order: the fused pass's sums.
            over_rows(pool_.get(), n, [&](uint64_t b, uint64_t e) {
                move_iterate(x_ + b * k, r_.data() + b * k, p_.data() + b * k, q_.data() + b * k, alphas_.data(),
                             e - b, k);
            });
            column_dots(r_.data(), r_.data(), dots_.data(), n, k);
        }
        ++count_;
    }

    // Counts the iteration for every column that stepped, records its residual, and asks for
    // a checkpoint where the residual reached the target or stopped decreasing. Returns the
    // largest residual.
    double record() {
        double worst = 0.0;
        for (size_t j = 0; j < k_; ++j) {
            Column& c = cols_[j];
            if (!c.running() || alphas_[j] == 0.0) continue;
            ++c.result.iterations;
            if (outcome_.path == Path::Jacobi) ++c.result.jacobi_iterations;
            c.rnorm = std::sqrt(dots_[j]);
            c.result.residuals.push_back(c.rnorm);
            if (!std::isfinite(c.rnorm)) {
                c.result.status = Status::NonFinite;
                continue;
            }
            worst = std::max(worst, c.rnorm);
            if (c.rnorm <= c.target) c.check = true;
            if (outcome_.path == Path::Factor) {
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
        for (Column& c : cols_) {
            if (c.running() && c.result.iterations >= settings_.maxiter) {
                // One last look: the recurrence may have reached the target just now.
                c.result.status = Status::MaxIter;
            }
        }
        return worst;
    }

    // The adaptive start's decision, every kDecisionInterval Jacobi iterations: on switching,
    // the factor is built and every running column checks its true residual. False when the
    // factor could not be built (the iteration stops).
    bool maybe_switch() {
        if (!(settings_.adaptive && outcome_.path == Path::Jacobi && jacobi_iterations_ % kDecisionInterval == 0 &&
              any_running())) {
            return true;
        }
        double remaining = 1.0;
        for (const Column& c : cols_) {
            if (c.running() && c.target > 0) remaining = std::max(remaining, c.rnorm / c.target);
        }
        SwitchInputs inputs;
        inputs.remaining_reduction = remaining;
        inputs.width = static_cast<double>(k_);
        if (!should_switch(lanczos_, inputs)) return true;
        factor_ = hooks_.factorize ? hooks_.factorize() : nullptr;
        if (factor_ == nullptr) {
            outcome_.stopped = true;
            return false;
        }
        ensure_work();
        outcome_.path = Path::Factor;
        switching_ = true;
        for (Column& c : cols_) {
            if (c.running()) c.check = true;
        }
        return true;
    }

    // Back to the caller's scale: the best iterate where the last one went wrong, each
    // column's final status and the residual of the x returned.
    void finish() {
        const uint64_t n = n_;
        const size_t k = k_;
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            if (c.saved && (c.result.status == Status::Stalled || c.result.status == Status::NonFinite ||
                            c.result.status == Status::Breakdown)) {
                for (uint64_t i = 0; i < n; ++i) x_[i * k + j] = best_[i * k + j];
            }
        }
        matrix_.project(x_, k, k, sums_);
        for (uint64_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < k; ++j) x_[i * k + j] = x_[i * k + j] * cols_[j].bnorm;
        }
        // The reported residual is that of the returned x itself, ||b - A x|| / ||b||, with A's
        // products summed entry by entry in row order from 0: near the accuracy limit, the
        // rounding of x's own scaling would otherwise show in the figure.
        matrix_.multiply(x_, q_.data(), k, k, {}, pool_.get());
        for (size_t t = 0; t < n * k; ++t) q_[t] = b_[t] - q_[t];
        outcome_.columns.resize(k);
        for (size_t j = 0; j < k; ++j) {
            Column& c = cols_[j];
            c.result.residual = c.bnorm > 0 ? column_norm(q_.data(), n, j, k) / c.bnorm : 0.0;
            if (c.result.status == Status::Running) c.result.status = Status::MaxIter;
            if (c.result.status == Status::Converged && !(c.result.residual <= c.tol)) {
                c.result.status = std::isfinite(c.result.residual) ? Status::Stalled : Status::NonFinite;
            }
            if (c.result.status == Status::MaxIter && c.result.residual <= c.tol) {
                c.result.status = Status::Converged;
            }
            outcome_.columns[j] = c.result;
        }
    }

    bool any_running() const {
        return std::any_of(cols_.begin(), cols_.end(), [](const Column& c) { return c.running(); });
    }
    bool stop_here() {
        if (hooks_.should_stop && hooks_.should_stop()) {
            outcome_.stopped = true;
            return true;
        }
        return false;
    }
    void save_best(size_t j) {
        if (best_.empty()) best_.resize(n_ * k_);
        for (uint64_t i = 0; i < n_; ++i) best_[i * k_ + j] = x_[i * k_ + j];
        cols_[j].saved = true;
    }
    void ensure_work() { work_.resize(factor_->work_size(k_)); }

    const CheckedMatrix& matrix_;
    const StreamedFactor* factor_;
    const double* b_;
    double* x_;
    const uint64_t n_;
    const size_t k_;
    const CgSettings& settings_;
    const CgHooks& hooks_;
    // Null for a serial iteration.
    std::unique_ptr<ThreadPool> pool_;
    CgOutcome outcome_;
    std::vector<Column> cols_;
    LargeVector<double> rhs_, r_, p_, q_, best_, work_;
    std::vector<double> sums_;
    std::vector<double> dots_, alphas_, betas_, steps_, scale_;
    LanczosRecord lanczos_;
    // The column whose coefficients estimate the spectrum.
    size_t tracked_ = k_;
    Clock::time_point started_;
    uint64_t jacobi_iterations_ = 0;
    uint64_t count_ = 0;
    bool switching_ = false;
};

}  // namespace

CgOutcome block_cg(const CheckedMatrix& matrix, const StreamedFactor* factor, const double* b, double* x,
                   size_t width, bool has_guess, const CgSettings& settings, const CgHooks& hooks) {
    return Iteration(matrix, factor, b, x, width, settings, hooks).run(has_guess);
}

}  // namespace vorlane

// The public Preconditioner over the solver: the checked matrix, its factor and the iteration.
#include "vorlane/preconditioner.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "api/guarded.hpp"
#include "vorlane/block_cg.hpp"
#include "vorlane/checked_matrix.hpp"
#include "vorlane/large_alloc.hpp"
#include "vorlane/solver_factor.hpp"

namespace vorlane {

struct Preconditioner::State {
    CheckedMatrix matrix;
    SolverFactor factor;
};

namespace {

Error invalid_argument(std::string message) { return Error{ErrorKind::InvalidArgument, std::move(message)}; }

void borrow(const CsrMatrix<int32_t>& a, RawCsr& raw) {
    raw.indptr32 = a.row_ptrs;
    raw.indices32 = a.col_indices;
}
void borrow(const CsrMatrix<int64_t>& a, RawCsr& raw) {
    raw.indptr64 = a.row_ptrs;
    raw.indices64 = a.col_indices;
}

// More threads than this are refused: a pool of them would be a mistake, not a machine.
constexpr unsigned kMaxThreads = 4096;

FactorSettings factor_settings(const PreconditionerOptions& options) {
    FactorSettings settings;
    settings.seed = options.seed;
    settings.split = options.split;
    settings.renumber = static_cast<Renumber>(options.renumber);
    settings.precision = options.mixed_precision ? Precision::Mixed : Precision::Double;
    settings.order = options.order == PreconditionerOptions::Order::Rounds ? Order::Rounds : Order::Sequential;
    settings.threads = options.threads;
    settings.rounds.round_size = options.round_size;
    settings.rounds.degree_factor = options.degree_factor;
    settings.rounds.blocks = options.blocks;
    settings.parts.assign(options.parts.begin(), options.parts.end());
    return settings;
}

Error factorize_error(FactorizeError&& error) {
    switch (error.kind) {
        case ErrorClass::OutOfMemory:
            return Error{ErrorKind::OutOfMemory, std::move(error.message)};
        case ErrorClass::Invalid:
            return Error{ErrorKind::InvalidArgument, std::move(error.message)};
        case ErrorClass::Interrupted:
            break;
    }
    // Nothing asks the factorization to stop.
    return Error{ErrorKind::Internal, "vorlane internal error: " + error.message};
}

SolveStatus solve_status(Status status) {
    switch (status) {
        case Status::Converged:
            return SolveStatus::Converged;
        case Status::Stalled:
            return SolveStatus::Stalled;
        case Status::Breakdown:
            return SolveStatus::Breakdown;
        case Status::NonFinite:
            return SolveStatus::NonFinite;
        case Status::ZeroRhs:
            return SolveStatus::ZeroRhs;
        case Status::Inconsistent:
            return SolveStatus::Inconsistent;
        case Status::Running:
        case Status::MaxIter:
        case Status::TimeLimit:
            break;
    }
    return SolveStatus::MaxIter;
}

struct Parts {
    CheckedMatrix matrix;
    SolverFactor factor;
};

template <class Index>
Result<Parts> check_and_factorize(const CsrMatrix<Index>& a, const PreconditionerOptions& options) {
    if (options.split && *options.split == 0) return unexpected(invalid_argument("split must be at least 1"));
    if (static_cast<uint8_t>(options.renumber) > static_cast<uint8_t>(PreconditionerOptions::Renumber::Always)) {
        return unexpected(invalid_argument("renumber must be Never, Auto or Always"));
    }
    if (static_cast<uint8_t>(options.order) > static_cast<uint8_t>(PreconditionerOptions::Order::Rounds)) {
        return unexpected(invalid_argument("order must be Sequential or Rounds"));
    }
    if (options.threads < 1 || options.threads > kMaxThreads) {
        return unexpected(invalid_argument("threads must be between 1 and " + std::to_string(kMaxThreads)));
    }
    if (options.round_size < 1 || !(options.degree_factor >= 1.0 && options.degree_factor <= 1e6)) {
        return unexpected(invalid_argument("round_size must be at least 1 and degree_factor between 1 and 1e6"));
    }
    RawCsr raw;
    raw.n = a.n;
    raw.data = a.values;
    borrow(a, raw);
    auto copied = CheckedMatrix::copy_from(raw);
    if (!copied) return unexpected(Error{ErrorKind::InvalidMatrix, std::move(copied).error()});
    CheckedMatrix matrix = std::move(copied).value();
    if (auto problem = matrix.canonicalize_and_check({})) {
        return unexpected(Error{ErrorKind::InvalidMatrix, std::move(*problem)});
    }
    auto factor = factorize(matrix, factor_settings(options));
    if (!factor) return unexpected(factorize_error(std::move(factor).error()));
    return Parts{std::move(matrix), std::move(factor).value()};
}

}  // namespace

Result<Preconditioner> Preconditioner::build(const CsrMatrix<int32_t>& a, const PreconditionerOptions& options) {
    return api::guarded<Preconditioner>([&]() -> Result<Preconditioner> {
        auto parts = check_and_factorize(a, options);
        if (!parts) return unexpected(std::move(parts).error());
        return Preconditioner(std::make_shared<const State>(State{std::move(parts->matrix), std::move(parts->factor)}));
    });
}

Result<Preconditioner> Preconditioner::build(const CsrMatrix<int64_t>& a, const PreconditionerOptions& options) {
    return api::guarded<Preconditioner>([&]() -> Result<Preconditioner> {
        auto parts = check_and_factorize(a, options);
        if (!parts) return unexpected(std::move(parts).error());
        return Preconditioner(std::make_shared<const State>(State{std::move(parts->matrix), std::move(parts->factor)}));
    });
}

uint64_t Preconditioner::n() const { return state_->matrix.n(); }
bool Preconditioner::singular() const { return state_->matrix.singular(); }
uint64_t Preconditioner::nnz() const { return state_->factor.core.rows.size() + state_->factor.core.n_steps(); }

std::optional<Error> Preconditioner::apply(std::span<const double> r, std::span<double> z, uint64_t width) const {
    const uint64_t n = this->n();
    if (width == 0 || r.size() != n * width || z.size() != n * width) {
        return invalid_argument("r and z must hold n x width = " + std::to_string(n) + " x " + std::to_string(width) +
                                " elements");
    }
    auto applied = api::guarded<bool>([&]() -> Result<bool> {
        const StreamedFactor& factor = state_->factor.streamed;
        LargeVector<double> work(factor.work_size(width));
        // The factor solves with factor_scale * A; scaled back, it approximates A's inverse.
        if (auto error = factor.apply({n, width, width}, r, z, work, state_->matrix.factor_scale())) {
            return unexpected(Error{ErrorKind::Internal, "vorlane internal error: " + message(*error)});
        }
        return true;
    });
    if (!applied) return std::move(applied).error();
    return std::nullopt;
}

Result<SolveInfo> Preconditioner::solve(std::span<const double> b, std::span<double> x,
                                        const SolveOptions& options) const {
    auto infos = solve(b, x, 1, options);
    if (!infos) return unexpected(std::move(infos).error());
    return std::move(infos.value().front());
}

Result<std::vector<SolveInfo>> Preconditioner::solve(std::span<const double> b, std::span<double> x, uint64_t width,
                                                     const SolveOptions& options) const {
    const uint64_t n = this->n();
    if (width == 0 || b.size() != n * width || x.size() != n * width) {
        return unexpected(invalid_argument("b and x must hold n x width = " + std::to_string(n) + " x " +
                                           std::to_string(width) + " elements"));
    }
    if (!(options.rtol >= 0.0) || !std::isfinite(options.rtol) || !(options.atol >= 0.0) ||
        !std::isfinite(options.atol)) {
        return unexpected(invalid_argument("rtol and atol must be finite and non-negative"));
    }
    if (options.threads < 1 || options.threads > kMaxThreads) {
        return unexpected(invalid_argument("threads must be between 1 and " + std::to_string(kMaxThreads)));
    }
    return api::guarded<std::vector<SolveInfo>>([&]() -> Result<std::vector<SolveInfo>> {
        CgSettings settings;
        settings.tol = options.rtol;
        settings.atol = options.atol;
        settings.maxiter = options.maxiter;
        settings.start = Path::Factor;
        settings.threads = options.threads;
        std::vector<SolveInfo> infos(width);
        // Solves the listed columns together, in copies, so that a column found inconsistent
        // keeps its x; returns the columns the iteration left untouched.
        auto solve_columns = [&](const std::vector<uint64_t>& columns) -> Result<std::vector<uint64_t>> {
            const uint64_t k = columns.size();
            std::vector<double> rhs(n * k), iterate(n * k);
            for (uint64_t i = 0; i < n; ++i) {
                for (uint64_t c = 0; c < k; ++c) {
                    rhs[i * k + c] = b[i * width + columns[c]];
                    iterate[i * k + c] = x[i * width + columns[c]];
                }
            }
            const CgOutcome outcome = block_cg(state_->matrix, &state_->factor.streamed, rhs.data(), iterate.data(), k,
                                               options.use_initial_guess, settings, {});
            if (outcome.stopped || outcome.columns.size() != k) {
                return unexpected(Error{ErrorKind::Internal, "vorlane internal error: the iteration stopped unasked"});
            }
            std::vector<uint64_t> untouched;
            for (uint64_t c = 0; c < k; ++c) {
                const ColumnResult& column = outcome.columns[c];
                if (column.status == Status::Running) {
                    untouched.push_back(columns[c]);
                    continue;
                }
                infos[columns[c]] =
                    SolveInfo{solve_status(column.status), column.iterations, column.residual, column.residuals};
                if (column.status == Status::Inconsistent) continue;
                for (uint64_t i = 0; i < n; ++i) x[i * width + columns[c]] = iterate[i * k + c];
            }
            return untouched;
        };
        std::vector<uint64_t> all(width);
        for (uint64_t j = 0; j < width; ++j) all[j] = j;
        auto untouched = solve_columns(all);
        // An inconsistent column stops its block before anything is iterated: the others are
        // solved again without it.
        if (untouched && !untouched->empty()) untouched = solve_columns(untouched.value());
        if (!untouched) return unexpected(std::move(untouched).error());
        if (!untouched->empty()) {
            return unexpected(Error{ErrorKind::Internal, "vorlane internal error: a column was never iterated"});
        }
        return infos;
    });
}

}  // namespace vorlane

// Small numerical helpers for the core's tests: products, a dense direct solve, a hand-rolled
// preconditioned conjugate gradient, and checks every finished factor must pass.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "problems.hpp"
#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"

namespace vt {

using Vec = std::vector<double>;

inline Vec matvec(const Csr& m, const Vec& x) {
    Vec y(m.n, 0.0);
    for (uint32_t i = 0; i < m.n; ++i) {
        double s = 0.0;
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) s += m.values[k] * x[m.col_indices[k]];
        y[i] = s;
    }
    return y;
}

inline Vec matvec(const Dense& a, const Vec& x) {
    Vec y(a.size(), 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
        for (size_t j = 0; j < x.size(); ++j) y[i] += a[i][j] * x[j];
    }
    return y;
}

inline double dot(const Vec& a, const Vec& b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

inline double norm(const Vec& a) { return std::sqrt(dot(a, a)); }

inline Vec minus(const Vec& a, const Vec& b) {
    Vec c(a.size());
    for (size_t i = 0; i < a.size(); ++i) c[i] = a[i] - b[i];
    return c;
}

inline double rel_diff(const Vec& a, const Vec& b) {
    const double scale = std::max(norm(b), std::numeric_limits<double>::min());
    return norm(minus(a, b)) / scale;
}

inline Vec zero_mean(Vec v) {
    if (v.empty()) return v;
    double s = 0.0;
    for (double x : v) s += x;
    const double mean = s / static_cast<double>(v.size());
    for (double& x : v) x -= mean;
    return v;
}

inline Vec random_vector(size_t n, uint64_t seed) {
    Rng rng(seed);
    Vec v(n);
    for (double& x : v) x = rng.uniform(-1.0, 1.0);
    return v;
}

// Gaussian elimination with partial pivoting; for the small nonsingular systems of the tests.
inline Vec dense_solve(Dense a, Vec b) {
    const size_t n = b.size();
    for (size_t c = 0; c < n; ++c) {
        size_t piv = c;
        for (size_t r = c + 1; r < n; ++r) {
            if (std::abs(a[r][c]) > std::abs(a[piv][c])) piv = r;
        }
        if (a[piv][c] == 0.0) throw std::runtime_error("dense_solve: singular matrix");
        std::swap(a[c], a[piv]);
        std::swap(b[c], b[piv]);
        for (size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            if (f == 0.0) continue;
            for (size_t j = c; j < n; ++j) a[r][j] -= f * a[c][j];
            b[r] -= f * b[c];
        }
    }
    Vec x(n, 0.0);
    for (size_t i = n; i-- > 0;) {
        double s = b[i];
        for (size_t j = i + 1; j < n; ++j) s -= a[i][j] * x[j];
        x[i] = s / a[i][i];
    }
    return x;
}

// The zero-mean solution of L x = b for the Laplacian of a connected graph and a right-hand
// side orthogonal to the constants: pin the last vertex, solve the rest, shift to zero mean.
inline Vec laplacian_solve(const Csr& lap, const Vec& b) {
    const size_t n = lap.n;
    if (n <= 1) return Vec(n, 0.0);
    const Dense full = to_dense(lap);
    Dense a(n - 1, Vec(n - 1));
    Vec rhs(b.begin(), b.end() - 1);
    for (size_t i = 0; i + 1 < n; ++i) {
        for (size_t j = 0; j + 1 < n; ++j) a[i][j] = full[i][j];
    }
    Vec x = dense_solve(a, rhs);
    x.push_back(0.0);
    return zero_mean(x);
}

struct CgResult {
    Vec x;
    int iterations = 0;
    bool converged = false;
};

using Operator = std::function<Vec(const Vec&)>;

// Preconditioned conjugate gradient from x = 0, stopping when ||b - A x|| <= tol ||b||
// (the recurrence residual). With an identity preconditioner it is plain CG.
inline CgResult pcg(const Operator& apply_a, const Operator& precondition, const Vec& b, double tol, int max_iter) {
    CgResult out;
    const size_t n = b.size();
    out.x.assign(n, 0.0);
    Vec r = b;
    const double stop = tol * norm(b);
    if (norm(r) <= stop) {
        out.converged = true;
        return out;
    }
    Vec z = precondition(r);
    Vec p = z;
    double rz = dot(r, z);
    for (int it = 1; it <= max_iter; ++it) {
        const Vec ap = apply_a(p);
        const double alpha = rz / dot(p, ap);
        for (size_t i = 0; i < n; ++i) {
            out.x[i] += alpha * p[i];
            r[i] -= alpha * ap[i];
        }
        out.iterations = it;
        if (norm(r) <= stop) {
            out.converged = true;
            return out;
        }
        z = precondition(r);
        const double rz_new = dot(r, z);
        const double beta = rz_new / rz;
        rz = rz_new;
        for (size_t i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
    }
    return out;
}

inline vorlane::CoreConfig plain_config(uint64_t seed = 0) { return vorlane::CoreConfig{std::nullopt, seed}; }
inline vorlane::CoreConfig split_config(uint32_t k, uint64_t seed = 0) { return vorlane::CoreConfig{k, seed}; }

inline std::string config_name(const vorlane::CoreConfig& c) {
    return c.split_merge ? "split" + std::to_string(*c.split_merge) : std::string("plain");
}

// Every standard problem in plain mode and in split mode (k = 3), for the structural tests.
struct ConfiguredProblem {
    Problem problem;
    vorlane::CoreConfig config;
};

inline void PrintTo(const ConfiguredProblem& c, std::ostream* os) {
    *os << c.problem.name << " " << config_name(c.config);
}

inline std::vector<ConfiguredProblem> configured_problems(uint64_t seed) {
    std::vector<ConfiguredProblem> out;
    for (const auto& p : standard_problems()) {
        out.push_back({p, plain_config(seed)});
        out.push_back({p, split_config(3, seed)});
    }
    return out;
}

// Factorizes, turning an error into a test failure (gtest reports the exception).
inline vorlane::CoreFactor must_factor(const Csr& m, const vorlane::CoreConfig& config) {
    auto result = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, config);
    if (!result) throw std::runtime_error("build_factor failed: " + vorlane::message(result.error()));
    return std::move(result).value();
}

// Runs the solve into a fresh buffer of the internal dimension and returns it whole.
inline Vec solve_full(const vorlane::CoreFactor& f, const Vec& rhs) {
    Vec work(f.n, std::numeric_limits<double>::quiet_NaN());
    if (auto err = vorlane::solve_into_buffer(f, rhs, work)) {
        throw std::runtime_error("solve failed: " + vorlane::message(*err));
    }
    return work;
}

// The solve as a caller of the input dimension sees it.
inline Vec solve_original(const vorlane::CoreFactor& f, const Vec& rhs) {
    Vec full = solve_full(f, rhs);
    full.resize(f.original_n);
    return full;
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) return false;
    }
    return true;
}

inline bool identical(const vorlane::CoreFactor& a, const vorlane::CoreFactor& b) {
    return a.n == b.n && a.original_n == b.original_n && a.order == b.order && a.col_starts == b.col_starts &&
           a.rows == b.rows && same_bits(a.coefficients, b.coefficients) && same_bits(a.inv_diag, b.inv_diag);
}

// Everything a finished factor must satisfy, whatever the input.
inline ::testing::AssertionResult factor_invariants(const vorlane::CoreFactor& f) {
    const uint64_t steps = f.order.size();
    if (f.n != f.original_n && f.n != f.original_n + 1) {
        return ::testing::AssertionFailure() << "n " << f.n << " vs original_n " << f.original_n;
    }
    const uint64_t expected_steps = f.n > 0 ? f.n - 1 : 0;
    if (steps != expected_steps) {
        return ::testing::AssertionFailure() << "n_steps " << steps << ", expected " << expected_steps;
    }
    if (f.inv_diag.size() != steps) return ::testing::AssertionFailure() << "inv_diag length " << f.inv_diag.size();
    if (f.col_starts.size() != steps + 1) {
        return ::testing::AssertionFailure() << "col_starts length " << f.col_starts.size();
    }
    if (f.col_starts[0] != 0) return ::testing::AssertionFailure() << "col_starts[0] = " << f.col_starts[0];
    if (f.rows.size() != f.coefficients.size() || f.rows.size() != f.col_starts.back()) {
        return ::testing::AssertionFailure() << "rows " << f.rows.size() << ", coefficients " << f.coefficients.size()
                                             << ", last col_start " << f.col_starts.back();
    }
    std::vector<char> gone(f.n, 0);
    std::vector<uint64_t> mark(f.n, UINT64_MAX);
    for (uint64_t s = 0; s < steps; ++s) {
        if (f.col_starts[s] > f.col_starts[s + 1]) {
            return ::testing::AssertionFailure() << "col_starts decreases at step " << s;
        }
        const uint32_t v = f.order[s];
        if (v >= f.n) return ::testing::AssertionFailure() << "order[" << s << "] = " << v << " out of range";
        if (gone[v]) return ::testing::AssertionFailure() << "vertex " << v << " eliminated twice";
        for (uint32_t t = f.col_starts[s]; t < f.col_starts[s + 1]; ++t) {
            const uint32_t r = f.rows[t];
            if (r >= f.n) return ::testing::AssertionFailure() << "row " << r << " out of range at step " << s;
            if (r == v) return ::testing::AssertionFailure() << "step " << s << " names its own vertex " << v;
            if (gone[r]) {
                return ::testing::AssertionFailure() << "step " << s << " names vertex " << r
                                                     << " eliminated earlier";
            }
            if (mark[r] == s) return ::testing::AssertionFailure() << "step " << s << " names " << r << " twice";
            mark[r] = s;
        }
        gone[v] = 1;
        const double e = f.inv_diag[s];
        // The pivot threshold depends on the matrix's scale, so only finiteness is universal.
        if (!std::isfinite(e)) return ::testing::AssertionFailure() << "inv_diag[" << s << "] = " << e;
    }
    uint64_t left = 0;
    for (char g : gone) left += g ? 0 : 1;
    if (left != (f.n > 0 ? 1u : 0u)) return ::testing::AssertionFailure() << left << " vertices never eliminated";
    return ::testing::AssertionSuccess();
}

}  // namespace vt

namespace vorlane {
// Readable test parameters in failure messages.
inline void PrintTo(const CoreConfig& c, std::ostream* os) { *os << vt::config_name(c) << " seed " << c.seed; }
}  // namespace vorlane

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "exact/dense_ldl.hpp"
#include "exact/sparse_ldl.hpp"
#include "vorlane/exact_inverse.hpp"
#include "vorlane/internal_fault.hpp"

namespace vorlane {

namespace {

using exact::ExactFactor;
using exact::SymmetricLists;
using Kind = ExactInverseError::Kind;

// Columns between two asks whether to stop.
constexpr uint32_t kPollColumns = 1024;

// Each row's off-diagonal entries sorted, duplicates summed, zeros dropped; the diagonal apart.
Expected<SymmetricLists, ExactInverseError> clean_rows(const CsrView& csr) {
    const uint32_t n = csr.n();
    SymmetricLists rows;
    rows.n = n;
    rows.starts.assign(size_t(n) + 1, 0);
    rows.diagonal.assign(n, 0.0);
    rows.cols.reserve(csr.nnz());
    rows.values.reserve(csr.nnz());
    std::vector<std::pair<uint32_t, double>> row;
    for (uint32_t i = 0; i < n; ++i) {
        const CsrView::Row r = csr.row(i);
        row.clear();
        double sum = 0.0, largest = 0.0;
        for (size_t p = 0; p < r.cols.size(); ++p) {
            sum += r.values[p];
            largest = std::max(largest, std::fabs(r.values[p]));
            if (r.cols[p] == i) {
                rows.diagonal[i] += r.values[p];
            } else {
                row.emplace_back(r.cols[p], r.values[p]);
            }
        }
        if (!(std::fabs(sum) <= 1e-9 * largest)) return unexpected(ExactInverseError{Kind::RowSumNotZero, i});
        std::sort(row.begin(), row.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        for (size_t p = 0; p < row.size();) {
            double value = 0.0;
            const uint32_t col = row[p].first;
            for (; p < row.size() && row[p].first == col; ++p) value += row[p].second;
            if (value == 0.0) continue;
            rows.cols.push_back(col);
            rows.values.push_back(value);
        }
        rows.starts[i + 1] = rows.cols.size();
    }
    // Row i's entry (i, j) must be row j's (j, i): the transpose, built column by column in
    // row order, is sorted like the rows and must equal them.
    std::vector<uint64_t> fill(rows.starts.begin(), rows.starts.end() - 1);
    std::vector<uint32_t> tcols(rows.cols.size());
    std::vector<double> tvalues(rows.cols.size());
    for (uint32_t i = 0; i < n; ++i) {
        for (uint64_t p = rows.starts[i]; p < rows.starts[i + 1]; ++p) {
            const uint32_t j = rows.cols[p];
            if (fill[j] == rows.starts[j + 1]) return unexpected(ExactInverseError{Kind::NotSymmetric, j});
            tcols[fill[j]] = i;
            tvalues[fill[j]++] = rows.values[p];
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        for (uint64_t p = rows.starts[i]; p < rows.starts[i + 1]; ++p) {
            if (fill[i] != rows.starts[i + 1] || tcols[p] != rows.cols[p] || tvalues[p] != rows.values[p]) {
                return unexpected(ExactInverseError{Kind::NotSymmetric, i});
            }
        }
    }
    return rows;
}

// The rows without the ground vertex g, renumbered to close the gap.
SymmetricLists grounded(const SymmetricLists& rows, uint32_t g) {
    const uint32_t n = rows.n;
    SymmetricLists m;
    m.n = n - 1;
    m.starts.reserve(n);
    m.starts.push_back(0);
    m.cols.reserve(rows.cols.size());
    m.values.reserve(rows.cols.size());
    m.diagonal.reserve(n - 1);
    for (uint32_t i = 0; i < n; ++i) {
        if (i == g) continue;
        for (uint64_t p = rows.starts[i]; p < rows.starts[i + 1]; ++p) {
            const uint32_t j = rows.cols[p];
            if (j == g) continue;
            m.cols.push_back(j < g ? j : j - 1);
            m.values.push_back(rows.values[p]);
        }
        m.starts.push_back(m.cols.size());
        m.diagonal.push_back(rows.diagonal[i]);
    }
    return m;
}

// The inverse's entries on the factor's pattern, by columns from the last: for column j with
// rows S and L entries l, Z_ij = -sum_{k in S} l_k Z_ik for i in S, and
// Z_jj = 1/D_j - sum_{k in S} l_k Z_kj. Every Z_ik named lies in column min(i, k), whose
// rows hold max(i, k) because eliminating j joined all of S. Returns diag(Z) by step, or
// nothing when stop said stop. Overwrites the dense tail's factor with its inverse.
std::optional<std::vector<double>> inverse_diagonal(ExactFactor& f, StopCheck stop) {
    const uint32_t t = f.tail_start, r = f.tail_size();
    std::vector<double> zdiag(f.n);
    {
        std::vector<double> work(size_t(r) * r);
        if (!exact::dense_inverse(f.tail.data(), r, f.pivots.data() + t, work.data(), stop)) return std::nullopt;
    }
    const double* Z = f.tail.data();
    for (uint32_t i = 0; i < r; ++i) zdiag[t + i] = Z[size_t(i) * r + i];
    std::vector<double> zval(f.col_rows.size());
    std::vector<double> sums;
    for (uint32_t j = t; j-- > 0;) {
        if (j % kPollColumns == 0 && exact::should_stop(stop)) return std::nullopt;
        const uint64_t begin = f.col_starts[j];
        const uint32_t s = static_cast<uint32_t>(f.col_starts[j + 1] - begin);
        const uint32_t* R = f.col_rows.data() + begin;
        const double* l = f.col_values.data() + begin;
        sums.assign(s, 0.0);
        for (uint32_t a = 0; a < s; ++a) {
            const uint32_t i = R[a];
            sums[a] += l[a] * zdiag[i];
            if (i >= t) {
                const double* row = Z + size_t(i - t) * r;
                for (uint32_t b = a + 1; b < s; ++b) {
                    const double z = row[R[b] - t];
                    sums[a] += l[b] * z;
                    sums[b] += l[a] * z;
                }
                continue;
            }
            const uint32_t* rows = f.col_rows.data() + f.col_starts[i];
            const uint32_t* end = f.col_rows.data() + f.col_starts[i + 1];
            const uint32_t* at = rows;
            for (uint32_t b = a + 1; b < s; ++b) {
                at = std::lower_bound(at, end, R[b]);
                if (at == end || *at != R[b]) throw InternalFault("selected inversion: a fill entry is missing");
                const double z = zval[f.col_starts[i] + uint64_t(at - rows)];
                sums[a] += l[b] * z;
                sums[b] += l[a] * z;
            }
        }
        double diagonal = 1.0 / f.pivots[j];
        for (uint32_t a = 0; a < s; ++a) {
            zval[begin + a] = -sums[a];
            diagonal -= l[a] * zval[begin + a];
        }
        zdiag[j] = diagonal;
    }
    return zdiag;
}

// The Laplacian's vertex of the grounded matrix's vertex v.
uint64_t ungrounded(uint64_t v, uint32_t g) { return v < g ? v : v + 1; }

// X b for the grounded inverse X, b given and returned by vertex (g's entry ignored, then 0).
void grounded_solve(const ExactFactor& f, uint32_t g, std::span<double> b) {
    std::vector<double> by_step(f.n);
    for (uint32_t v = 0; v < f.n; ++v) by_step[f.step[v]] = b[ungrounded(v, g)];
    exact::solve_exact(f, by_step);
    for (uint32_t v = 0; v < f.n; ++v) b[ungrounded(v, g)] = by_step[f.step[v]];
    b[g] = 0.0;
}

void remove_mean(std::span<double> x) {
    double total = 0.0;
    for (double value : x) total += value;
    const double mean = total / double(x.size());
    for (double& value : x) value -= mean;
}

Expected<std::vector<double>, ExactInverseError> pinv_diagonal(const CsrView& csr, double budget, StopCheck stop,
                                                               std::span<double> solve) {
    const uint32_t n = csr.n();
    auto rows = clean_rows(csr);
    if (!rows) return unexpected(rows.error());
    if (n <= 1) {
        std::fill(solve.begin(), solve.end(), 0.0);
        return std::vector<double>(n, 0.0);
    }
    uint32_t g = 0;
    for (uint32_t i = 1; i < n; ++i) {
        if (rows->starts[i + 1] - rows->starts[i] > rows->starts[g + 1] - rows->starts[g]) g = i;
    }
    auto factor = exact::factor_exact(grounded(*rows, g), budget, stop);
    if (!factor) {
        ExactInverseError e = factor.error();
        if (e.kind == Kind::NotPositive) e.vertex = ungrounded(e.vertex, g);
        return unexpected(e);
    }
    ExactFactor& f = *factor;
    double pattern_work = 0.0;
    for (uint32_t j = 0; j < f.tail_start; ++j) {
        const double s = double(f.col_starts[j + 1] - f.col_starts[j]);
        pattern_work += 0.5 * s * s;
    }
    if (f.work + pattern_work > budget) return unexpected(ExactInverseError{Kind::OverBudget});
    // Grounded, the inverse X (zero in g's row and column) gives L^+ = P X P with
    // P = I - 11^T/n: L^+_ii = X_ii - 2 (X1)_i / n + 1^T X 1 / n^2, and L^+ b = P X P b. Both
    // solves come before the inversion overwrites the dense tail's factor.
    std::vector<double> x1(n, 1.0);
    grounded_solve(f, g, x1);
    if (!solve.empty()) {
        remove_mean(solve);
        grounded_solve(f, g, solve);
        remove_mean(solve);
    }
    const std::optional<std::vector<double>> inverse = inverse_diagonal(f, stop);
    if (!inverse) return unexpected(ExactInverseError{Kind::Interrupted});
    std::vector<double> result(n, 0.0);
    for (uint32_t v = 0; v < f.n; ++v) result[ungrounded(v, g)] = (*inverse)[f.step[v]];
    double total = 0.0;
    for (double value : x1) total += value;
    const double nn = double(n);
    for (uint32_t i = 0; i < n; ++i) result[i] = result[i] - 2.0 * x1[i] / nn + total / (nn * nn);
    return result;
}

}  // namespace

std::string message(const ExactInverseError& error) {
    const std::string at = std::to_string(error.vertex);
    switch (error.kind) {
        case Kind::NotSymmetric: return "the Laplacian is not symmetric: row " + at + " differs from column " + at;
        case Kind::RowSumNotZero: return "row " + at + " of the Laplacian does not sum to zero";
        case Kind::NotPositive:
            return "eliminating vertex " + at +
                   " met a pivot that is not positive: the graph is disconnected or its Laplacian indefinite";
        case Kind::SolveLength:
            return "the vector to solve for has " + at + " values, not one per row of the Laplacian";
        case Kind::OverBudget: return "the exact factorization would exceed its work budget";
        case Kind::OutOfMemory: return "not enough memory for the exact factorization";
        case Kind::Interrupted: return "the exact factorization was interrupted";
    }
    return "unknown failure of the exact factorization";
}

Expected<std::vector<double>, ExactInverseError> laplacian_pinv_diagonal(const CsrView& csr, double budget,
                                                                         StopCheck stop, std::span<double> solve) {
    if (!solve.empty() && solve.size() != csr.n()) return unexpected(ExactInverseError{Kind::SolveLength, solve.size()});
    try {
        return pinv_diagonal(csr, budget, stop, solve);
    } catch (const std::bad_alloc&) {
        return unexpected(ExactInverseError{Kind::OutOfMemory});
    }
}

}  // namespace vorlane

// libFuzzer harness for the factorization core.
//
// The input decodes into CSR arrays, a dimension, a seed and an optional split count (layout
// in decode.hpp). Each case is validated, factorized twice and solved, and every outcome is
// checked against an independent oracle:
//   * validation: the first violated structural rule, recomputed here, must be the error the
//     core reports, with the same message;
//   * factor: the structural invariants of a finished factor, and bit-identical factors for
//     equal input and configuration;
//   * solve: the length checks, nothing written on error or past n, the ground vertex at 0
//     for an augmented factor, and the same bits with and without the step-ordered layout;
//   * the exact pseudo-inverse diagonal: an answer of n values or an error, never a fault,
//     and the same bits twice.
// A failed check aborts with a description, so libFuzzer records the input as a crash.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vorlane/csr.hpp"
#include "decode.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"
#include "vorlane/exact_inverse.hpp"

namespace {

using vorlane::CoreError;
using vorlane::CoreFactor;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "core_fuzzer: check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

std::string str(uint64_t v) { return std::to_string(v); }

// The first violated validation rule, as the inner message text, or "" when the input is valid.
std::string reference_validation(const fuzzcase::Case& c) {
    const auto& rp = c.row_ptrs;
    const auto& ci = c.col_indices;
    const uint64_t n = c.n;
    if (rp.size() != n + 1) {
        return "row_ptrs length != n + 1 (expected " + str(n + 1) + ", got " + str(rp.size()) + ")";
    }
    if (ci.size() != c.values.size()) {
        return "col_indices and values have different lengths (" + str(ci.size()) + " != " + str(c.values.size()) +
               ")";
    }
    if (rp[0] != 0) return "row_ptrs[0] must be 0 (got " + str(rp[0]) + ")";
    if (rp[n] != ci.size()) return "row_ptrs[n] must equal nnz (" + str(rp[n]) + " != " + str(ci.size()) + ")";
    for (uint64_t i = 0; i < n; ++i) {
        if (rp[i] > rp[i + 1]) {
            return "row_ptrs is not non-decreasing at row " + str(i) + ": " + str(rp[i]) + " > " + str(rp[i + 1]);
        }
    }
    for (uint64_t k = 0; k < ci.size(); ++k) {
        if (ci[k] >= n) {
            return "column index out of bounds at position " + str(k) + ": " + str(ci[k]) + " >= " + str(n);
        }
    }
    return "";
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The factor every threshold is multiplied by: the largest finite |diagonal sum| of the input
// rows rounded down to a power of two, or 1 when there is none.
double reference_scale(const fuzzcase::Case& c) {
    double largest = 0.0;
    for (uint32_t i = 0; i < c.n; ++i) {
        double diagonal = 0.0;
        for (uint32_t k = c.row_ptrs[i]; k < c.row_ptrs[i + 1]; ++k) {
            if (c.col_indices[k] == i) diagonal = diagonal + c.values[k];
        }
        if (std::isfinite(diagonal) && std::fabs(diagonal) > largest) largest = std::fabs(diagonal);
    }
    return largest > 0.0 ? std::ldexp(1.0, std::ilogb(largest)) : 1.0;
}

void check_factor(const CoreFactor& f, uint32_t input_n, double scale) {
    const uint64_t n = f.n;
    check(f.original_n == input_n, "original_n differs from the input dimension");
    check(n == input_n || n == uint64_t{input_n} + 1, "internal dimension is neither n nor n + 1");
    const uint64_t steps = f.order.size();
    check(steps == (n > 0 ? n - 1 : 0), "n_steps != max(n - 1, 0)");
    check(f.n_steps() == steps, "n_steps() disagrees with order");
    check(f.inv_diag.size() == steps, "inv_diag length != n_steps");
    check(f.col_starts.size() == steps + 1, "col_starts length != n_steps + 1");
    check(f.col_starts[0] == 0, "col_starts[0] != 0");
    check(f.rows.size() == f.coefficients.size(), "rows and coefficients differ in length");
    check(f.col_starts[steps] == f.rows.size(), "col_starts[n_steps] != number of column entries");

    std::vector<uint8_t> gone(n, 0);
    for (uint64_t s = 0; s < steps; ++s) {
        check(f.col_starts[s] <= f.col_starts[s + 1], "col_starts decreases at step " + str(s));
        const uint32_t v = f.order[s];
        check(v < n, "order[" + str(s) + "] = " + str(v) + " is not an internal vertex");
        check(!gone[v], "vertex " + str(v) + " eliminated twice");
        for (uint32_t t = f.col_starts[s]; t < f.col_starts[s + 1]; ++t) {
            const uint32_t r = f.rows[t];
            check(r < n, "row " + str(r) + " of step " + str(s) + " is not an internal vertex");
            check(r != v, "step " + str(s) + " names its own vertex " + str(v) + " as a row");
            check(!gone[r], "step " + str(s) + " names the already eliminated vertex " + str(r));
        }
        gone[v] = 1;
        const double e = f.inv_diag[s];
        check(std::isfinite(e), "inverse pivot of step " + str(s) + " is not finite");
        check(e == 0.0 || std::fabs(1.0 / e) > 1e-14 * scale,
              "inverse pivot of step " + str(s) + " is not 1/p, |p| > 1e-14 times the matrix's scale");
    }
    uint64_t left = 0;
    for (uint64_t v = 0; v < n; ++v) left += gone[v] ? 0 : 1;
    check(left == (n > 0 ? 1 : 0), "exactly one internal vertex must stay uneliminated, found " + str(left));
}

void check_same_factor(const CoreFactor& a, const CoreFactor& b) {
    check(a.n == b.n && a.original_n == b.original_n, "repeated factorization changed the dimensions");
    check(a.order == b.order && a.col_starts == b.col_starts && a.rows == b.rows,
          "repeated factorization changed the structure");
    check(same_bits(a.coefficients, b.coefficients) && same_bits(a.inv_diag, b.inv_diag),
          "repeated factorization changed the values");
}

bool all_finite(const std::vector<double>& v) {
    for (const double x : v) {
        if (!std::isfinite(x)) return false;
    }
    return true;
}

constexpr uint64_t kSentinel = 0x7FF4DEADBEEF0001ull;  // a signalling-NaN pattern no solve produces

void check_solve(const CoreFactor& f, const fuzzcase::Case& c) {
    const uint64_t n = f.n;
    const std::vector<double> rhs = c.rhs_for(n);
    const uint64_t work_len = c.work_len_for(n);
    std::vector<double> work(work_len, std::bit_cast<double>(kSentinel));
    const auto error = vorlane::solve_into_buffer(f, rhs, work);
    auto untouched_from = [&](uint64_t start) {
        for (uint64_t i = start; i < work_len; ++i) {
            if (std::bit_cast<uint64_t>(work[i]) != kSentinel) return false;
        }
        return true;
    };
    if (rhs.size() > n) {
        check(error.has_value(), "rhs longer than n accepted");
        check(vorlane::message(*error) == "rhs length " + str(rhs.size()) + " exceeds factor dimension " + str(n),
              "wrong RhsTooLong message: " + vorlane::message(*error));
        check(untouched_from(0), "failed solve wrote to work");
        return;
    }
    if (work_len < n) {
        check(error.has_value(), "work shorter than n accepted");
        check(vorlane::message(*error) ==
                  "work buffer too small: got " + str(work_len) + ", need at least " + str(n),
              "wrong WorkTooSmall message: " + vorlane::message(*error));
        check(untouched_from(0), "failed solve wrote to work");
        return;
    }
    check(!error.has_value(), "valid solve failed: " + (error ? vorlane::message(*error) : std::string()));
    check(untouched_from(n), "solve wrote past work[n - 1]");
    if (n == 0) return;
    {
        // The step-ordered layout is an optimization: without it the solve must give the same bits.
        CoreFactor direct = f;
        direct.position.clear();
        direct.position_rows.clear();
        std::vector<double> other(n);
        check(!vorlane::solve_into_buffer(direct, rhs, other).has_value(), "solve without the layout failed");
        check(std::memcmp(other.data(), work.data(), n * sizeof(double)) == 0,
              "solve with and without the step-ordered layout differ");
    }
    // The ground vertex ends at exactly 0. (The mean removal of an unaugmented factor is not
    // checked here: its rounding depends on values before the shift, which the solve does
    // not expose, and cancellation makes a tolerance on the result alone unsound.)
    if (f.augmented() && all_finite(rhs) && all_finite(f.coefficients) && all_finite(f.inv_diag) &&
        std::isfinite(work[f.original_n])) {
        bool finite = true;
        for (uint64_t i = 0; i < n; ++i) finite = finite && std::isfinite(work[i]);
        if (finite) check(work[f.original_n] == 0.0, "ground vertex of an augmented solve is not 0");
    }
}

void check_error_message(const CoreError& error, const std::string& expected_csr) {
    const std::string msg = vorlane::message(error);
    check(!msg.empty(), "error without a message");
    if (!expected_csr.empty()) {
        check(msg == "invalid CSR matrix: " + expected_csr, "validation message '" + msg + "', expected '" +
                                                                 expected_csr + "'");
    }
}

void check_pinv_diagonal(const vorlane::CsrView& view) {
    std::vector<double> first_solve(view.n(), 1.0), second_solve(view.n(), 1.0);
    const auto first = vorlane::laplacian_pinv_diagonal(view, 1e7, {}, first_solve);
    const auto second = vorlane::laplacian_pinv_diagonal(view, 1e7, {}, second_solve);
    check(first.has_value() == second.has_value(), "pinv_diagonal: two runs disagree on success");
    if (!first) {
        check(first.error().kind == second.error().kind, "pinv_diagonal: two runs fail differently");
        check(!vorlane::message(first.error()).empty(), "pinv_diagonal: empty message");
        return;
    }
    check(first->size() == view.n(), "pinv_diagonal: " + str(first->size()) + " values for n " + str(view.n()));
    const auto same_bits = [](const std::vector<double>& a, const std::vector<double>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
            return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
        });
    };
    check(same_bits(*first, *second) && same_bits(first_solve, second_solve), "pinv_diagonal: two runs give different bits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzzcase::Case c = fuzzcase::decode(data, size);
    const std::string expected = reference_validation(c);

    const auto view = vorlane::CsrView::create(c.row_ptrs, c.col_indices, c.values, c.n);
    check(view.has_value() == expected.empty(),
          "CsrView::create " + std::string(view ? "accepted" : "rejected") + " input; oracle: '" + expected + "'");
    if (!view) {
        check(vorlane::message(view.error()) == expected,
              "validation message '" + vorlane::message(view.error()) + "', expected '" + expected + "'");
    }

    vorlane::CoreConfig config;
    config.seed = c.seed;
    if (c.has_split) config.split_merge = c.split;

    try {
        if (view) check_pinv_diagonal(*view);
        auto first = vorlane::build_factor(c.row_ptrs, c.col_indices, c.values, c.n, config);
        if (!expected.empty()) {
            check(!first.has_value(), "build_factor accepted an invalid matrix");
            check(std::holds_alternative<vorlane::InvalidCsr>(first.error()), "invalid matrix reported as " +
                                                                                  vorlane::message(first.error()));
            check_error_message(first.error(), expected);
            return 0;
        }
        if (c.has_split && c.split == 0) {
            check(!first.has_value(), "split 0 accepted");
            check(vorlane::message(first.error()) == "invalid factorization config: split_merge must be >= 1 (got 0)",
                  "wrong split message: " + vorlane::message(first.error()));
            return 0;
        }
        if (!first) {
            // The decoder keeps n far below the augmentation limit and the factor small, so the
            // remaining error kinds (dimension overflow, memory, capacity) cannot legitimately occur.
            fail("valid input failed: " + vorlane::message(first.error()));
        }
        check_factor(*first, c.n, reference_scale(c));
        auto second = vorlane::build_factor(c.row_ptrs, c.col_indices, c.values, c.n, config);
        check(second.has_value(), "second factorization of the same input failed");
        check_same_factor(*first, *second);
        check_solve(*first, c);
    } catch (const vorlane::InternalFault& fault) {
        fail(std::string("internal fault: ") + fault.what());
    }
    return 0;
}

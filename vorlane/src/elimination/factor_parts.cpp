// Rebuilding a factor from stored arrays: every rule is checked before the solve can see them.
#include "vorlane/factor_parts.hpp"

#include <cmath>
#include <vector>

namespace vorlane {

namespace {

// The largest dimension a factor can have: vertex numbers and step positions are 32-bit, and
// the position 0xFFFFFFFF is reserved while the layout is built.
constexpr uint64_t kMaxDimension = 0xFFFFFFFFull;

Unexpected<std::string> refuse(std::string what) { return unexpected("not a valid factor: " + std::move(what)); }

std::string at(const char* name, uint64_t i) { return std::string(name) + "[" + std::to_string(i) + "]"; }

}  // namespace

Expected<CoreFactor, std::string> restore_factor(const FactorParts& p) {
    if (p.n > kMaxDimension) return refuse("dimension " + std::to_string(p.n) + " is too large");
    if (p.original_n != p.n && p.original_n + 1 != p.n) {
        return refuse("dimension " + std::to_string(p.n) + " does not fit the matrix dimension " +
                      std::to_string(p.original_n));
    }
    const uint64_t steps = p.n > 0 ? p.n - 1 : 0;
    if (p.order.size() != steps) {
        return refuse("order has " + std::to_string(p.order.size()) + " entries, expected " + std::to_string(steps));
    }
    if (p.inv_diag.size() != steps) {
        return refuse("inv_diag has " + std::to_string(p.inv_diag.size()) + " entries, expected " +
                      std::to_string(steps));
    }
    if (p.col_starts.size() != steps + 1) {
        return refuse("col_starts has " + std::to_string(p.col_starts.size()) + " entries, expected " +
                      std::to_string(steps + 1));
    }
    if (p.rows.size() != p.coefficients.size()) {
        return refuse("rows has " + std::to_string(p.rows.size()) + " entries but coefficients has " +
                      std::to_string(p.coefficients.size()));
    }
    if (p.col_starts[0] != 0) return refuse("col_starts[0] is " + std::to_string(p.col_starts[0]) + ", not 0");
    if (p.col_starts[steps] != p.rows.size()) {
        return refuse("col_starts ends at " + std::to_string(p.col_starts[steps]) + ", not at the " +
                      std::to_string(p.rows.size()) + " column entries");
    }
    for (uint64_t s = 0; s < steps; ++s) {
        if (p.col_starts[s] > p.col_starts[s + 1]) return refuse(at("col_starts", s + 1) + " decreases");
    }

    // The step at which each vertex is eliminated (steps for the one that remains), so that
    // every column row can be checked to name a vertex still present.
    std::vector<uint32_t> step_of(p.n, static_cast<uint32_t>(steps));
    std::vector<char> eliminated(p.n, 0);
    for (uint64_t s = 0; s < steps; ++s) {
        const uint32_t v = p.order[s];
        if (v >= p.n) return refuse(at("order", s) + " = " + std::to_string(v) + " is out of range");
        if (eliminated[v]) return refuse("vertex " + std::to_string(v) + " is eliminated twice");
        eliminated[v] = 1;
        step_of[v] = static_cast<uint32_t>(s);
    }
    // Marks the vertices named by the current column; cleared again after each column.
    std::vector<char> named(p.n, 0);
    for (uint64_t s = 0; s < steps; ++s) {
        const uint32_t begin = p.col_starts[s];
        const uint32_t end = p.col_starts[s + 1];
        for (uint32_t t = begin; t < end; ++t) {
            const uint32_t r = p.rows[t];
            if (r >= p.n) return refuse(at("rows", t) + " = " + std::to_string(r) + " is out of range");
            if (step_of[r] <= s) {
                return refuse(at("rows", t) + " names vertex " + std::to_string(r) + ", eliminated at or before step " +
                              std::to_string(s));
            }
            if (named[r]) return refuse("step " + std::to_string(s) + " names vertex " + std::to_string(r) + " twice");
            named[r] = 1;
            if (!std::isfinite(p.coefficients[t])) return refuse(at("coefficients", t) + " is not finite");
        }
        for (uint32_t t = begin; t < end; ++t) named[p.rows[t]] = 0;
        if (!std::isfinite(p.inv_diag[s])) return refuse(at("inv_diag", s) + " is not finite");
    }

    CoreFactor factor;
    factor.n = p.n;
    factor.original_n = p.original_n;
    factor.order.assign(p.order.begin(), p.order.end());
    factor.col_starts.assign(p.col_starts.begin(), p.col_starts.end());
    factor.rows.assign(p.rows.begin(), p.rows.end());
    factor.coefficients.assign(p.coefficients.begin(), p.coefficients.end());
    factor.inv_diag.assign(p.inv_diag.begin(), p.inv_diag.end());
    factor.prepare_solve();
    return factor;
}

}  // namespace vorlane

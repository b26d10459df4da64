// Helpers for the solver's tests: a test matrix as the solver's raw input, checked.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "problems.hpp"
#include "vorlane/checked_matrix.hpp"

namespace vt {

// A test matrix with 64-bit index arrays that outlive the RawCsr pointing at them.
struct Raw64 {
    std::vector<int64_t> indptr;
    std::vector<int64_t> indices;
    std::vector<double> data;
    uint64_t n = 0;

    explicit Raw64(const Csr& m)
        : indptr(m.row_ptrs.begin(), m.row_ptrs.end()),
          indices(m.col_indices.begin(), m.col_indices.end()),
          data(m.values),
          n(m.n) {}
    vorlane::RawCsr raw() const {
        vorlane::RawCsr r;
        r.n = n;
        r.indptr64 = indptr;
        r.indices64 = indices;
        r.data = data;
        return r;
    }
};

inline vorlane::CheckedMatrix must_check(const Csr& m) {
    const Raw64 raw(m);
    auto copied = vorlane::CheckedMatrix::copy_from(raw.raw());
    EXPECT_TRUE(copied.has_value()) << (copied ? "" : copied.error());
    vorlane::CheckedMatrix matrix = std::move(copied).value();
    const auto problem = matrix.canonicalize_and_check({});
    EXPECT_FALSE(problem.has_value()) << problem.value_or("");
    return matrix;
}

// The matrix with its vertices renamed: vertex v becomes new_of[v].
inline Csr renamed(const Csr& m, const std::vector<uint32_t>& new_of) {
    std::vector<std::tuple<uint32_t, uint32_t, double>> triplets;
    for (uint32_t i = 0; i < m.n; ++i) {
        for (uint32_t t = m.row_ptrs[i]; t < m.row_ptrs[i + 1]; ++t) {
            triplets.emplace_back(new_of[i], new_of[m.col_indices[t]], m.values[t]);
        }
    }
    return csr_from_triplets(m.n, triplets);
}

}  // namespace vt

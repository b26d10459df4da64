// The checked matrix: structural errors for either index width, the value checks and their
// order, canonicalization, refills, the null space and the products.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers.hpp"
#include "solver_support.hpp"
#include "vorlane/checked_matrix.hpp"

namespace {

using vorlane::CheckedMatrix;
using vorlane::RawCsr;
using vt::Vec;

struct StructureCase {
    std::string name;
    std::vector<int64_t> indptr;
    std::vector<int64_t> indices;
    std::vector<double> data;
    uint64_t n;
    std::string message;
};

void PrintTo(const StructureCase& c, std::ostream* os) { *os << c.name; }

class Structure : public ::testing::TestWithParam<std::tuple<StructureCase, bool>> {};

// Every structural fault is refused with its message, whichever width the indices come in.
TEST_P(Structure, RefusedWithItsMessage) {
    const auto& [c, narrow] = GetParam();
    const std::vector<int32_t> indptr32(c.indptr.begin(), c.indptr.end());
    const std::vector<int32_t> indices32(c.indices.begin(), c.indices.end());
    RawCsr raw;
    raw.n = c.n;
    raw.data = c.data;
    if (narrow) {
        raw.indptr32 = indptr32;
        raw.indices32 = indices32;
    } else {
        raw.indptr64 = c.indptr;
        raw.indices64 = c.indices;
    }
    const auto copied = CheckedMatrix::copy_from(raw);
    ASSERT_FALSE(copied.has_value());
    EXPECT_EQ(copied.error(), c.message);
}

const std::string kBad = "A has an invalid sparse structure: ";

INSTANTIATE_TEST_SUITE_P(
    CheckedMatrix, Structure,
    ::testing::Combine(
        ::testing::Values(
            StructureCase{"short_indptr", {0, 1}, {0}, {1.0}, 2, kBad + "indptr has 2 entries, expected 3"},
            StructureCase{"negative_indptr", {0, -1, 1}, {0}, {1.0}, 2, kBad + "indptr[1] is negative"},
            StructureCase{"decreasing", {0, 2, 1}, {0, 1}, {1.0, 1.0}, 2, kBad + "indptr decreases at row 1"},
            StructureCase{"first_not_zero", {1, 1, 1}, {0}, {1.0}, 2, kBad + "indptr[0] is not 0"},
            StructureCase{"past_the_entries", {0, 1, 3}, {0, 1}, {1.0, 1.0}, 2,
                          kBad + "indptr ends at 3 but there are 2 entries"},
            StructureCase{"column_out_of_range", {0, 1, 2}, {0, 2}, {1.0, 1.0}, 2,
                          kBad + "column index 2 out of range"},
            StructureCase{"negative_column", {0, 1, 2}, {0, -3}, {1.0, 1.0}, 2,
                          kBad + "column index -3 out of range"},
            StructureCase{"too_large", {0}, {}, {}, 0xFFFFFFFFull,
                          "A is too large: dimension 4294967295 exceeds 4294967294"}),
        ::testing::Bool()),
    [](const auto& p) {
        return std::get<0>(p.param).name + (std::get<1>(p.param) ? "_int32" : "_int64");
    });

struct ValueCase {
    std::string name;
    std::vector<std::tuple<uint32_t, uint32_t, double>> triplets;
    std::string message;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class Values : public ::testing::TestWithParam<ValueCase> {};

// A 3-vertex path Laplacian with one fault; when several are present, the first in the order
// non-finite, asymmetric, positive off-diagonal, not dominant is named.
TEST_P(Values, RefusedNamingTheFirstFault) {
    const ValueCase& c = GetParam();
    const vt::Raw64 raw(vt::csr_from_triplets(3, c.triplets));
    auto copied = CheckedMatrix::copy_from(raw.raw());
    ASSERT_TRUE(copied.has_value());
    const auto problem = copied->canonicalize_and_check({});
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->substr(0, c.message.size()), c.message) << *problem;
}

INSTANTIATE_TEST_SUITE_P(
    CheckedMatrix, Values,
    ::testing::Values(
        ValueCase{"non_finite",
                  {{0, 0, 1}, {0, 1, -1}, {1, 0, -1}, {1, 1, 2}, {1, 2, 0.5}, {2, 1, -1}, {2, 2, NAN}},
                  "A contains non-finite values"},
        ValueCase{"asymmetric",
                  {{0, 0, 1}, {0, 1, -1}, {1, 0, -0.5}, {1, 1, 2}, {1, 2, 0.5}, {2, 1, 0.5}, {2, 2, 1}},
                  "A is not symmetric: A[0, 1] = -1.0 but A[1, 0] = -0.5"},
        ValueCase{"upper_triangle_only", {{0, 0, 1}, {0, 1, -1}, {1, 1, 1}, {2, 2, 1}},
                  "A is not symmetric: A[0, 1] = -1.0 but A[1, 0] = 0.0"},
        ValueCase{"positive_off_diagonal",
                  {{0, 0, 1}, {0, 1, -1}, {1, 0, -1}, {1, 1, 2}, {1, 2, 0.5}, {2, 1, 0.5}, {2, 2, 0.1}},
                  "A has a positive off-diagonal entry A[1, 2] = 0.5"},
        ValueCase{"not_dominant", {{0, 0, 1}, {0, 1, -1}, {1, 0, -1}, {1, 1, 0.5}, {2, 2, 1}},
                  "A is not diagonally dominant: row 1 has diagonal 0.5 but its off-diagonal entries sum to -1.0"}),
    [](const auto& p) { return p.param.name; });

TEST(CheckedMatrix, StructureOnlySkipsTheValueChecksButNotFiniteness) {
    const vt::Raw64 positive(vt::csr_from_triplets(2, {{0, 0, 1}, {0, 1, 3}, {1, 0, 2}, {1, 1, 1}}));
    auto copied = CheckedMatrix::copy_from(positive.raw());
    ASSERT_TRUE(copied.has_value());
    EXPECT_FALSE(copied->canonicalize_and_check({0.0, false}).has_value());

    const vt::Raw64 infinite(vt::csr_from_triplets(2, {{0, 0, INFINITY}, {1, 1, 1}}));
    auto other = CheckedMatrix::copy_from(infinite.raw());
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->canonicalize_and_check({0.0, false}).value_or(""), "A contains non-finite values");
}

// Rows out of order and split into duplicates are the same matrix as their canonical form:
// the same pattern, the same products.
TEST(CheckedMatrix, CanonicalizesUnsortedRowsWithDuplicates) {
    const vt::Csr canonical = vt::grid2d(5, 4, 3);
    vt::Csr messy;
    messy.n = canonical.n;
    messy.row_ptrs.assign(1, 0);
    for (uint32_t i = 0; i < canonical.n; ++i) {
        for (uint32_t t = canonical.row_ptrs[i + 1]; t-- > canonical.row_ptrs[i];) {
            messy.col_indices.insert(messy.col_indices.end(), 2, canonical.col_indices[t]);
            messy.values.push_back(canonical.values[t] * 0.25);
            messy.values.push_back(canonical.values[t] * 0.75);
        }
        messy.row_ptrs.push_back(static_cast<uint32_t>(messy.col_indices.size()));
    }
    const CheckedMatrix a = vt::must_check(canonical);
    const CheckedMatrix b = vt::must_check(messy);
    EXPECT_EQ(a.nnz(), b.nnz());
    EXPECT_EQ(a.pattern_digest(), b.pattern_digest());
    const Vec x = vt::random_vector(a.n(), 4);
    Vec ya(a.n()), yb(a.n());
    a.multiply(x.data(), ya.data(), 1, 1, {});
    b.multiply(x.data(), yb.data(), 1, 1, {});
    EXPECT_LT(vt::rel_diff(ya, yb), 1e-14);
    EXPECT_LT(vt::rel_diff(ya, vt::matvec(canonical, x)), 1e-14);
}

TEST(CheckedMatrix, MultipliesABlockAndItsInnerProducts) {
    const vt::Csr m = vt::sddm(vt::random_graph(40, 5.0, 6), 7);
    const CheckedMatrix a = vt::must_check(m);
    const size_t width = 3;
    const size_t stride = 3;
    Vec x(a.n() * stride), y(a.n() * stride);
    std::vector<Vec> columns;
    for (size_t j = 0; j < width; ++j) {
        columns.push_back(vt::random_vector(a.n(), 10 + j));
        for (uint64_t i = 0; i < a.n(); ++i) x[i * stride + j] = columns[j][i];
    }
    std::vector<double> dots(width, 0.0);
    a.multiply(x.data(), y.data(), width, stride, dots);
    for (size_t j = 0; j < width; ++j) {
        const Vec want = vt::matvec(m, columns[j]);
        Vec got(a.n());
        for (uint64_t i = 0; i < a.n(); ++i) got[i] = y[i * stride + j];
        EXPECT_LT(vt::rel_diff(got, want), 1e-14);
        EXPECT_NEAR(dots[j], vt::dot(columns[j], want), 1e-12 * std::fabs(dots[j]));
    }
}

// The null space: the constants on every component without ground, and nothing on an SDDM
// matrix.
TEST(CheckedMatrix, FindsTheNullSpaceByComponent) {
    const vt::Csr two_paths = vt::disjoint_union(vt::path(6, 1), vt::path(4, 2));
    const CheckedMatrix a = vt::must_check(two_paths);
    EXPECT_TRUE(a.singular());
    EXPECT_FALSE(a.connected_laplacian());
    EXPECT_EQ(a.components(), 2u);
    Vec v = vt::random_vector(a.n(), 3);
    std::vector<double> sums(a.components());
    a.project(v.data(), 1, 1, sums);
    double first = 0.0, second = 0.0;
    for (uint64_t i = 0; i < 6; ++i) first += v[i];
    for (uint64_t i = 6; i < 10; ++i) second += v[i];
    EXPECT_NEAR(first, 0.0, 1e-14);
    EXPECT_NEAR(second, 0.0, 1e-14);

    EXPECT_TRUE(vt::must_check(vt::grid2d(4, 4, 1)).connected_laplacian());
    const CheckedMatrix grounded = vt::must_check(vt::sddm(vt::grid2d(4, 4, 1), 2));
    EXPECT_FALSE(grounded.singular());
    Vec w = vt::random_vector(grounded.n(), 5);
    const Vec before = w;
    grounded.project(w.data(), 1, 1, {});
    EXPECT_TRUE(vt::same_bits(w, before));
}

TEST(CheckedMatrix, RefillsTheSamePatternAndRefusesAnother) {
    const vt::Csr m = vt::grid2d(4, 3, 1);
    CheckedMatrix a = vt::must_check(m);
    const uint64_t digest = a.pattern_digest();

    vt::Csr doubled = m;
    for (double& v : doubled.values) v *= 2;
    const vt::Raw64 same(doubled);
    ASSERT_FALSE(a.refill(same.raw()).has_value());
    ASSERT_FALSE(a.canonicalize_and_check({}).has_value());
    EXPECT_EQ(a.pattern_digest(), digest);
    const Vec x = vt::random_vector(a.n(), 2);
    Vec y(a.n());
    a.multiply(x.data(), y.data(), 1, 1, {});
    EXPECT_LT(vt::rel_diff(y, vt::matvec(doubled, x)), 1e-14);

    const vt::Raw64 other(vt::grid2d(3, 4, 1));
    EXPECT_EQ(a.refill(other.raw()).value_or(""),
              "A's sparsity pattern differs from that of the matrix the preconditioner was built for");
    const vt::Raw64 smaller(vt::grid2d(3, 3, 1));
    EXPECT_EQ(a.refill(smaller.raw()).value_or(""),
              "A has dimension 9, but the preconditioner was built for dimension 12");
    Vec after(a.n());
    a.multiply(x.data(), after.data(), 1, 1, {});
    EXPECT_TRUE(vt::same_bits(after, y)) << "a refused refill changed the matrix";
}

// The factor input is the matrix scaled to rows of about 1, with its rounding-level diagonal
// excess dropped, in the numbering asked for.
TEST(CheckedMatrix, FactorInputIsTheScaledMatrixRenumbered) {
    const vt::Csr m = vt::sddm(vt::grid2d(4, 4, 3), 4);
    const CheckedMatrix a = vt::must_check(m);
    std::vector<uint32_t> order(a.n());
    for (uint32_t v = 0; v < a.n(); ++v) order[v] = static_cast<uint32_t>(a.n() - 1 - v);
    const vorlane::FactorInput input = a.factor_input(order);
    vt::Csr scaled;
    scaled.n = m.n;
    scaled.row_ptrs = input.row_ptrs;
    scaled.col_indices = input.cols;
    scaled.values = input.values;
    // Row new of the input is row order[new] of A times the scale.
    const Vec x = vt::random_vector(a.n(), 8);
    Vec x_new(a.n());
    for (uint32_t v = 0; v < a.n(); ++v) x_new[v] = x[order[v]];
    const Vec y = vt::matvec(m, x);
    const Vec y_new = vt::matvec(scaled, x_new);
    for (uint32_t v = 0; v < a.n(); ++v) {
        EXPECT_NEAR(y_new[v], a.factor_scale() * y[order[v]], 1e-12) << "row " << v;
    }
}

}  // namespace

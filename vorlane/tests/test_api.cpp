// The public API: building from either index width, errors as values, applies and solves.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <tuple>
#include <vector>

#include "helpers.hpp"
#include "vorlane/vorlane.hpp"

namespace {

using vorlane::ErrorKind;
using vorlane::Preconditioner;
using vorlane::SolveStatus;
using vt::Vec;

// A test matrix's arrays in the index width the API is given.
template <class Index>
struct Arrays {
    std::vector<Index> row_ptrs;
    std::vector<Index> col_indices;
    std::vector<double> values;
    uint64_t n;

    explicit Arrays(const vt::Csr& m)
        : row_ptrs(m.row_ptrs.begin(), m.row_ptrs.end()),
          col_indices(m.col_indices.begin(), m.col_indices.end()),
          values(m.values),
          n(m.n) {}
    vorlane::CsrMatrix<Index> csr() const { return {n, row_ptrs, col_indices, values}; }
};

template <class Index>
Preconditioner must_build(const vt::Csr& m, const vorlane::PreconditionerOptions& options = {}) {
    const Arrays<Index> arrays(m);
    auto built = Preconditioner::build(arrays.csr(), options);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    return std::move(built).value();
}

TEST(Api, EitherIndexWidthBuildsTheSameFactor) {
    const vt::Csr m = vt::sddm(vt::grid2d(12, 9, 1), 2);
    const Preconditioner narrow = must_build<int32_t>(m);
    const Preconditioner wide = must_build<int64_t>(m);
    EXPECT_EQ(narrow.n(), m.n);
    EXPECT_EQ(narrow.nnz(), wide.nnz());
    EXPECT_FALSE(narrow.singular());
    const Vec r = vt::random_vector(m.n, 3);
    Vec z1(m.n), z2(m.n);
    ASSERT_FALSE(narrow.apply(r, z1).has_value());
    ASSERT_FALSE(wide.apply(r, z2).has_value());
    EXPECT_TRUE(vt::same_bits(z1, z2));
    // M approximates A's inverse: A M r is close to r.
    EXPECT_LT(vt::rel_diff(vt::matvec(m, z1), r), 0.5);
}

struct Refusal {
    std::string name;
    vt::Csr matrix;
    ErrorKind kind;
    std::string message;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithItsKindAndMessage) {
    const Refusal& c = GetParam();
    const Arrays<int64_t> arrays(c.matrix);
    const auto built = Preconditioner::build(arrays.csr());
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error().kind, c.kind);
    EXPECT_EQ(built.error().message.substr(0, c.message.size()), c.message) << built.error().message;
}

vt::Csr broken_structure() {
    vt::Csr m = vt::path(4, 1);
    m.col_indices[2] = 7;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Api, Refused,
    ::testing::Values(
        Refusal{"positive_off_diagonal", vt::csr_from_triplets(2, {{0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 1}}),
                ErrorKind::InvalidMatrix, "A has a positive off-diagonal entry"},
        Refusal{"asymmetric", vt::csr_from_triplets(2, {{0, 0, 1}, {0, 1, -1}, {1, 1, 1}}), ErrorKind::InvalidMatrix,
                "A is not symmetric"},
        Refusal{"not_dominant", vt::csr_from_triplets(2, {{0, 0, 0.5}, {0, 1, -1}, {1, 0, -1}, {1, 1, 1}}),
                ErrorKind::InvalidMatrix, "A is not diagonally dominant"},
        Refusal{"column_out_of_range", broken_structure(), ErrorKind::InvalidMatrix,
                "A has an invalid sparse structure: column index 7 out of range"}),
    [](const auto& p) { return p.param.name; });

TEST(Api, RefusesBadArguments) {
    const vt::Csr m = vt::grid2d(5, 5, 1);
    vorlane::PreconditionerOptions zero_split;
    zero_split.split = 0;
    const Arrays<int32_t> arrays(m);
    const auto refused = Preconditioner::build(arrays.csr(), zero_split);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidArgument);

    const Preconditioner p = must_build<int32_t>(m);
    Vec short_vector(m.n - 1), full(m.n);
    const auto applied = p.apply(short_vector, full);
    ASSERT_TRUE(applied.has_value());
    EXPECT_EQ(applied->kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(applied->message, "r and z must hold n x width = 25 x 1 elements");
    const auto solved = p.solve(full, short_vector);
    ASSERT_FALSE(solved.has_value());
    EXPECT_EQ(solved.error().kind, ErrorKind::InvalidArgument);
    vorlane::SolveOptions nan_tolerance;
    nan_tolerance.rtol = NAN;
    EXPECT_FALSE(p.solve(full, full, nan_tolerance).has_value());
}

class Solves : public ::testing::TestWithParam<bool> {};

// A grounded grid, and a Laplacian with a consistent right-hand side, each solved to the
// tolerance with a handful of iterations.
TEST_P(Solves, ToTheTolerance) {
    const bool laplacian = GetParam();
    const vt::Csr m = laplacian ? vt::grid2d(30, 30, 4) : vt::sddm(vt::grid2d(30, 30, 4), 5);
    vorlane::PreconditionerOptions options;
    options.seed = 7;
    const Preconditioner p = must_build<int64_t>(m, options);
    EXPECT_EQ(p.singular(), laplacian);
    Vec b = vt::random_vector(m.n, 6);
    if (laplacian) b = vt::zero_mean(b);
    Vec x(m.n);
    const auto info = p.solve(b, x);
    ASSERT_TRUE(info.has_value()) << info.error().message;
    EXPECT_TRUE(info->converged());
    EXPECT_LE(info->residual, 1e-8);
    EXPECT_LT(info->iterations, 60u);
    EXPECT_NEAR(vt::norm(vt::minus(b, vt::matvec(m, x))) / vt::norm(b), info->residual, 1e-12);
    EXPECT_EQ(info->residuals.size(), info->iterations + 1);
}

INSTANTIATE_TEST_SUITE_P(Api, Solves, ::testing::Bool(), [](const auto& p) {
    return p.param ? "laplacian" : "sddm";
});

// Every option reaches the factor: renumbered, split or in mixed precision, it still
// preconditions A, and the same options give the same factor.
TEST(Api, OptionsBuildFactorsThatPrecondition) {
    const vt::Csr m = vt::sddm(vt::random_graph(400, 6.0, 11), 12);
    using Renumber = vorlane::PreconditionerOptions::Renumber;
    using Options = std::tuple<Renumber, std::optional<uint32_t>, bool>;
    for (const auto& [renumber, split, mixed] : {Options{Renumber::Always, std::nullopt, false},
                                                 Options{Renumber::Never, 3u, false},
                                                 Options{Renumber::Auto, std::nullopt, true}}) {
        vorlane::PreconditionerOptions options;
        options.renumber = renumber;
        options.split = split;
        options.mixed_precision = mixed;
        const Preconditioner p = must_build<int32_t>(m, options);
        const Vec b = vt::random_vector(m.n, 13);
        Vec x(m.n);
        const auto info = p.solve(b, x);
        ASSERT_TRUE(info.has_value());
        EXPECT_TRUE(info->converged());
        EXPECT_LT(info->iterations, 60u);
        Vec z1(m.n), z2(m.n);
        ASSERT_FALSE(p.apply(b, z1).has_value());
        ASSERT_FALSE(must_build<int32_t>(m, options).apply(b, z2).has_value());
        EXPECT_TRUE(vt::same_bits(z1, z2));
    }
}

// The parallel order through the public API: the same factor and solution for any number of
// threads, with the caller's partition or without, and its options checked.
TEST(Api, RoundsGiveOneFactorForAnyNumberOfThreads) {
    const vt::Csr m = vt::sddm(vt::grid2d(40, 40, 14), 15);
    std::vector<uint32_t> halves(m.n);
    for (uint32_t v = 0; v < m.n; ++v) halves[v] = v < m.n / 2 ? 0 : 1;
    for (const bool partitioned : {false, true}) {
        std::vector<Vec> solutions;
        for (const unsigned threads : {1u, 3u}) {
            vorlane::PreconditionerOptions options;
            options.order = vorlane::PreconditionerOptions::Order::Rounds;
            options.threads = threads;
            if (partitioned) options.parts = halves;
            const Preconditioner p = must_build<int32_t>(m, options);
            vorlane::SolveOptions solve;
            solve.threads = threads;
            const Vec b = vt::random_vector(m.n, 16);
            Vec x(m.n);
            const auto info = p.solve(b, x, solve);
            ASSERT_TRUE(info.has_value());
            EXPECT_TRUE(info->converged());
            solutions.push_back(x);
        }
        EXPECT_TRUE(vt::same_bits(solutions[0], solutions[1])) << "partitioned " << partitioned;
    }
    vorlane::PreconditionerOptions bad;
    bad.order = vorlane::PreconditionerOptions::Order::Rounds;
    bad.parts = std::span<const uint32_t>(halves).first(5);
    const Arrays<int32_t> arrays(m);
    const auto refused = vorlane::Preconditioner::build(arrays.csr(), bad);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, vorlane::ErrorKind::InvalidArgument);
    EXPECT_EQ(refused.error().message, "parts must hold 1600 elements, got 5");
    bad.parts = {};
    bad.threads = 0;
    ASSERT_FALSE(vorlane::Preconditioner::build(arrays.csr(), bad).has_value());
}

// In a block, a column that cannot be solved is reported and keeps its x; the others are
// solved all the same.
TEST(Api, BlockSolveReportsEachColumn) {
    const vt::Csr m = vt::grid2d(10, 10, 8);
    const Preconditioner p = must_build<int32_t>(m);
    const uint64_t width = 3;
    const Vec solvable = vt::zero_mean(vt::random_vector(m.n, 9));
    Vec b(m.n * width, 0.0), x(m.n * width, 0.0);
    for (uint32_t i = 0; i < m.n; ++i) {
        b[i * width] = solvable[i];
        b[i * width + 2] = 1.0;
        x[i * width + 2] = 42.0;
    }
    const auto infos = p.solve(b, x, width);
    ASSERT_TRUE(infos.has_value());
    EXPECT_EQ((*infos)[0].status, SolveStatus::Converged);
    EXPECT_EQ((*infos)[1].status, SolveStatus::ZeroRhs);
    EXPECT_EQ((*infos)[2].status, SolveStatus::Inconsistent);
    EXPECT_FALSE((*infos)[2].converged());
    for (uint32_t i = 0; i < m.n; ++i) {
        EXPECT_EQ(x[i * width + 1], 0.0);
        EXPECT_EQ(x[i * width + 2], 42.0);
    }
    Vec x0(m.n);
    for (uint32_t i = 0; i < m.n; ++i) x0[i] = x[i * width];
    EXPECT_LE(vt::norm(vt::minus(solvable, vt::matvec(m, x0))) / vt::norm(solvable), 1e-8);
}

}  // namespace

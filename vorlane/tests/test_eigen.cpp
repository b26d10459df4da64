// The Eigen adapter inside Eigen's conjugate gradients: a grounded grid, an SDDM matrix, a
// Laplacian with a consistent right-hand side, either storage order, and matrices refused.
#include <gtest/gtest.h>

#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCore>

#include <random>
#include <tuple>
#include <vector>

#include "problems.hpp"
#include "vorlane/eigen.hpp"

namespace {

template <int Order>
using Sparse = Eigen::SparseMatrix<double, Order>;
template <int Order>
using Cg = Eigen::ConjugateGradient<Sparse<Order>, Eigen::Lower | Eigen::Upper, vorlane::eigen::Preconditioner>;

Eigen::VectorXd random_vector(uint32_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    Eigen::VectorXd v(n);
    for (double& x : v) x = uniform(rng);
    return v;
}

template <int Order>
Sparse<Order> to_eigen(const vt::Csr& m) {
    std::vector<Eigen::Triplet<double>> triplets;
    for (uint32_t i = 0; i < m.n; ++i) {
        for (uint32_t t = m.row_ptrs[i]; t < m.row_ptrs[i + 1]; ++t) {
            triplets.emplace_back(static_cast<int>(i), static_cast<int>(m.col_indices[t]), m.values[t]);
        }
    }
    Sparse<Order> a(m.n, m.n);
    a.setFromTriplets(triplets.begin(), triplets.end());
    return a;
}

template <int Order>
void expect_solved(const vt::Csr& m, bool laplacian) {
    const Sparse<Order> a = to_eigen<Order>(m);
    Eigen::VectorXd b = random_vector(m.n, 3);
    if (laplacian) b.array() -= b.mean();
    Cg<Order> cg;
    cg.setTolerance(1e-10);
    cg.compute(a);
    ASSERT_EQ(cg.info(), Eigen::Success);
    const Eigen::VectorXd x = cg.solve(b);
    EXPECT_EQ(cg.info(), Eigen::Success);
    EXPECT_LE((b - a * x).norm(), 1e-9 * b.norm());
    EXPECT_LT(cg.iterations(), 80);
}

struct Problem {
    const char* name;
    vt::Csr matrix;
    bool laplacian;
};

class EigenCg : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(EigenCg, SolvesInEitherStorageOrder) {
    const auto [which, row_major] = GetParam();
    const Problem problems[] = {
        {"grounded grid", vt::grounded_at(vt::grid2d(40, 40, 1), {0}), false},
        {"sddm", vt::sddm(vt::random_graph(500, 6.0, 2), 3), false},
        {"laplacian", vt::grid2d(40, 40, 4), true},
    };
    const Problem& p = problems[which];
    SCOPED_TRACE(p.name);
    if (row_major) {
        expect_solved<Eigen::RowMajor>(p.matrix, p.laplacian);
    } else {
        expect_solved<Eigen::ColMajor>(p.matrix, p.laplacian);
    }
}

INSTANTIATE_TEST_SUITE_P(Eigen, EigenCg, ::testing::Combine(::testing::Range(0, 3), ::testing::Bool()));

// A symmetric matrix's arrays are the same in both orders, and so is its factor; a matrix
// still being filled (not compressed) gives the same factor too.
TEST(EigenAdapter, StorageOrderAndCompressionDoNotChangeTheFactor) {
    const vt::Csr m = vt::sddm(vt::grid2d(12, 12, 5), 6);
    const Sparse<Eigen::ColMajor> col = to_eigen<Eigen::ColMajor>(m);
    const Sparse<Eigen::RowMajor> row = to_eigen<Eigen::RowMajor>(m);
    Sparse<Eigen::ColMajor> filling(m.n, m.n);
    filling.reserve(Eigen::VectorXi::Constant(m.n, 8));
    for (int j = 0; j < col.outerSize(); ++j) {
        for (Sparse<Eigen::ColMajor>::InnerIterator it(col, j); it; ++it) {
            filling.insert(it.row(), it.col()) = it.value();
        }
    }
    ASSERT_FALSE(filling.isCompressed());
    const Eigen::VectorXd r = random_vector(m.n, 7);
    const Eigen::VectorXd z = vorlane::eigen::Preconditioner(col).solve(r);
    const Eigen::VectorXd z_row = vorlane::eigen::Preconditioner(row).solve(r);
    const Eigen::VectorXd z_filling = vorlane::eigen::Preconditioner(filling).solve(r);
    EXPECT_TRUE((z.array() == z_row.array()).all());
    EXPECT_TRUE((z.array() == z_filling.array()).all());
    EXPECT_FALSE((z.array() == r.array()).all());
}

TEST(EigenAdapter, RefusesAMatrixThatIsNotSddm) {
    // A[0, 1] = -1 but A[1, 0] = -0.5: not symmetric, named where the entries are.
    Sparse<Eigen::ColMajor> a(3, 3);
    a.insert(0, 0) = 2;
    a.insert(0, 1) = -1;
    a.insert(1, 0) = -0.5;
    a.insert(1, 1) = 2;
    a.insert(2, 2) = 1;
    a.makeCompressed();
    Cg<Eigen::ColMajor> cg;
    cg.compute(a);
    EXPECT_EQ(cg.info(), Eigen::InvalidInput);
    const vorlane::eigen::Preconditioner p(a);
    EXPECT_EQ(p.info(), Eigen::InvalidInput);
    ASSERT_TRUE(p.error().has_value());
    EXPECT_EQ(p.error()->message, "A is not symmetric: A[0, 1] = -1.0 but A[1, 0] = -0.5");

    Sparse<Eigen::ColMajor> positive(2, 2);
    positive.insert(0, 0) = 1;
    positive.insert(0, 1) = 0.5;
    positive.insert(1, 0) = 0.5;
    positive.insert(1, 1) = 1;
    EXPECT_EQ(vorlane::eigen::Preconditioner(positive).info(), Eigen::InvalidInput);
    EXPECT_EQ(vorlane::eigen::Preconditioner(Sparse<Eigen::ColMajor>(2, 3)).info(), Eigen::InvalidInput);
    EXPECT_EQ(vorlane::eigen::Preconditioner().info(), Eigen::InvalidInput);
}

}  // namespace

// Solves a Laplacian system on a side x side grid, with no ground, by Eigen's conjugate
// gradients preconditioned by vorlane; the right-hand side sums to zero, so a solution exists
// (unique up to a constant).
//
//   eigen_grid_solve [side]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCore>
#include <vorlane/eigen.hpp>

int main(int argc, char** argv) {
    const int side = argc > 1 ? std::atoi(argv[1]) : 300;
    if (side < 2) {
        std::fprintf(stderr, "side must be at least 2\n");
        return 2;
    }
    const int n = side * side;

    std::vector<Eigen::Triplet<double>> entries;
    auto edge = [&](int u, int v) {
        entries.emplace_back(u, v, -1.0);
        entries.emplace_back(v, u, -1.0);
        entries.emplace_back(u, u, 1.0);
        entries.emplace_back(v, v, 1.0);
    };
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const int v = y * side + x;
            if (x + 1 < side) edge(v, v + 1);
            if (y + 1 < side) edge(v, v + side);
        }
    }
    Eigen::SparseMatrix<double> a(n, n);
    a.setFromTriplets(entries.begin(), entries.end());  // duplicates are summed

    // A unit current in at one corner and out at the opposite one.
    Eigen::VectorXd b = Eigen::VectorXd::Zero(n);
    b(0) = 1.0;
    b(n - 1) = -1.0;

    Eigen::ConjugateGradient<Eigen::SparseMatrix<double>, Eigen::Lower | Eigen::Upper, vorlane::eigen::Preconditioner>
        cg;
    cg.setTolerance(1e-10);
    cg.compute(a);
    if (cg.info() != Eigen::Success) {
        std::fprintf(stderr, "cannot precondition A: %s\n", cg.preconditioner().error()->message.c_str());
        return 1;
    }
    const Eigen::VectorXd x = cg.solve(b);
    std::printf("n = %d: %s after %ld iterations, estimated error %.3g, corner-to-corner resistance %.6g\n", n,
                cg.info() == Eigen::Success ? "converged" : "not converged", static_cast<long>(cg.iterations()),
                cg.error(), x(0) - x(n - 1));
    return cg.info() == Eigen::Success ? 0 : 1;
}

// Solves the Poisson equation on a side x side grid (the grid Laplacian with its boundary tied
// to ground, an SDDM matrix) with vorlane's preconditioned conjugate gradients.
//
//   grid_solve [side]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vorlane/vorlane.hpp>

int main(int argc, char** argv) {
    const int64_t side = argc > 1 ? std::atoll(argv[1]) : 300;
    if (side < 1) {
        std::fprintf(stderr, "side must be at least 1\n");
        return 2;
    }
    const int64_t n = side * side;

    // Row by row: each vertex joined to its four neighbours with weight 1; a missing
    // neighbour (beyond the boundary) stays on the diagonal as a tie to ground.
    std::vector<int64_t> row_ptrs{0};
    std::vector<int64_t> col_indices;
    std::vector<double> values;
    for (int64_t y = 0; y < side; ++y) {
        for (int64_t x = 0; x < side; ++x) {
            const int64_t v = y * side + x;
            if (y > 0) col_indices.push_back(v - side), values.push_back(-1.0);
            if (x > 0) col_indices.push_back(v - 1), values.push_back(-1.0);
            col_indices.push_back(v), values.push_back(4.0);
            if (x + 1 < side) col_indices.push_back(v + 1), values.push_back(-1.0);
            if (y + 1 < side) col_indices.push_back(v + side), values.push_back(-1.0);
            row_ptrs.push_back(static_cast<int64_t>(col_indices.size()));
        }
    }
    const vorlane::CsrMatrix<int64_t> a{static_cast<uint64_t>(n), row_ptrs, col_indices, values};

    vorlane::PreconditionerOptions options;
    options.seed = 1;
    auto m = vorlane::Preconditioner::build(a, options);
    if (!m) {
        std::fprintf(stderr, "cannot precondition A: %s\n", m.error().message.c_str());
        return 1;
    }

    std::vector<double> b(static_cast<size_t>(n), 1.0), x(static_cast<size_t>(n), 0.0);
    vorlane::SolveOptions solve;
    solve.rtol = 1e-10;
    auto info = m->solve(b, x, solve);
    if (!info) {
        std::fprintf(stderr, "cannot solve: %s\n", info.error().message.c_str());
        return 1;
    }
    std::printf("n = %lld, factor entries = %llu\n", static_cast<long long>(n),
                static_cast<unsigned long long>(m->nnz()));
    std::printf("%s after %llu iterations, relative residual %.3g, x at the centre %.6g\n",
                info->converged() ? "converged" : "not converged", static_cast<unsigned long long>(info->iterations),
                info->residual, x[static_cast<size_t>((side / 2) * side + side / 2)]);
    return info->converged() ? 0 : 1;
}

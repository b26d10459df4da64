// Thresholds that follow the matrix's scale: the scale itself, and a matrix times 2^k
// factorized exactly like the matrix, in both modes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "graph.hpp"
#include "helpers.hpp"
#include "vorlane/builder.hpp"

namespace {

using vorlane::CoreFactor;
using vt::Csr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ThresholdScale, LargestFiniteDiagonalRoundedDownToAPowerOfTwo) {
    struct Case {
        std::vector<double> diagonal;
        double scale;
    };
    const std::vector<Case> cases{
        {{}, 1.0},
        {{0.0, -0.0}, 1.0},
        {{kNaN, kInf, -kInf}, 1.0},
        {{1.0}, 1.0},
        {{std::nextafter(2.0, 0.0)}, 1.0},
        {{2.0}, 2.0},
        {{-3.0, 1.0}, 2.0},
        {{kNaN, 5.0, kInf, -kInf}, 4.0},
        {{0.99e-10}, 0x1p-34},
        {{std::numeric_limits<double>::max()}, 0x1p1023},
        {{std::numeric_limits<double>::denorm_min()}, std::numeric_limits<double>::denorm_min()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vorlane::threshold_scale(c.diagonal), c.scale) << "first entry " << (c.diagonal.empty() ? 0.0 : c.diagonal[0]);
    }
}

Csr times_power_of_two(Csr m, int k) {
    for (double& x : m.values) x = std::ldexp(x, k);
    return m;
}

// A grid Laplacian with edge weights 10^u, u uniform in [-6, 6]: its row sums leave rounding
// residues far above any absolute threshold, relative to its largest entries far below.
Csr high_contrast_grid(uint32_t nx, uint32_t ny, uint64_t seed) {
    auto edges = vt::grid2d_edges(nx, ny, seed, vt::Weights::Unit);
    vt::Rng rng(seed);
    for (auto& e : edges) e.w = std::pow(10.0, rng.uniform(-6.0, 6.0));
    return vt::laplacian_from_edges(nx * ny, edges);
}

std::vector<vt::Problem> scale_problems() {
    return {
        {"grid2d_14x14", [] { return vt::grid2d(14, 14, 21); }, true},
        {"high_contrast_grid_12x12", [] { return high_contrast_grid(12, 12, 22); }, true},
        {"random_150", [] { return vt::random_graph(150, 8.0, 23); }, true},
        {"sddm_random_120", [] { return vt::sddm(vt::random_graph(120, 6.0, 24), 25, 0.2); }, false},
    };
}

using ScaleParam = std::tuple<vt::Problem, vorlane::CoreConfig, int>;

class PowerOfTwoScaling : public ::testing::TestWithParam<ScaleParam> {};

// Every arithmetic step is exact under a power-of-two scaling and every threshold moves with
// it, so the factor keeps its order, rows and coefficients; inverse pivots scale by 2^-k.
TEST_P(PowerOfTwoScaling, GivesTheSameFactorAndScaledSolves) {
    const auto& [problem, config, k] = GetParam();
    const Csr m = problem.build();
    const CoreFactor f = vt::must_factor(m, config);
    const CoreFactor g = vt::must_factor(times_power_of_two(m, k), config);
    EXPECT_EQ(f.n, m.n + (problem.laplacian ? 0u : 1u));
    EXPECT_EQ(g.n, f.n);
    EXPECT_EQ(g.order, f.order);
    EXPECT_EQ(g.col_starts, f.col_starts);
    EXPECT_EQ(g.rows, f.rows);
    EXPECT_TRUE(vt::same_bits(g.coefficients, f.coefficients));
    std::vector<double> rescaled(f.inv_diag.size());
    for (size_t s = 0; s < rescaled.size(); ++s) rescaled[s] = std::ldexp(f.inv_diag[s], -k);
    EXPECT_TRUE(vt::same_bits(g.inv_diag, rescaled));

    // The solves agree to rounding only: the vertex no step records keeps its value unscaled.
    vt::Vec b = vt::random_vector(m.n, 26);
    if (problem.laplacian) b = vt::zero_mean(b);
    const vt::Vec x = vt::solve_original(f, b);
    vt::Vec y = vt::solve_original(g, b);
    for (double& v : y) v = std::ldexp(v, k);
    EXPECT_LE(vt::rel_diff(y, x), 1e-12);
}

std::vector<ScaleParam> scale_params() {
    std::vector<ScaleParam> out;
    for (const auto& p : scale_problems()) {
        for (const auto& c : {vt::plain_config(5), vt::split_config(3, 5)}) {
            for (int k : {-60, -35, -1, 1, 20, 50}) out.emplace_back(p, c, k);
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Problems, PowerOfTwoScaling, ::testing::ValuesIn(scale_params()), [](const auto& tp) {
    const int k = std::get<2>(tp.param);
    return std::get<0>(tp.param).name + "_" + vt::config_name(std::get<1>(tp.param)) + "_" +
           (k < 0 ? "minus" + std::to_string(-k) : std::to_string(k));
});

}  // namespace

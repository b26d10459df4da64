// Digests of whole factors over a spread of problems, modes and seeds, for checking that a
// change to the core leaves every factor bit for bit as it was.
//
// Usage: vorlane_factor_digests | diff bench/results/factor-digests.txt -
// The matrices come from vorlane_problems/recipes.hpp, whose generators use the standard
// library's distributions and shuffle, so digests are comparable between builds with one
// standard library (the reference file was made with GCC 12's libstdc++). The pinned
// digests of the core's tests hold on every platform.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vorlane_problems/digest.hpp"
#include "vorlane_problems/recipes.hpp"
#include "vorlane/builder.hpp"

namespace {

namespace bench = vorlane_problems::recipes;

// Every pair of the n vertices joined, with unit weights (many ties) or random ones.
bench::Csr complete(uint32_t n, bool unit, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> weight(0.5, 2.0);
    std::vector<bench::Edge> edges;
    for (uint32_t a = 0; a < n; ++a) {
        for (uint32_t b = a + 1; b < n; ++b) edges.push_back({a, b, unit ? 1.0 : weight(rng)});
    }
    std::vector<double> extra(n, 0.0);
    extra[0] = 0.5;
    return bench::assemble(n, edges, extra);
}

// A grid with a few hubs, each joined to many random vertices: long stars, lists that grow
// far past their first block, and high-degree vertices removed late.
bench::Csr hubs(uint32_t side, uint32_t count, uint32_t spokes, uint64_t seed) {
    const bench::Csr g = bench::grid({side, side}, bench::GridWeights::LogUniform, false, seed);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> weight(0.5, 2.0);
    const uint32_t n = g.n + count;
    std::vector<bench::Edge> edges;
    for (uint32_t i = 0; i < g.n; ++i) {
        for (uint32_t k = g.row_ptrs[i]; k < g.row_ptrs[i + 1]; ++k) {
            if (g.col_indices[k] > i) edges.push_back({i, g.col_indices[k], -g.values[k]});
        }
    }
    for (uint32_t h = 0; h < count; ++h) {
        for (uint32_t s = 0; s < spokes; ++s) {
            const auto v = static_cast<uint32_t>(rng() % g.n);
            edges.push_back({g.n + h, v, weight(rng)});
        }
    }
    // Parallel spokes are kept: the core must merge them in the star.
    std::vector<double> extra(n, 0.0);
    extra[g.n] = 1.0;
    return bench::assemble(n, edges, extra);
}

}  // namespace

int main() {
    using bench::GridWeights;
    struct Problem {
        std::string name;
        std::function<bench::Csr()> make;
    };
    const std::vector<Problem> problems = {
        {"grid2d-unit-grounded-300", [] { return bench::grid({300, 300}, GridWeights::Unit, true, 1); }},
        {"grid2d-loguni-laplacian-200", [] { return bench::grid({200, 200}, GridWeights::LogUniform, false, 2); }},
        {"grid3d-unit-grounded-30", [] { return bench::grid({30, 30, 30}, GridWeights::Unit, true, 3); }},
        {"grid3d-loguni-grounded-25", [] { return bench::grid({25, 25, 25}, GridWeights::LogUniform, true, 4); }},
        {"grid2d-shuffled-200",
         [] { return bench::renumbered(bench::grid({200, 200}, GridWeights::Unit, true, 5), 6); }},
        {"grid3d-shuffled-20",
         [] { return bench::renumbered(bench::grid({20, 20, 20}, GridWeights::LogUniform, true, 7), 8); }},
        {"powerlaw-2e4", [] { return bench::power_law(20000, 10.0, 9); }},
        {"powerlaw-1e5", [] { return bench::power_law(100000, 10.0, 10); }},
        {"expander-5e4", [] { return bench::expander(50000, 11); }},
        {"complete-unit-150", [] { return complete(150, true, 12); }},
        {"complete-random-120", [] { return complete(120, false, 13); }},
        {"hubs-120", [] { return hubs(120, 6, 3000, 14); }},
    };
    struct Run {
        std::optional<uint32_t> split;
        uint64_t seed;
    };
    const std::vector<Run> runs = {{std::nullopt, 0}, {std::nullopt, 7}, {1, 3}, {2, 0}, {3, 7}};
    for (const Problem& p : problems) {
        const bench::Csr a = p.make();
        for (const Run& r : runs) {
            auto result = vorlane::build_factor(a.row_ptrs, a.col_indices, a.values, a.n, vorlane::CoreConfig{r.split, r.seed});
            const std::string mode = r.split ? "split" + std::to_string(*r.split) : "plain";
            if (!result) {
                std::printf("%-28s %-6s seed %-2llu error %s\n", p.name.c_str(), mode.c_str(),
                            static_cast<unsigned long long>(r.seed), vorlane::message(result.error()).c_str());
                continue;
            }
            const vorlane::CoreFactor& f = *result;
            const uint64_t h = vorlane_problems::digest(f.order, f.col_starts, f.rows, f.coefficients, f.inv_diag);
            std::printf("%-28s %-6s seed %-2llu n %7llu entries %9zu digest %016llx\n", p.name.c_str(), mode.c_str(),
                        static_cast<unsigned long long>(r.seed), static_cast<unsigned long long>(f.n), f.rows.size(),
                        static_cast<unsigned long long>(h));
            std::fflush(stdout);
        }
    }
    return 0;
}

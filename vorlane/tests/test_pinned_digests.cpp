// Pinned digests of whole factors and solutions: any change to the arithmetic, the order of
// operations, the random draws or the elimination order shows up here. Performance work on
// the core must leave every digest unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "problems.hpp"
#include "vorlane_problems/digest.hpp"
#include "vorlane/builder.hpp"

namespace {

uint64_t factor_digest(const vorlane::CoreFactor& f) {
    return vorlane_problems::digest(f.order, f.col_starts, f.rows, f.coefficients, f.inv_diag);
}

struct Pinned {
    std::string problem;
    uint32_t split;  // 0: plain mode
    uint64_t factor;
    uint64_t solution;
};

vt::Csr make(const std::string& name) {
    if (name == "grid2d_40x30") return vt::grid2d(40, 30, 3);
    if (name == "grid3d_9x8x7") return vt::grid3d(9, 8, 7, 4);
    if (name == "sddm_grid2d_35x35") return vt::sddm(vt::grid2d(35, 35, 5), 6);
    // Stars past the sort path's 32 entries, merged through the dense arrays.
    if (name == "dense_random_300") return vt::random_graph(300, 60.0, 8);
    // A hub whose list outgrows its first blocks and is released when it is eliminated.
    if (name == "hubs_grid2d_30x30") {
        return vt::sddm(vt::disjoint_union(vt::grid2d(30, 30, 9, vt::Weights::Unit), vt::star(200, 10, vt::Weights::Unit)),
                        11);
    }
    // Unit weights: stars full of equal weights, ordered by neighbour.
    if (name == "unit_grid3d_12") return vt::sddm(vt::grid3d(12, 12, 12, 12, vt::Weights::Unit), 13);
    return vt::random_graph(800, 8.0, 7);
}

class PinnedDigests : public ::testing::TestWithParam<Pinned> {};

TEST_P(PinnedDigests, FactorAndSolutionAreUnchanged) {
    const Pinned& p = GetParam();
    const vt::Csr m = make(p.problem);
    vorlane::CoreConfig config;
    config.seed = 2024;
    if (p.split != 0) config.split_merge = p.split;
    auto result = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, config);
    ASSERT_TRUE(result.has_value());
    const vorlane::CoreFactor& f = result.value();
    EXPECT_EQ(factor_digest(f), p.factor);

    std::vector<double> b(m.n), x(f.n);
    for (uint32_t i = 0; i < m.n; ++i) b[i] = static_cast<double>(i % 7) - 3.0;
    ASSERT_FALSE(vorlane::solve_into_buffer(f, b, x).has_value());
    EXPECT_EQ(vorlane_problems::digest(x), p.solution);
}

INSTANTIATE_TEST_SUITE_P(
    Problems, PinnedDigests,
    ::testing::Values(Pinned{"grid2d_40x30", 0, 0xf818444f4de01202ull, 0x84471b9415c46750ull},
                      Pinned{"grid2d_40x30", 2, 0xd86e356604b6dcb7ull, 0xadc83d237a051e45ull},
                      Pinned{"grid2d_40x30", 3, 0x9e90a68d2d2acd0eull, 0x07025be8622ca921ull},
                      Pinned{"grid3d_9x8x7", 0, 0x7acd4709a861073eull, 0xc0ab90369377b415ull},
                      Pinned{"grid3d_9x8x7", 2, 0x4782dcaba8362772ull, 0xe1934e012214669eull},
                      Pinned{"grid3d_9x8x7", 3, 0x0cf5a687d7ea0078ull, 0xd8e7368366cc604dull},
                      Pinned{"sddm_grid2d_35x35", 0, 0x8ccdade81dee5be3ull, 0xb777f6a6b5e518e5ull},
                      Pinned{"sddm_grid2d_35x35", 2, 0xa76ce49458487c2dull, 0xa46faaee021e9b9cull},
                      Pinned{"sddm_grid2d_35x35", 3, 0x674c0e631d081c3cull, 0x7f68f63562db08c0ull},
                      Pinned{"random_graph_800", 0, 0x2501c515265d203bull, 0xfcec730523f905f6ull},
                      Pinned{"random_graph_800", 2, 0xd5c197c097bc9aaeull, 0x200d032494039cb1ull},
                      Pinned{"random_graph_800", 3, 0xadb84113da6873ffull, 0x8d6a04fe53c688bcull},
                      Pinned{"dense_random_300", 0, 0x9bfd6ed65b322218ull, 0x539685d43667ac09ull},
                      Pinned{"dense_random_300", 2, 0x72c208803fb36921ull, 0xd092ccb9d3857312ull},
                      Pinned{"hubs_grid2d_30x30", 0, 0x1443e93fd9819510ull, 0x5477a7be2b1bebb3ull},
                      Pinned{"hubs_grid2d_30x30", 2, 0x19c6473f067535e4ull, 0xb0e69727ca67c164ull},
                      Pinned{"unit_grid3d_12", 0, 0x107e5b5f92cd9a7eull, 0x0726d6f7b4dd0b1cull},
                      Pinned{"unit_grid3d_12", 2, 0x33959f03ea248427ull, 0x1bae7ca4ff484cddull}),
    [](const ::testing::TestParamInfo<Pinned>& param) {
        return param.param.problem + (param.param.split == 0 ? "_plain" : "_split" + std::to_string(param.param.split));
    });

}  // namespace

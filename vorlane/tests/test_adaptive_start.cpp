// The adaptive start's decision from Jacobi-preconditioned CG coefficients: a grid must
// switch at the first decision, graphs whose Jacobi count is small must not, and a settled
// spectrum switches exactly when its Jacobi count outweighs the factor; the condition
// estimate itself against a spectrum known in advance.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "helpers.hpp"
#include "vorlane/adaptive_start.hpp"
#include "vorlane_problems/recipes.hpp"

namespace {

using vorlane::LanczosRecord;
using vt::Vec;

// The coefficients of `steps` CG iterations on m x = b, Jacobi-preconditioned or plain.
LanczosRecord cg_record(const vt::Csr& m, const Vec& b, size_t steps, bool jacobi = true) {
    Vec inv(m.n, 1.0);
    for (uint32_t i = 0; i < m.n && jacobi; ++i) {
        for (uint32_t t = m.row_ptrs[i]; t < m.row_ptrs[i + 1]; ++t) {
            if (m.col_indices[t] == i) inv[i] = 1.0 / m.values[t];
        }
    }
    LanczosRecord record;
    Vec r = b, z(m.n), p(m.n);
    double rz = 0.0;
    for (size_t it = 0; it < steps; ++it) {
        for (uint32_t i = 0; i < m.n; ++i) z[i] = inv[i] * r[i];
        const double next = vt::dot(r, z);
        const double beta = it == 0 ? 0.0 : next / rz;
        if (it > 0) record.add_beta(beta);
        rz = next;
        for (uint32_t i = 0; i < m.n; ++i) p[i] = z[i] + beta * p[i];
        const Vec q = vt::matvec(m, p);
        const double alpha = rz / vt::dot(p, q);
        record.add_alpha(alpha);
        for (uint32_t i = 0; i < m.n; ++i) r[i] = r[i] - alpha * q[i];
    }
    return record;
}

bool decides_to_switch(const vt::Csr& m, uint64_t seed, double width = 1.0) {
    const LanczosRecord record = cg_record(m, vt::random_vector(m.n, seed), vorlane::kDecisionInterval);
    return vorlane::should_switch(record, {1e8, width});
}

namespace recipes = vorlane_problems::recipes;

TEST(AdaptiveStart, GridsSwitchAndGraphsWithFewJacobiIterationsDoNot) {
    for (const uint64_t seed : {uint64_t{1}, uint64_t{2}, uint64_t{3}}) {
        EXPECT_TRUE(decides_to_switch(recipes::grid({200, 200}, recipes::GridWeights::Unit, true, seed), seed));
        EXPECT_TRUE(decides_to_switch(recipes::grid({120, 120}, recipes::GridWeights::LogUniform, true, seed), seed));
        EXPECT_TRUE(decides_to_switch(recipes::grid({30, 30, 30}, recipes::GridWeights::Unit, true, seed), seed));
        EXPECT_FALSE(decides_to_switch(recipes::power_law(50000, 13.0, seed), seed));
        EXPECT_FALSE(decides_to_switch(recipes::expander(50000, seed), seed));
    }
}

// Plain CG on a diagonal operator with three distinct eigenvalues: the Lanczos matrix holds
// them exactly after three steps, so the spectrum is settled and only the cost model decides.
LanczosRecord settled(double kappa) {
    std::vector<double> d;
    for (int i = 0; i < 30; ++i) d.push_back(i == 0 ? 0.5 : (i % 2 == 0 ? 1.0 : kappa));
    return cg_record(vorlane_problems::diagonal(d), Vec(d.size(), 1.0), 3, false);
}

TEST(AdaptiveStart, SettledSpectrumWeighsJacobiAgainstTheFactor) {
    EXPECT_NEAR(settled(400.0).condition(12), 400.0, 1e-6);
    // The outlier below the second smallest eigenvalue does not count.
    EXPECT_NEAR(settled(400.0).condition(3), 400.0, 1e-6);
    EXPECT_FALSE(vorlane::should_switch(settled(100.0), {1e8, 1.0}));
    EXPECT_TRUE(vorlane::should_switch(settled(1e4), {1e8, 1.0}));
    // In between: whether the count outweighs the factor depends on what remains to do and
    // on how many columns share the factorization.
    EXPECT_FALSE(vorlane::should_switch(settled(1e3), {1e2, 1.0}));
    EXPECT_TRUE(vorlane::should_switch(settled(1e3), {1e8, 1.0}));
    EXPECT_FALSE(vorlane::should_switch(settled(300.0), {1e8, 1.0}));
    EXPECT_TRUE(vorlane::should_switch(settled(300.0), {1e8, 16.0}));
}

TEST(AdaptiveStart, TooFewStepsOrAStoppedRecordDecideNothing) {
    LanczosRecord empty;
    EXPECT_EQ(empty.condition(12), 0.0);
    EXPECT_FALSE(vorlane::should_switch(empty, {1e8, 1.0}));
    LanczosRecord two;
    two.add_alpha(1.0);
    two.add_beta(0.5);
    two.add_alpha(1.0);
    EXPECT_EQ(two.condition(12), 0.0);
    two.stop();
    two.add_beta(0.5);
    two.add_alpha(1.0);
    EXPECT_EQ(two.steps(), 2u);
}

}  // namespace

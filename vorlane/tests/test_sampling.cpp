// The seeded generator and the weighted fill draw: seeding, the generator's outputs, the
// uniform conversion, the prefix search against the naive rule, and the
// rules that decide when a draw consumes a random number.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "helpers.hpp"
#include "sampling.hpp"

namespace {

using vorlane::CliqueSampler;
using vorlane::FillEdge;
using vorlane::StarEntry;

// Reference SplitMix64 and xoshiro256++, written from their published definitions.
uint64_t splitmix_word(uint64_t seed, uint64_t i) {
    uint64_t z = seed + i * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct RefXoshiro {
    uint64_t s[4];
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[0] + s[3], 23) + s[0];
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
};

uint64_t rotr(uint64_t x, int k) { return (x >> k) | (x << (64 - k)); }

// Puts the generator in a state whose next output is exactly x (s0 = 0 makes the output
// rotl(s3, 23)).
void force_next(CliqueSampler& s, uint64_t x) {
    s.s0 = 0;
    s.s1 = 0x1234;
    s.s2 = 0x5678;
    s.s3 = rotr(x, 23);
}

std::array<uint64_t, 4> state(const CliqueSampler& s) { return {s.s0, s.s1, s.s2, s.s3}; }

TEST(Seeding, SeedZeroGivesThePublishedStateWords) {
    const CliqueSampler s = vorlane::seed_sampler(0);
    EXPECT_EQ(s.s0, 0xE220A8397B1DCDAFull);
    EXPECT_EQ(s.s1, 0x6E789E6AA1B965F4ull);
    EXPECT_EQ(s.s2, 0x06C45D188009454Full);
    EXPECT_EQ(s.s3, 0xF88BB8A8724C81ECull);
    EXPECT_TRUE(s.prefix.empty());
}

TEST(Seeding, StateWordsAreTheFirstFourSplitMixOutputs) {
    for (uint64_t seed : {uint64_t{1}, uint64_t{42}, uint64_t{0x0123456789ABCDEF}, ~uint64_t{0}}) {
        const CliqueSampler s = vorlane::seed_sampler(seed);
        EXPECT_EQ(state(s), (std::array<uint64_t, 4>{splitmix_word(seed, 1), splitmix_word(seed, 2),
                                                     splitmix_word(seed, 3), splitmix_word(seed, 4)}))
            << "seed " << seed;
    }
}

TEST(Generator, MatchesXoshiro256PlusPlus) {
    for (uint64_t seed : {uint64_t{0}, uint64_t{7}, ~uint64_t{0}}) {
        CliqueSampler s = vorlane::seed_sampler(seed);
        RefXoshiro ref{{s.s0, s.s1, s.s2, s.s3}};
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(s.next64(), ref.next()) << "seed " << seed << " output " << i;
    }
}

TEST(Generator, ForcedStateGivesTheChosenOutput) {
    CliqueSampler s;
    for (uint64_t x : {uint64_t{0}, uint64_t{1}, uint64_t{1} << 63, ~uint64_t{0}, uint64_t{0xDEADBEEFCAFEF00D}}) {
        force_next(s, x);
        EXPECT_EQ(s.next64(), x);
    }
}

struct UniformCase {
    uint64_t output;
    double expected;
};

TEST(Generator, UniformUsesAllSixtyFourBitsRoundedToNearest) {
    const std::vector<UniformCase> cases{
        {0, 0.0},
        {1, 0x1p-64},  // the lowest bit counts
        {uint64_t{1} << 63, 0.5},
        {(uint64_t{1} << 53) + 1, 0x1p-11},  // tie, rounded to even
        {(uint64_t{1} << 53) + 3, (0x1p53 + 4) * 0x1p-64},
        {~uint64_t{0}, 1.0},
        {~uint64_t{0} - 1023, 1.0},  // 2^64 - 1024 is a tie and rounds up to 2^64
        {~uint64_t{0} - 1024, (0x1p64 - 2048) * 0x1p-64},
    };
    CliqueSampler s;
    for (const auto& c : cases) {
        force_next(s, c.output);
        EXPECT_EQ(s.next_uniform(), c.expected) << "output " << c.output;
    }
}

// First position in [start, len) whose prefix is not below r, or len.
size_t naive_search(const std::vector<double>& p, size_t start, size_t len, double r) {
    for (size_t k = start; k < len; ++k) {
        if (!(p[k] < r)) return k;
    }
    return len;
}

TEST(PrefixSearch, LinearAndBisectionAgreeWithTheNaiveRule) {
    vt::Rng rng(99);
    for (size_t span : {1u, 2u, 5u, 31u, 32u, 33u, 34u, 64u, 65u, 200u}) {
        for (int trial = 0; trial < 20; ++trial) {
            const size_t start = 1 + rng.below(4);
            const size_t len = start + span;
            std::vector<double> p(len);
            double acc = 0.0;
            for (double& x : p) {
                // Plateaus (zero weights) and tiny steps included.
                const double r = rng.uniform();
                acc += r < 0.2 ? 0.0 : (r < 0.3 ? 1e-300 : rng.uniform(0.0, 3.0));
                x = acc;
            }
            std::vector<double> probes{-1.0, p[start - 1], p[len - 1], p[len - 1] * 2 + 1,
                                       std::numeric_limits<double>::quiet_NaN()};
            for (size_t k = start - 1; k < len; ++k) {
                probes.push_back(p[k]);
                probes.push_back(std::nextafter(p[k], -1.0));
                probes.push_back(std::nextafter(p[k], 1e300));
            }
            for (double r : probes) {
                ASSERT_EQ(vorlane::search_prefix(p, start, len, r), naive_search(p, start, len, r))
                    << "span " << span << " start " << start << " r " << r;
            }
        }
    }
}

std::vector<StarEntry> labelled_star(size_t len, uint32_t first_label = 100) {
    std::vector<StarEntry> star(len);
    for (size_t i = 0; i < len; ++i) star[i] = StarEntry{first_label + static_cast<uint32_t>(i), 1.0};
    return star;
}

struct DrawCase {
    const char* name;
    uint64_t output;
    uint32_t target;
};

// Prefix [1, 2, 3, 5, 9], drawing for position 0: lo = 1, range = 8, r = 1 + 8 U.
TEST(SampleFill, DrawTakesTheFirstPositionNotBelowR) {
    const std::vector<DrawCase> cases{
        {"u_zero_takes_first_candidate", 0, 101},
        {"r_exactly_on_a_sum", uint64_t{1} << 61, 101},          // r = 2 = P[1]
        {"r_just_above_a_sum", (uint64_t{1} << 61) + 1024, 102},  // r = 2 + 2^-51
        {"r_half", uint64_t{1} << 63, 103},                       // r = 5 = P[3]
        {"u_one_takes_last", ~uint64_t{0}, 104},
    };
    const auto star = labelled_star(5);
    for (const auto& c : cases) {
        CliqueSampler s;
        s.prefix = {1, 2, 3, 5, 9};
        force_next(s, c.output);
        std::vector<FillEdge> fill;
        vorlane::sample_fill(fill, 100, 1, s, star, 5, 1, 0.75);
        ASSERT_EQ(fill.size(), 1u) << c.name;
        EXPECT_EQ(fill[0].source, 100u) << c.name;
        EXPECT_EQ(fill[0].target, c.target) << c.name;
        EXPECT_EQ(fill[0].weight, 0.75) << c.name;
    }
}

TEST(SampleFill, UniformOfOneTakesTheLastPositionOnBothSearchPaths) {
    vt::Rng rng(5);
    for (size_t span = 1; span <= 70; ++span) {
        const size_t start = 1 + rng.below(3);
        const size_t len = start + span;
        std::vector<double> p(len);
        double acc = rng.uniform(0.0, 5.0);
        for (double& x : p) x = acc += rng.uniform(0.01, 4.0);
        CliqueSampler s;
        s.prefix = p;
        force_next(s, ~uint64_t{0});
        std::vector<FillEdge> fill;
        const auto star = labelled_star(len);
        vorlane::sample_fill(fill, 7, 1, s, star, len, start, 1.0);
        ASSERT_EQ(fill.size(), 1u);
        EXPECT_EQ(fill[0].target, star[len - 1].neighbor) << "span " << span;
    }
}

TEST(SampleFill, ThirtyTwoAndThirtyThreeCandidatesChooseLikeTheNaiveRule) {
    vt::Rng rng(17);
    for (size_t span : {31u, 32u, 33u, 34u}) {
        const size_t start = 3;
        const size_t len = start + span;
        std::vector<double> p(len);
        double acc = 0.0;
        for (double& x : p) x = acc += (rng.chance(0.2) ? 0.0 : rng.uniform(0.1, 2.0));
        const auto star = labelled_star(len);
        for (int trial = 0; trial < 300; ++trial) {
            CliqueSampler s;
            s.prefix = p;
            const uint64_t x = trial == 0 ? 0 : (trial == 1 ? ~uint64_t{0} : rng.next());
            force_next(s, x);
            const double u = static_cast<double>(x) * 0x1p-64;
            const double lo = p[start - 1];
            const double r = lo + (p[len - 1] - lo) * u;
            const size_t k = std::min(naive_search(p, start, len, r), len - 1);
            std::vector<FillEdge> fill;
            vorlane::sample_fill(fill, 1, 1, s, star, len, start, 1.0);
            ASSERT_EQ(fill.size(), 1u);
            ASSERT_EQ(fill[0].target, star[k].neighbor) << "span " << span << " output " << x;
        }
    }
}

struct SkipCase {
    const char* name;
    uint32_t count;
    double weight;
    std::vector<double> prefix;
    size_t start;
    size_t len;
    uint64_t draws;  // generator outputs consumed
};

TEST(SampleFill, WhenRandomNumbersAreConsumed) {
    const double above = std::nextafter(1e-14, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<SkipCase> cases{
        {"weight_exactly_threshold", 1, 1e-14, {1, 2, 3}, 1, 3, 0},
        {"weight_just_above_threshold", 1, above, {1, 2, 3}, 1, 3, 1},
        {"nan_weight", 2, nan, {1, 2, 3}, 1, 3, 0},
        {"negative_weight", 1, -1.0, {1, 2, 3}, 1, 3, 0},
        {"count_zero", 0, 1.0, {1, 2, 3}, 1, 3, 0},
        {"start_at_len", 1, 1.0, {1, 2, 3}, 3, 3, 0},
        {"range_exactly_threshold", 4, 1.0, {0, 0, 1e-14}, 1, 3, 0},
        {"range_below_threshold", 4, 1.0, {5, 5 + 1e-15, 5 + 2e-15}, 1, 3, 0},
        {"range_above_threshold", 2, 1.0, {0, 0, 2e-14}, 1, 3, 2},
        {"count_three", 3, 1.0, {1, 2, 3, 4}, 1, 4, 3},
        {"count_three_last_position_only", 3, 1.0, {1, 2, 3, 4}, 3, 4, 3},
    };
    for (const auto& c : cases) {
        CliqueSampler s = vorlane::seed_sampler(3);
        s.prefix = c.prefix;
        CliqueSampler ref = s;
        for (uint64_t i = 0; i < c.draws; ++i) ref.next64();
        std::vector<FillEdge> fill{{9, 9, 9.0}};
        vorlane::sample_fill(fill, 50, c.count, s, labelled_star(c.len), c.len, c.start, c.weight);
        EXPECT_EQ(state(s), state(ref)) << c.name;
        EXPECT_EQ(fill.size(), 1 + c.draws) << c.name << ": appends one edge per draw";
        EXPECT_EQ(fill[0].source, 9u) << c.name << ": earlier edges are kept";
        for (size_t i = 1; i < fill.size(); ++i) {
            EXPECT_EQ(fill[i].source, 50u);
            EXPECT_GE(fill[i].target, 100 + c.start);
            EXPECT_LT(fill[i].target, 100 + c.len);
            EXPECT_EQ(std::bit_cast<uint64_t>(fill[i].weight), std::bit_cast<uint64_t>(c.weight));
        }
        EXPECT_EQ(s.prefix, c.prefix) << c.name << ": the prefix is only read";
    }
}

TEST(SampleFill, DrawOnTheSourceIsDroppedButConsumesANumber) {
    // Positions 1 and 2 both name vertex 50, the source: every draw lands on it.
    const std::vector<StarEntry> star{{7, 1.0}, {50, 1.0}, {50, 1.0}};
    CliqueSampler s = vorlane::seed_sampler(11);
    s.prefix = {1, 2, 3};
    CliqueSampler ref = s;
    for (int i = 0; i < 3; ++i) ref.next64();
    std::vector<FillEdge> fill;
    vorlane::sample_fill(fill, 50, 3, s, star, 3, 1, 1.0);
    EXPECT_TRUE(fill.empty());
    EXPECT_EQ(state(s), state(ref));
}

TEST(SampleFill, LaterPositionsAreDrawnInProportionToTheirWeight) {
    const std::vector<double> weights{0.7, 1.0, 3.0, 0.5, 2.5, 0.25, 1.75};
    std::vector<double> prefix;
    double acc = 0.0;
    for (double w : weights) prefix.push_back(acc += w);
    const auto star = labelled_star(weights.size());
    for (size_t start : {1u, 3u, 6u}) {
        CliqueSampler s = vorlane::seed_sampler(2024 + start);
        s.prefix = prefix;
        std::vector<FillEdge> fill;
        const int draws = 60000;
        for (int i = 0; i < draws; ++i) vorlane::sample_fill(fill, 1, 1, s, star, weights.size(), start, 1.0);
        ASSERT_EQ(fill.size(), static_cast<size_t>(draws));
        std::vector<int> hits(weights.size(), 0);
        for (const auto& e : fill) ++hits[e.target - 100];
        const double range = prefix.back() - prefix[start - 1];
        for (size_t k = 0; k < weights.size(); ++k) {
            const double want = k < start ? 0.0 : weights[k] / range;
            EXPECT_NEAR(hits[k] / static_cast<double>(draws), want, 0.01) << "start " << start << " position " << k;
        }
    }
}

}  // namespace

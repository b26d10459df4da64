// The factorization's only source of randomness: a seeded generator and the weighted fill draw.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"

namespace vorlane {

// Weights and ranges at or below this are treated as nothing to sample, for a matrix whose
// scale is 1; the driver multiplies it by the matrix's threshold scale.
inline constexpr double kDegenerateThreshold = 1e-14;

struct CliqueSampler {
    std::vector<double> prefix;  // running sums of the current star's weights
    // Fill weights, ranges and split-star totals at or below this draw nothing.
    double negligible = kDegenerateThreshold;
    uint64_t s0 = 0;
    uint64_t s1 = 0;
    uint64_t s2 = 0;
    uint64_t s3 = 0;

    // The state SplitMix64 gives from seed, as seed_sampler sets it.
    void reseed(uint64_t seed);
    // Stream number index of a factorization seeded with seed: one per eliminated vertex in a
    // parallel order, so that no draw depends on which thread made the ones before it.
    void start_stream(uint64_t seed, uint64_t index);
    // xoshiro256++ step.
    uint64_t next64();
    // One generator output mapped to [0, 1] using all 64 bits.
    double next_uniform();
};

// Seeds the generator from the first four SplitMix64 outputs; the prefix buffer starts empty.
CliqueSampler seed_sampler(uint64_t seed);

// Smallest k in [start, len) with !(prefix[k] < r), or len when there is none. prefix must
// not decrease over [start, len).
size_t search_prefix(std::span<const double> prefix, size_t start, size_t len, double r);

// Draws up to count neighbours among star positions start..len-1, in proportion to their
// weights, appending a fill edge (source, drawn neighbour, weight) for each draw that does
// not land on source.
void sample_fill(std::vector<FillEdge>& fill, uint32_t source, uint32_t count, CliqueSampler& sampler,
                 std::span<const StarEntry> star, size_t len, size_t start, double weight);

}  // namespace vorlane

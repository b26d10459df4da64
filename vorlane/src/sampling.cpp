// SplitMix64 seeding, xoshiro256++ and the weighted draw over prefix sums.
#include "sampling.hpp"

#include <algorithm>

namespace vorlane {

namespace {

constexpr uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

constexpr uint64_t splitmix64_output(uint64_t seed, uint64_t i) {
    uint64_t z = seed + i * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr double kTwoToMinus64 = 5.42101086242752217003726400434970855712890625e-20;

}  // namespace

CliqueSampler seed_sampler(uint64_t seed) {
    CliqueSampler s;
    s.reseed(seed);
    return s;
}

void CliqueSampler::reseed(uint64_t seed) {
    s0 = splitmix64_output(seed, 1);
    s1 = splitmix64_output(seed, 2);
    s2 = splitmix64_output(seed, 3);
    s3 = splitmix64_output(seed, 4);
}

void CliqueSampler::start_stream(uint64_t seed, uint64_t index) {
    // The stream's own seed is SplitMix64's output for the index in a sequence started at the
    // factorization's seed: distinct indices give unrelated states, whatever runs them.
    reseed(splitmix64_output(seed, index + 1));
}

uint64_t CliqueSampler::next64() {
    const uint64_t result = rotl(s0 + s3, 23) + s0;
    const uint64_t t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = rotl(s3, 45);
    return result;
}

double CliqueSampler::next_uniform() {
    // Round-to-nearest conversion of the full 64 bits; the largest outputs round to 1.0.
    return static_cast<double>(next64()) * kTwoToMinus64;
}

size_t search_prefix(std::span<const double> prefix, size_t start, size_t len, double r) {
    // A bisection without branches on the data: the draws are random, so a branch on each
    // comparison would be mispredicted half the time. base[count - 1] is the last candidate
    // and every position before base has a sum below r.
    if (start >= len) return len;
    const double* base = prefix.data() + start;
    size_t count = len - start;
    while (count > 1) {
        const size_t half = count / 2;
        const size_t below = base[half - 1] < r ? 1 : 0;
        base += half & (size_t{0} - below);
        count -= half;
    }
    return static_cast<size_t>(base - prefix.data()) + (*base < r ? 1 : 0);
}

void sample_fill(std::vector<FillEdge>& fill, uint32_t source, uint32_t count, CliqueSampler& sampler,
                 std::span<const StarEntry> star, size_t len, size_t start, double weight) {
    if (count == 0 || !(weight > sampler.negligible) || start >= len) return;
    const std::span<const double> prefix(sampler.prefix);
    const double lo = prefix[start - 1];
    const double hi = prefix[len - 1];
    const double range = hi - lo;
    if (!(range > sampler.negligible)) return;
    for (uint32_t c = 0; c < count; ++c) {
        const double u = sampler.next_uniform();
        const double r = lo + range * u;
        const size_t k = std::min(search_prefix(prefix, start, len, r), len - 1);
        const uint32_t target = star[k].neighbor;
        if (target != source) fill.push_back(FillEdge{source, target, weight});
    }
}

}  // namespace vorlane

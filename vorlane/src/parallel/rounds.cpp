// The factorization in rounds: the round loop over a whole matrix, with its default parts.
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/rounds.hpp"
#include "vorlane/parallel_elimination.hpp"

namespace vorlane {

namespace {

using rounds::Rounds;
// The vertices cut into `count` runs of consecutive numbers, as parts, when at most half of
// them have a neighbour in another run; else nothing (the rounds do better without).
std::vector<uint32_t> block_parts(const CsrView& csr, uint32_t count) {
    const uint64_t n = csr.n();
    std::vector<uint32_t> parts(n);
    for (uint64_t v = 0; v < n; ++v) parts[v] = static_cast<uint32_t>(v * count / n);
    uint64_t interface = 0;
    const auto rows = csr.row_ptrs();
    const auto cols = csr.col_indices();
    for (uint64_t v = 0; v < n; ++v) {
        for (uint32_t t = rows[v]; t < rows[v + 1]; ++t) {
            if (parts[cols[t]] != parts[v]) {
                ++interface;
                break;
            }
        }
    }
    if (2 * interface > n) parts.clear();
    return parts;
}

template <Mode M>
Expected<CoreFactor, CoreError> factorize_in_rounds(const CsrView& csr, uint32_t k, uint64_t seed,
                                                    const RoundOptions& options, ThreadPool& pool,
                                                    const StopCheck& stop, RoundStats* stats) {
    auto built = build_graph<M>(csr);
    if (!built) return unexpected(std::move(built).error());
    if constexpr (M == Mode::Split) {
        if (k >= 2) split_edges(built->graph, k);
    }
    Rounds<M> rounds(*built, k, seed, options, pool);
    std::vector<uint32_t> blocks;
    if (options.parts.empty() && options.blocks > 1) blocks = block_parts(csr, options.blocks);
    auto factor = rounds.run(options.parts.empty() ? std::span<const uint32_t>(blocks) : options.parts, stop, stats);
    if (!factor) return factor;
    factor->original_n = csr.n();
    factor->prepare_solve();
    return factor;
}

}  // namespace

Expected<CoreFactor, CoreError> build_factor_in_rounds(const CsrView& csr, const CoreConfig& config,
                                                       const RoundOptions& options, ThreadPool& pool,
                                                       StopCheck stop, RoundStats* stats) {
    try {
        if (config.split_merge && *config.split_merge == 0) {
            return unexpected<CoreError>(InvalidConfig{SplitMergeZero{0}});
        }
        if (!options.parts.empty() && options.parts.size() != csr.n()) {
            throw InternalFault("a partition of " + std::to_string(options.parts.size()) + " vertices for a matrix of " +
                                std::to_string(csr.n()));
        }
        RoundOptions checked = options;
        if (!(checked.degree_factor >= 1.0)) checked.degree_factor = 1.0;
        checked.round_size = std::max<uint32_t>(checked.round_size, 1);
        if (stats != nullptr) *stats = RoundStats{};
        if (config.split_merge) {
            return factorize_in_rounds<Mode::Split>(csr, *config.split_merge, config.seed, checked, pool, stop, stats);
        }
        return factorize_in_rounds<Mode::Plain>(csr, 1, config.seed, checked, pool, stop, stats);
    } catch (const std::bad_alloc&) {
        return unexpected<CoreError>(OutOfMemory{});
    } catch (const std::length_error&) {
        return unexpected<CoreError>(OutOfMemory{});
    }
}

}  // namespace vorlane

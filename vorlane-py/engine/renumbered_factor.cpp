// Mapping a factor of the renumbered matrix back to A's vertex numbers, and checking a
// renumbering from outside.
#include "renumbered_factor.hpp"

namespace vorlane_engine {

EngineFactor factor_in_original_numbering(vorlane::CoreFactor&& factor, std::vector<uint32_t>&& renumbering) {
    EngineFactor result{std::move(factor), std::move(renumbering)};
    if (!result.renumbered()) return result;
    vorlane::CoreFactor& f = result.core;
    const std::vector<uint32_t>& old_of = result.renumbering;
    const uint64_t n = old_of.size();
    for (uint32_t& v : f.order) v = v < n ? old_of[v] : v;
    for (uint32_t& v : f.rows) v = v < n ? old_of[v] : v;
    // Steps keep their places in the solve layout, so the column entries' places stay as
    // they are; only the place of each vertex moves with its number.
    std::vector<uint32_t> position(f.position.size());
    for (size_t v = 0; v < position.size(); ++v) position[v < n ? old_of[v] : v] = f.position[v];
    f.position = std::move(position);
    return result;
}

std::optional<std::string> check_renumbering(std::span<const uint32_t> order, uint64_t n) {
    if (order.size() != n) {
        return "renumbering must hold " + std::to_string(n) + " elements, got " + std::to_string(order.size());
    }
    std::vector<uint8_t> seen(n, 0);
    for (uint64_t r = 0; r < n; ++r) {
        const uint32_t v = order[r];
        if (v >= n) return "renumbering[" + std::to_string(r) + "] = " + std::to_string(v) + " is out of range";
        if (seen[v]) return "renumbering names vertex " + std::to_string(v) + " twice";
        seen[v] = 1;
    }
    return std::nullopt;
}

}  // namespace vorlane_engine

// Mapping a factor of the renumbered matrix back to A's vertex numbers, laying it out for its
// applies, and checking a renumbering from outside.
#include "engine_factor.hpp"

namespace vorlane_engine {

void name_in_original_numbering(vorlane::CoreFactor& f, std::span<const uint32_t> old_of) {
    const uint64_t n = old_of.size();
    for (uint32_t& v : f.order) v = v < n ? old_of[v] : v;
    for (uint32_t& v : f.rows) v = v < n ? old_of[v] : v;
}

vorlane::Expected<EngineFactor, std::string> make_engine_factor(vorlane::CoreFactor&& factor,
                                                                std::vector<uint32_t>&& renumbering,
                                                                vorlane::Precision precision) {
    EngineFactor result{std::move(factor), std::move(renumbering), {}};
    vorlane::CoreFactor& f = result.core;
    std::vector<uint32_t>().swap(f.position);
    std::vector<uint32_t>().swap(f.position_rows);
    std::vector<double>().swap(f.scratch.buffer);
    auto streamed = vorlane::StreamedFactor::from(f, precision);
    if (!streamed) return vorlane::unexpected(streamed.error());
    result.streamed = std::move(streamed).value();
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

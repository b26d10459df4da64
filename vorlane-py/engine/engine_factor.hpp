// A factor as the engine keeps it: the factor's own arrays (what is saved and exported), the
// renumbering it was built in, and its streamed copy, which every apply and iteration uses.
// Elimination may run on the renumbered matrix P A P^T; its vertex numbers are then mapped
// back to A's, so that the factor applies P^T F^-1 P to vectors in A's numbering with no
// permutation left for the solves to do.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorlane/decomposition.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/streamed_factor.hpp"

namespace vorlane_engine {

struct EngineFactor {
    vorlane::CoreFactor core;
    // order[new] = old when the factor is that of the renumbered matrix; else empty.
    std::vector<uint32_t> renumbering;
    vorlane::StreamedFactor streamed;

    bool renumbered() const { return !renumbering.empty(); }
};

// Renames the vertices of a factor of the renumbered matrix (built with old_of[new] = old) by
// their numbers in A; the added ground vertex, if any, keeps its number.
void name_in_original_numbering(vorlane::CoreFactor& factor, std::span<const uint32_t> old_of);

// The engine's factor from a finished core factor in A's numbering and the renumbering it was
// built in (order[new] = old, or empty), laid out for streamed applies in `precision`. The core's own solve layout is released: the
// engine never solves through it. Fails only for lack of memory.
vorlane::Expected<EngineFactor, std::string> make_engine_factor(vorlane::CoreFactor&& factor,
                                                                std::vector<uint32_t>&& renumbering,
                                                                vorlane::Precision precision);

// An error message unless order holds each of 0, ..., n - 1 exactly once.
std::optional<std::string> check_renumbering(std::span<const uint32_t> order, uint64_t n);

}  // namespace vorlane_engine

// A factor together with the renumbering it was built in. Elimination runs on the renumbered
// matrix P A P^T; its vertex numbers are then mapped back to A's, so that the factor applies
// P^T F^-1 P to vectors in A's numbering with no permutation left for the solves to do.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorlane/decomposition.hpp"

namespace vorlane_engine {

struct EngineFactor {
    vorlane::CoreFactor core;
    // order[new] = old when the factor is that of the renumbered matrix; else empty.
    std::vector<uint32_t> renumbering;

    bool renumbered() const { return !renumbering.empty(); }
};

// The factor of P A P^T built with `renumbering` (order[new] = old), its vertices named by
// their numbers in A; the added ground vertex, if any, keeps its number.
EngineFactor factor_in_original_numbering(vorlane::CoreFactor&& factor, std::vector<uint32_t>&& renumbering);

// An error message unless order holds each of 0, ..., n - 1 exactly once.
std::optional<std::string> check_renumbering(std::span<const uint32_t> order, uint64_t n);

}  // namespace vorlane_engine

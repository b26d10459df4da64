// Choosing a bandwidth-reducing renumbering for a checked matrix whose numbering has no
// locality: a one-pass locality measure and reverse Cuthill-McKee.
#pragma once

#include <cstdint>
#include <vector>

#include "vorlane/checked_matrix.hpp"

namespace vorlane {

enum class Renumber : uint8_t { Never, Auto, Always };

// Vertices further apart than this in the numbering rarely share a page of any per-vertex
// array, so an entry joining them counts as far.
inline constexpr uint64_t kFarDistance = 4096;

// The numbering to factorize the matrix in, as order[new] = old; empty to keep its own.
// Auto renumbers only when more than half of the off-diagonal entries are far and reverse
// Cuthill-McKee at least halves their number: elimination then touches nearby memory, and
// below that the renumbering costs more than it saves (expanders have no local numbering).
// Always renumbers every non-empty matrix. Deterministic: the same matrix, the same order.
std::vector<uint32_t> choose_renumbering(const CheckedMatrix& matrix, Renumber mode);

}  // namespace vorlane

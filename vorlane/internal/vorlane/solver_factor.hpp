// A factor as the solver keeps it: the factor's own arrays (what is saved and exported), the
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

#include "vorlane/builder.hpp"
#include "vorlane/checked_matrix.hpp"
#include "vorlane/decomposition.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/parallel_elimination.hpp"
#include "vorlane/renumbering.hpp"
#include "vorlane/streamed_factor.hpp"

namespace vorlane {

struct SolverFactor {
    CoreFactor core;
    // order[new] = old when the factor is that of the renumbered matrix; else empty.
    std::vector<uint32_t> renumbering;
    StreamedFactor streamed;

    bool renumbered() const { return !renumbering.empty(); }
};

// Renames the vertices of a factor of the renumbered matrix (built with old_of[new] = old) by
// their numbers in A; the added ground vertex, if any, keeps its number.
void name_in_original_numbering(CoreFactor& factor, std::span<const uint32_t> old_of);

// The solver's factor from a finished core factor in A's numbering and the renumbering it was
// built in (order[new] = old, or empty), laid out for streamed applies in `precision`, and
// for applies level by level on several threads when `leveled` (factors of a parallel order). The
// core's own solve layout is released: the solver never solves through it. Fails only for
// lack of memory.
Expected<SolverFactor, std::string> make_solver_factor(CoreFactor&& factor, std::vector<uint32_t>&& renumbering,
                                                       Precision precision, bool leveled = false);

// An error message unless order holds each of 0, ..., n - 1 exactly once.
std::optional<std::string> check_renumbering(std::span<const uint32_t> order, uint64_t n);

// Sequential: the one-vertex-at-a-time minimum-degree order, the same factor bit for bit as
// build_factor. Rounds: build_factor_in_rounds, on `threads` threads (its factor depends on
// the round options, never on the threads).
enum class Order : uint8_t { Sequential, Rounds };

// An error message unless parts holds n part numbers, each below n.
std::optional<std::string> check_parts(std::span<const uint32_t> parts, uint64_t n);

struct FactorSettings {
    uint64_t seed = 0;
    std::optional<uint32_t> split;
    Renumber renumber = Renumber::Auto;
    Precision precision = Precision::Double;
    Order order = Order::Sequential;
    RoundOptions rounds;  // its parts are taken from `parts`
    unsigned threads = 1;
    // Empty, or a part number for each vertex of A (in A's numbering): see RoundOptions.
    std::vector<uint32_t> parts;
};

struct FactorizeError {
    ErrorClass kind;
    std::string message;
};

// Renumbers the checked matrix (as settings.renumber says), factorizes its factor input and
// lays the factor out in A's numbering.
Expected<SolverFactor, FactorizeError> factorize(const CheckedMatrix& matrix, const FactorSettings& settings,
                                                 StopCheck stop = {});

}  // namespace vorlane

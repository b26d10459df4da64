// Elimination in rounds: each round takes live vertices of near-minimum degree no two of which
// are adjacent and eliminates them at the same time, on every thread of a pool.
//
// No vertex of a round reads what another writes: they share no edge, so each one's star is
// read from the graph as the round found it, and the edits the round makes (removed edges,
// fill, weighted degrees, keys) are applied per neighbour in the round's order afterwards.
// Each vertex draws its fill from a random stream of its own, derived from the seed and the
// vertex. The factor therefore depends on the matrix, the seed, the split and the options
// below, never on the number of threads or their timing. It is an approximate Cholesky
// factor of the same matrix as the sequential one, in another elimination order; its steps
// come round by round, and a step's column names only vertices of later rounds, so the
// rounds are also the levels of parallel solves.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/thread_pool.hpp"

namespace vorlane {

struct RoundOptions {
    // A round draws from the live vertices whose key is at most this many times the least key.
    double degree_factor = 1.5;
    // The most vertices one round eliminates.
    uint32_t round_size = 256;
    // Empty, or a part number for each vertex of the matrix (fewer than 2^32 - 1 parts).
    // With parts, the interior of every part (its vertices whose neighbours all lie in it,
    // an added ground vertex aside) is eliminated first, each part on one thread by the
    // sequential minimum-degree rule, and the rest in rounds. The factor depends on the
    // partition, never on which thread eliminated which part.
    std::span<const uint32_t> parts;
    // Without parts: the vertices cut into this many runs of consecutive numbers (in the
    // numbering the factorization works in), taken as parts when at most half the vertices
    // have a neighbour in another run, as in meshes and grids numbered along their
    // geometry; 0 or 1 for rounds alone.
    uint32_t blocks = 16;
};

struct RoundStats {
    // The first step of every round, and the number of steps at the end.
    std::vector<uint64_t> round_starts;
    // Time spent in the rounds' serial parts (choosing the vertices, recording the steps,
    // re-keying) and in their parallel parts (eliminating, editing the lists), for a model of
    // how the order scales with threads.
    double serial_seconds = 0.0;
    double parallel_seconds = 0.0;
    // With parts: the steps their interiors took, and the time that took.
    uint64_t interior_steps = 0;
    double interior_seconds = 0.0;
};

// Validates and factorizes like build_factor, in rounds, on the pool's threads. stats, when
// given, receives the rounds.
Expected<CoreFactor, CoreError> build_factor_in_rounds(const CsrView& csr, const CoreConfig& config,
                                                       const RoundOptions& options, ThreadPool& pool,
                                                       StopCheck stop = {}, RoundStats* stats = nullptr);

}  // namespace vorlane

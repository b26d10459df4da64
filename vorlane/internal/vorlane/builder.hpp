// The factorization driver: CSR arrays and a configuration in, a finished factor or an error out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorlane/csr.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/decomposition.hpp"

namespace vorlane {

struct CoreConfig {
    // Absent: plain mode. Present with k: split mode, every edge held as k copies.
    std::optional<uint32_t> split_merge;
    uint64_t seed = 0;
};

// Asked every few thousand elimination steps (and once the graph is built) whether to stop;
// returning true ends the factorization with Interrupted. It must not touch the factor.
struct StopCheck {
    bool (*should_stop)(void* context) = nullptr;
    void* context = nullptr;
};

// An empty factor with room for steps steps and, where the address space allows, for three
// times entries column entries (entries: the adjacency entries, a lower bound).
CoreFactor reserve_factor(uint64_t steps, uint64_t entries);

// Copies and validates the arrays, then eliminates every vertex but one. Never returns a
// partial factor. A broken internal invariant throws InternalFault.
Expected<CoreFactor, CoreError> build_factor(std::span<const uint32_t> row_ptrs,
                                             std::span<const uint32_t> col_indices,
                                             std::span<const double> values, uint32_t n,
                                             const CoreConfig& config, StopCheck stop = {});

inline Expected<CoreFactor, CoreError> build_factor(const CsrView& csr, const CoreConfig& config,
                                                    StopCheck stop = {}) {
    return build_factor(csr.row_ptrs(), csr.col_indices(), csr.values(), csr.n(), config, stop);
}

}  // namespace vorlane

// The small records that pass between the graph, star construction, sampling and the driver.
#pragma once

#include <cstdint>

namespace vorlane {

// The factorization mode, fixed for a whole call: plain entries, or entries standing for
// several parallel copies of equal per-copy weight.
enum class Mode { Plain, Split };

// One gathered adjacency entry of the vertex being eliminated. In split mode weight is the
// whole bundle's weight (per-copy weight times multiplicity); in plain mode multiplicity is 1.
struct IncidentEdge {
    double weight;
    uint32_t neighbor;
    uint32_t multiplicity;
};

// One merged neighbour of a star.
struct StarEntry {
    uint32_t neighbor;
    double weight;
};

// One sampled fill edge; in split mode weight is the weight of one copy.
struct FillEdge {
    uint32_t source;
    uint32_t target;
    double weight;
};

}  // namespace vorlane

// Star construction: merging a vertex's gathered edges into one ordered entry per neighbour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "large_alloc.hpp"
#include "records.hpp"

namespace vorlane {

// Gathered lists longer than this are merged through the dense per-vertex arrays.
inline constexpr size_t kSortPathLimit = 32;

struct SplitSortRecord {
    double weight;
    double per_copy;
    uint32_t neighbor;
    uint32_t multiplicity;
};

// Scratch reused by every star of one factorization. Between calls every accumulator slot
// is 0.0, every flag clear and every count 0: a call resets exactly the slots it touched.
class StarWorkspace {
public:
    explicit StarWorkspace(uint64_t n) : n_(n) {}

    // Copies of one neighbour that the star does not carry one by one, from the last star built.
    const std::vector<std::pair<uint32_t, uint32_t>>& surplus() const { return surplus_; }

private:
    friend void build_star(StarWorkspace&, std::vector<IncidentEdge>&, std::vector<StarEntry>&);
    friend void build_split_star(StarWorkspace&, std::vector<IncidentEdge>&, std::vector<StarEntry>&,
                                 std::vector<uint32_t>&, uint32_t);
    void grow_dense(bool with_flags);

    uint64_t n_;
    LargeVector<double> accumulator_;
    LargeVector<uint8_t> seen_;
    LargeVector<uint32_t> counts_;
    std::vector<uint32_t> touched_;
    std::vector<std::pair<uint32_t, uint32_t>> surplus_;
    std::vector<SplitSortRecord> sort_buffer_;
};

// Plain mode: one entry per neighbour, lightest first; edges is scratch and may be reordered.
void build_star(StarWorkspace& workspace, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star);

// Split mode: merged multiplicities capped at k (the excess goes to the surplus list), then
// ordered by per-copy weight.
void build_split_star(StarWorkspace& workspace, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                      std::vector<uint32_t>& multiplicities, uint32_t k);

}  // namespace vorlane

// Star construction: merging a vertex's gathered edges into one ordered entry per neighbour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "key_sort.hpp"
#include "vorlane/large_alloc.hpp"
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

// The dense merge's state of one neighbour, kept together so that a neighbour costs one
// cache line, not one per field.
struct DenseSlot {
    double sum = 0.0;
    uint32_t copies = 0;
};

// A slot of the small table that merges short stars: valid while its stamp is the current one.
struct ShortSlot {
    uint32_t stamp = 0;
    uint32_t neighbor = 0;
    uint32_t index = 0;
};

// Scratch reused by every star of one factorization. Between calls every dense slot is
// zero: a call resets exactly the slots it touched.
class StarWorkspace {
public:
    explicit StarWorkspace(uint64_t n) : n_(n) {}

    // Copies of one neighbour that the star does not carry one by one, from the last star built.
    const std::vector<std::pair<uint32_t, uint32_t>>& surplus() const { return surplus_; }

private:
    friend void build_star(StarWorkspace&, std::vector<IncidentEdge>&, std::vector<StarEntry>&);
    friend void build_split_star(StarWorkspace&, std::vector<IncidentEdge>&, std::vector<StarEntry>&,
                                 std::vector<uint32_t>&, uint32_t);
    // Merges at most kSortPathLimit edges into star entries in order of first appearance,
    // summing each neighbour's weights in gathered order; copies[i] is the number of edges
    // behind star[i]. A table of twice the edges in the first-level cache finds repeats, so
    // no sort is needed, and a stamp per call spares clearing it.
    void merge_short(const std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                     std::vector<uint32_t>& copies);
    // Merges any number of edges into star entries in order of first appearance through
    // one dense slot per vertex, summing each neighbour's weights in gathered order;
    // copies[i] is the number of copies (the summed multiplicities) behind star[i].
    void merge_dense(const std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                     std::vector<uint32_t>& copies);

    uint64_t n_;
    LargeVector<DenseSlot> slots_;
    std::vector<uint32_t> touched_;
    std::vector<std::pair<uint32_t, uint32_t>> surplus_;
    std::vector<SplitSortRecord> sort_buffer_;
    std::vector<SortKey> sort_keys_;
    static constexpr unsigned kShortTableBits = 6;
    static_assert((size_t{1} << kShortTableBits) >= 2 * kSortPathLimit);
    std::array<ShortSlot, size_t{1} << kShortTableBits> short_table_{};
    uint32_t short_stamp_ = 0;
    std::vector<uint32_t> copies_;
};

// Plain mode: one entry per neighbour, lightest first; edges is scratch and may be reordered.
void build_star(StarWorkspace& workspace, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star);

// Split mode: merged multiplicities capped at k (the excess goes to the surplus list), then
// ordered by per-copy weight.
void build_split_star(StarWorkspace& workspace, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                      std::vector<uint32_t>& multiplicities, uint32_t k);

}  // namespace vorlane

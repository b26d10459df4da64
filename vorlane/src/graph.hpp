// The weighted graph that elimination works on: mirrored adjacency lists built from a CSR matrix.
#pragma once

#include <cstdint>
#include <vector>

#include "csr.hpp"
#include "expected.hpp"
#include "records.hpp"

namespace vorlane {

// Largest absolute row excess at or above which a ground vertex is added.
inline constexpr double kAugmentThreshold = 1e-10;

template <Mode M>
struct AdjEntry;

template <>
struct AdjEntry<Mode::Plain> {
    double weight;
    uint32_t neighbour;
    uint32_t mirror;  // position of the twin entry in the neighbour's list
};

template <>
struct AdjEntry<Mode::Split> {
    double weight;  // weight of one copy
    uint32_t neighbour;
    uint32_t mirror;
    uint32_t multiplicity;  // number of equal parallel copies this entry stands for
};

template <Mode M>
class Graph {
public:
    using Entry = AdjEntry<M>;

    explicit Graph(uint64_t n);

    uint64_t size() const { return adjacency.size(); }
    bool is_eliminated(uint32_t v) const { return (eliminated[v >> 6] >> (v & 63)) & 1u; }

    // Appends the edge a-b as two mirrored entries at the ends of both lists.
    void add_edge(uint32_t a, uint32_t b, double w);
    // Replaces out with v's entries of positive weight whose neighbour is live, in list order.
    void gather(uint32_t v, std::vector<IncidentEdge>& out) const;
    // Marks v eliminated and swap-removes every twin of its entries from live neighbours' lists.
    void remove_vertex(uint32_t v);
    // Called once the bit vector is sized; build_graph uses it after augmentation.
    void reset_eliminated();

    std::vector<std::vector<Entry>> adjacency;
    std::vector<uint64_t> eliminated;
};

template <Mode M>
struct BuiltGraph {
    Graph<M> graph;
    std::vector<double> weighted_degree;
    uint64_t n;  // internal dimension
};

// Builds the graph of a validated matrix, adding the ground vertex when rows do not sum to zero.
template <Mode M>
Expected<BuiltGraph<M>, CoreError> build_graph(const CsrView& csr);

}  // namespace vorlane

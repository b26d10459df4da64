// Clique-tree sampling: a star becomes a factor column plus a sparse random sample of its clique.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph.hpp"
#include "ordering.hpp"
#include "records.hpp"
#include "sampling.hpp"

namespace vorlane {

struct EliminationColumn {
    std::vector<uint32_t> rows;
    std::vector<double> coefficients;
    std::vector<FillEdge> fill;
    double diagonal = 0.0;
};

// Plain mode; star holds at least one entry, lightest first.
void eliminate_star(std::span<const StarEntry> star, CliqueSampler& sampler, EliminationColumn& column,
                    double degree_v);

// Split mode; multiplicities are the capped copy counts parallel to the star.
void eliminate_split_star(std::span<const StarEntry> star, std::span<const uint32_t> multiplicities,
                          CliqueSampler& sampler, EliminationColumn& column, double degree_v);

// Appends the fill edges to the graph, adds their weights to weighted_degree at both ends and
// raises both ends' pending key change by one per edge. Returns false, stopping, when an
// adjacency list cannot take another edge (the factorization then fails as a whole).
bool insert_fill(std::span<const FillEdge> fill, Graph<Mode::Plain>& graph, Strided<double> weighted_degree,
                 DegreeDeltas& deltas);
bool insert_split_fill(std::span<const FillEdge> fill, Graph<Mode::Split>& graph,
                       Strided<double> weighted_degree, DegreeDeltas& deltas);

}  // namespace vorlane

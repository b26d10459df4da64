// Elimination of one star in the exact order of operations that keeps factors reproducible.
#include "elimination/clique_tree.hpp"

namespace vorlane {

namespace {

void reset(EliminationColumn& column) {
    column.rows.clear();
    column.coefficients.clear();
    column.fill.clear();
    column.diagonal = 0.0;
}

// Running sums of the star weights, left to right from 0.0; returns the last one.
double fill_prefix(std::span<const StarEntry> star, CliqueSampler& sampler) {
    sampler.prefix.clear();
    double sum = 0.0;
    for (const StarEntry& e : star) {
        sum = sum + e.weight;
        sampler.prefix.push_back(sum);
    }
    return sum;
}

template <Mode M>
bool insert(std::span<const FillEdge> fill, Graph<M>& graph, Strided<double> weighted_degree,
            DegreeDeltas& deltas) {
    for (const FillEdge& e : fill) {
        if (e.source != e.target && !graph.add_edge(e.source, e.target, e.weight)) return false;
        weighted_degree[e.source] = weighted_degree[e.source] + e.weight;
        weighted_degree[e.target] = weighted_degree[e.target] + e.weight;
        deltas.add(e.source, 1);
        deltas.add(e.target, 1);
    }
    return true;
}

}  // namespace

void eliminate_star(std::span<const StarEntry> star, CliqueSampler& sampler, EliminationColumn& column,
                    double degree_v) {
    reset(column);
    const size_t len = star.size();
    if (len == 1) {
        column.rows.push_back(star[0].neighbor);
        column.coefficients.push_back(1.0);
        column.diagonal = degree_v;
        return;
    }
    const double total = fill_prefix(star, sampler);
    double scale = 1.0;
    double deg = total;
    for (size_t j = 0; j + 1 < len; ++j) {
        const double f = (scale * star[j].weight) / deg;
        column.rows.push_back(star[j].neighbor);
        column.coefficients.push_back(f);
        sample_fill(column.fill, star[j].neighbor, 1, sampler, star, len, j + 1, deg * (f * (1.0 - f)));
        scale = scale * (1.0 - f);
        deg = (1.0 - f) * (deg * (1.0 - f));
    }
    column.rows.push_back(star[len - 1].neighbor);
    column.coefficients.push_back(1.0);
    column.diagonal = scale * star[len - 1].weight;
}

void eliminate_split_star(std::span<const StarEntry> star, std::span<const uint32_t> multiplicities,
                          CliqueSampler& sampler, EliminationColumn& column, double degree_v) {
    reset(column);
    const size_t len = star.size();
    if (len == 0) {
        column.diagonal = degree_v;
        return;
    }
    if (len == 1) {
        column.rows.push_back(star[0].neighbor);
        column.coefficients.push_back(1.0);
        column.diagonal = degree_v;
        return;
    }
    double total = 0.0;
    for (const StarEntry& e : star) total = total + e.weight;
    if (total <= sampler.negligible) {
        column.diagonal = degree_v;
        const double share = 1.0 / static_cast<double>(len);
        for (const StarEntry& e : star) {
            column.rows.push_back(e.neighbor);
            column.coefficients.push_back(share);
        }
        return;
    }
    fill_prefix(star, sampler);
    double scale = 1.0;
    double deg = total;
    double rest = total;
    for (size_t j = 0; j + 1 < len; ++j) {
        const double w = star[j].weight;
        const double f = (scale * w) / deg;
        rest = rest - w;
        const double e = (w * rest) / (total * static_cast<double>(multiplicities[j]));
        column.rows.push_back(star[j].neighbor);
        column.coefficients.push_back(f);
        sample_fill(column.fill, star[j].neighbor, multiplicities[j], sampler, star, len, j + 1, e);
        scale = scale * (1.0 - f);
        deg = (1.0 - f) * (deg * (1.0 - f));
    }
    column.rows.push_back(star[len - 1].neighbor);
    column.coefficients.push_back(1.0);
    column.diagonal = scale * star[len - 1].weight;
}

bool insert_fill(std::span<const FillEdge> fill, Graph<Mode::Plain>& graph, Strided<double> weighted_degree,
                 DegreeDeltas& deltas) {
    return insert(fill, graph, weighted_degree, deltas);
}

bool insert_split_fill(std::span<const FillEdge> fill, Graph<Mode::Split>& graph,
                       Strided<double> weighted_degree, DegreeDeltas& deltas) {
    return insert(fill, graph, weighted_degree, deltas);
}

}  // namespace vorlane

// Graph construction with ground-vertex augmentation, and the edits elimination makes to it.
#include "graph.hpp"

#include <cmath>
#include <stdexcept>

namespace vorlane {

namespace {

// Positions are stored as u32; a list that long cannot be addressed.
constexpr size_t kMaxListLength = 0xFFFFFFFFu;
// Removed lists with more reserved room than this give their storage back.
constexpr size_t kKeepCapacity = 64;

template <Mode M>
AdjEntry<M> make_entry(double w, uint32_t neighbour, uint32_t mirror) {
    if constexpr (M == Mode::Split) {
        return AdjEntry<M>{w, neighbour, mirror, 1};
    } else {
        return AdjEntry<M>{w, neighbour, mirror};
    }
}

}  // namespace

template <Mode M>
Graph<M>::Graph(uint64_t n) : adjacency(n) {}

template <Mode M>
void Graph<M>::reset_eliminated() {
    eliminated.assign((adjacency.size() + 63) / 64, 0);
}

template <Mode M>
void Graph<M>::add_edge(uint32_t a, uint32_t b, double w) {
    auto& la = adjacency[a];
    auto& lb = adjacency[b];
    if (la.size() >= kMaxListLength || lb.size() >= kMaxListLength) {
        throw std::length_error("adjacency list too long");
    }
    const auto ia = static_cast<uint32_t>(la.size());
    const auto ib = static_cast<uint32_t>(lb.size());
    la.push_back(make_entry<M>(w, b, ib));
    lb.push_back(make_entry<M>(w, a, ia));
}

template <Mode M>
void Graph<M>::gather(uint32_t v, std::vector<IncidentEdge>& out) const {
    out.clear();
    for (const Entry& e : adjacency[v]) {
        if (!(e.weight > 0.0) || is_eliminated(e.neighbour)) continue;
        if constexpr (M == Mode::Split) {
            out.push_back(IncidentEdge{e.weight * static_cast<double>(e.multiplicity), e.neighbour, e.multiplicity});
        } else {
            out.push_back(IncidentEdge{e.weight, e.neighbour, 1});
        }
    }
}

template <Mode M>
void Graph<M>::remove_vertex(uint32_t v) {
    eliminated[v >> 6] |= uint64_t{1} << (v & 63);
    auto& list = adjacency[v];
    while (!list.empty()) {
        const Entry e = list.back();
        list.pop_back();
        const uint32_t u = e.neighbour;
        if (is_eliminated(u)) continue;
        auto& lu = adjacency[u];
        const uint32_t q = e.mirror;
        const size_t last = lu.size() - 1;
        if (q != last) {
            lu[q] = lu[last];
            const Entry& moved = lu[q];
            adjacency[moved.neighbour][moved.mirror].mirror = q;
        }
        lu.pop_back();
    }
    if (list.capacity() > kKeepCapacity) {
        std::vector<Entry>().swap(list);
    }
}

template <Mode M>
Expected<BuiltGraph<M>, CoreError> build_graph(const CsrView& csr) {
    const uint32_t n = csr.n();
    Graph<M> graph(n);
    std::vector<double> weighted_degree(n, 0.0);
    std::vector<double> excess(n, 0.0);
    const auto row_ptrs = csr.row_ptrs();
    for (uint32_t i = 0; i < n; ++i) {
        graph.adjacency[i].reserve(size_t{row_ptrs[size_t{i} + 1]} - row_ptrs[i]);
    }
    for (uint32_t i = 0; i < n; ++i) {
        const auto row = csr.row(i);
        for (size_t k = 0; k < row.cols.size(); ++k) {
            const uint32_t j = row.cols[k];
            const double x = row.values[k];
            if (j == i) {
                weighted_degree[i] = weighted_degree[i] + x;
                excess[i] = excess[i] + x;
            } else if (x < 0.0) {
                excess[i] = excess[i] + x;
                if (i < j) graph.add_edge(i, j, -x);
            }
        }
    }

    double largest = 0.0;
    uint64_t nonzero_rows = 0;
    double total = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        const double e = excess[i];
        if (std::fabs(e) > largest) largest = std::fabs(e);
        if (e > 0.0 || e < 0.0) ++nonzero_rows;
        total = total + e;
    }

    uint64_t internal_n = n;
    if (!(largest < kAugmentThreshold)) {
        if (n > 4294967294u) {
            return unexpected<CoreError>(InvalidCsr{csr_error::DimensionOverflow{uint64_t{n} + 1}});
        }
        const uint32_t g = n;
        graph.adjacency.emplace_back();
        graph.adjacency.back().reserve(nonzero_rows);
        weighted_degree.push_back(total);
        for (uint32_t i = 0; i < n; ++i) {
            const double w = excess[i] > 0.0 ? excess[i] : 0.0;
            if (w > 0.0) graph.add_edge(i, g, w);
        }
        internal_n = uint64_t{n} + 1;
    }
    graph.reset_eliminated();
    return BuiltGraph<M>{std::move(graph), std::move(weighted_degree), internal_n};
}

template class Graph<Mode::Plain>;
template class Graph<Mode::Split>;
template Expected<BuiltGraph<Mode::Plain>, CoreError> build_graph<Mode::Plain>(const CsrView&);
template Expected<BuiltGraph<Mode::Split>, CoreError> build_graph<Mode::Split>(const CsrView&);

}  // namespace vorlane

// Graph construction with ground-vertex augmentation, and the edits elimination makes to it.
#include "graph.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "vorlane/internal_fault.hpp"

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

template <class Entry>
void AdjacencyLists<Entry>::lay_out(std::span<const uint64_t> capacities) {
    uint64_t total = 0;
    for (const uint64_t c : capacities) total += c;
    Entry* next = store_.chunk(total);
    for (size_t v = 0; v < count_; ++v) {
        headers_[v] = Header{next, 0, static_cast<uint32_t>(capacities[v])};
        next += capacities[v];
    }
    store_.drop_tail();
}

template <class Entry>
void AdjacencyLists<Entry>::add_list(size_t capacity) {
    if (own_headers_.size() != count_) throw InternalFault("list added after its bookkeeping was placed");
    own_headers_.emplace_back();
    headers_ = Strided<Header>(own_headers_);
    ++count_;
    if (capacity > 0) move_to_block(count_ - 1, capacity);
}

template <class Entry>
void AdjacencyLists<Entry>::place_headers(Strided<Header> to) {
    for (size_t v = 0; v < count_; ++v) to[v] = headers_[v];
    headers_ = to;
    LargeVector<Header>().swap(own_headers_);
}

template <class Entry>
void AdjacencyLists<Entry>::release(size_t v) {
    Header& h = headers_[v];
    if (h.capacity > 0) store_.give(h.data, h.capacity);
    h = Header{};
}

template <class Entry>
bool AdjacencyLists<Entry>::full(size_t v) const {
    const Header& h = headers_[v];
    return h.size == h.capacity && h.capacity >= kMaxListLength / 2;
}

template <class Entry>
void AdjacencyLists<Entry>::push_back(size_t v, const Entry& e) {
    const Header& h = headers_[v];
    if (h.size == h.capacity) {
        if (full(v)) throw InternalFault("append to a full adjacency list");
        move_to_block(v, std::bit_ceil(std::max<size_t>(4, size_t{h.capacity} * 2)));
    }
    Header& grown = headers_[v];
    grown.data[grown.size] = e;
    ++grown.size;
}

template <class Entry>
void AdjacencyLists<Entry>::reserve(size_t v, size_t capacity) {
    if (capacity > kMaxListLength) throw InternalFault("adjacency list reserved beyond its positions");
    if (capacity > headers_[v].capacity) move_to_block(v, capacity);
}

template <class Entry>
void AdjacencyLists<Entry>::move_to_block(size_t v, size_t capacity) {
    Entry* block = store_.take(capacity);
    Header& h = headers_[v];
    std::copy_n(h.data, h.size, block);
    if (h.capacity > 0) store_.give(h.data, h.capacity);
    h.data = block;
    h.capacity = static_cast<uint32_t>(capacity);
}

double threshold_scale(std::span<const double> diagonal) {
    double largest = 0.0;
    for (const double d : diagonal) {
        const double a = std::fabs(d);
        if (a > largest && std::isfinite(a)) largest = a;
    }
    if (largest == 0.0) return 1.0;
    int exponent = 0;
    std::frexp(largest, &exponent);  // largest = m * 2^exponent, m in [0.5, 1)
    return std::ldexp(1.0, exponent - 1);
}

void split_edges(Graph<Mode::Split>& graph, uint32_t k) {
    const double r = 1.0 / static_cast<double>(k);
    for (size_t v = 0; v < graph.adjacency.size(); ++v) {
        for (auto& e : graph.adjacency[v]) {
            e.multiplicity = k;
            e.weight = e.weight * r;
        }
    }
}

template <Mode M>
Graph<M>::Graph(uint64_t n) : adjacency(n) {}

template <Mode M>
void Graph<M>::reset_eliminated() {
    eliminated.assign((adjacency.size() + 63) / 64, 0);
}

template <Mode M>
bool Graph<M>::add_edge(uint32_t a, uint32_t b, double w) {
    if (adjacency.full(a) || adjacency.full(b)) return false;
    const auto la = adjacency[a];
    const auto lb = adjacency[b];
    const auto ia = static_cast<uint32_t>(la.size());
    const auto ib = static_cast<uint32_t>(lb.size());
    la.push_back(make_entry<M>(w, b, ib));
    lb.push_back(make_entry<M>(w, a, ia));
    return true;
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
    const auto list = adjacency[v];
    while (!list.empty()) {
        const Entry e = list.back();
        list.pop_back();
        const uint32_t u = e.neighbour;
        if (is_eliminated(u)) continue;
        const auto lu = adjacency[u];
        const uint32_t q = e.mirror;
        const size_t last = lu.size() - 1;
        if (q != last) {
            lu[q] = lu[last];
            const Entry& moved = lu[q];
            adjacency[moved.neighbour][moved.mirror].mirror = q;
        }
        lu.pop_back();
    }
    if (list.capacity() > kKeepCapacity) adjacency.release(v);
}

template <Mode M>
void Graph<M>::prefetch_removal(uint32_t v, int level) const {
    for (const Entry& e : adjacency[v]) {
        switch (level) {
            case 0: adjacency.prefetch_header(e.neighbour); break;
            case 1: adjacency.prefetch_entries(e.neighbour, e.mirror); break;
            case 2: adjacency.prefetch_last_twin_header(e.neighbour); break;
            default: adjacency.prefetch_last_twin(e.neighbour); break;
        }
    }
}

template <Mode M>
Expected<BuiltGraph<M>, CoreError> build_graph(const CsrView& csr) {
    const uint32_t n = csr.n();
    Graph<M> graph(n);
    std::vector<double> weighted_degree(n, 0.0);
    std::vector<double> excess(n, 0.0);
    const auto row_ptrs = csr.row_ptrs();
    {
        std::vector<uint64_t> capacities(n);
        for (uint32_t i = 0; i < n; ++i) capacities[i] = uint64_t{row_ptrs[size_t{i} + 1]} - row_ptrs[i];
        graph.adjacency.lay_out(capacities);
    }
    // Each edge is appended to the lists of both its ends; when the numbering puts them far
    // apart that is a scattered write, so the list an entry a few places ahead goes to is
    // hinted, its bookkeeping first and its end once that has arrived.
    constexpr size_t kHeaderAhead = 16;
    constexpr size_t kAppendAhead = 8;
    const auto cols = csr.col_indices();
    const auto values = csr.values();
    for (uint32_t i = 0; i < n; ++i) {
        for (size_t k = row_ptrs[i]; k < row_ptrs[size_t{i} + 1]; ++k) {
            if (k + kHeaderAhead < cols.size()) graph.adjacency.prefetch_header(cols[k + kHeaderAhead]);
            if (k + kAppendAhead < cols.size()) graph.adjacency.prefetch_append(cols[k + kAppendAhead]);
            const uint32_t j = cols[k];
            const double x = values[k];
            if (j == i) {
                weighted_degree[i] = weighted_degree[i] + x;
                excess[i] = excess[i] + x;
            } else if (x < 0.0) {
                excess[i] = excess[i] + x;
                if (i < j && !graph.add_edge(i, j, -x)) return unexpected<CoreError>(ListTooLong{});
            }
        }
    }

    const double scale = threshold_scale(weighted_degree);
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
    if (!(largest < kAugmentThreshold * scale)) {
        if (n > 4294967294u) {
            return unexpected<CoreError>(InvalidCsr{csr_error::DimensionOverflow{uint64_t{n} + 1}});
        }
        const uint32_t g = n;
        graph.adjacency.add_list(nonzero_rows);
        weighted_degree.push_back(total);
        for (uint32_t i = 0; i < n; ++i) {
            const double w = excess[i] > 0.0 ? excess[i] : 0.0;
            if (w > 0.0 && !graph.add_edge(i, g, w)) return unexpected<CoreError>(ListTooLong{});
        }
        internal_n = uint64_t{n} + 1;
    }
    graph.reset_eliminated();
    return BuiltGraph<M>{std::move(graph), std::move(weighted_degree), internal_n, scale};
}

template class AdjacencyLists<AdjEntry<Mode::Plain>>;
template class AdjacencyLists<AdjEntry<Mode::Split>>;
template class Graph<Mode::Plain>;
template class Graph<Mode::Split>;
template Expected<BuiltGraph<Mode::Plain>, CoreError> build_graph<Mode::Plain>(const CsrView&);
template Expected<BuiltGraph<Mode::Split>, CoreError> build_graph<Mode::Split>(const CsrView&);

}  // namespace vorlane

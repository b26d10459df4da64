// The weighted graph that elimination works on: mirrored adjacency lists built from a CSR matrix.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "vorlane/csr.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/large_alloc.hpp"
#include "block_store.hpp"
#include "records.hpp"
#include "saturating.hpp"
#include "strided.hpp"

namespace vorlane {

// Largest absolute row excess at or above which a ground vertex is added, for a matrix whose
// scale is 1 (see threshold_scale).
inline constexpr double kAugmentThreshold = 1e-10;

// The power of two 2^e with 2^e <= D < 2^(e+1), D the largest finite |diagonal[i]|; 1.0 when
// there is none or it is 0. Every threshold of a factorization is multiplied by it, so that a
// matrix and its multiples by powers of two are factorized alike.
double threshold_scale(std::span<const double> diagonal);

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

// Every adjacency list of a graph, in blocks of one BlockStore: a list that outgrows its block
// moves to a larger one. Compared with one heap block per vertex this spares the allocator a
// call per growth and keeps the initial lists back to back in vertex order.
template <class Entry>
class AdjacencyLists {
public:
    // One list's bookkeeping.
    struct Header {
        Entry* data = nullptr;
        uint32_t size = 0;
        uint32_t capacity = 0;
    };

    // A handle on one list with the container operations elimination needs. Pointers and
    // references into a list are invalidated by any growth of any list.
    template <bool Const>
    class Ref {
        using Owner = std::conditional_t<Const, const AdjacencyLists, AdjacencyLists>;
        using Value = std::conditional_t<Const, const Entry, Entry>;

    public:
        Ref(Owner* owner, size_t v) : owner_(owner), v_(v) {}
        size_t size() const { return header().size; }
        bool empty() const { return header().size == 0; }
        size_t capacity() const { return header().capacity; }
        Value* begin() const { return header().data; }
        Value* end() const { return begin() + size(); }
        Value& operator[](size_t i) const { return begin()[i]; }
        Value& back() const { return begin()[size() - 1]; }
        void push_back(const Entry& e) const
            requires(!Const)
        {
            owner_->push_back(v_, e);
        }
        void pop_back() const
            requires(!Const)
        {
            --owner_->headers_[v_].size;
        }
        void reserve(size_t capacity) const
            requires(!Const)
        {
            owner_->reserve(v_, capacity);
        }

    private:
        const Header& header() const { return owner_->headers_[v_]; }
        Owner* owner_;
        size_t v_;
    };

    explicit AdjacencyLists(size_t n) : own_headers_(n), headers_(own_headers_), count_(n) {}

    size_t size() const { return count_; }
    // Moves every list's bookkeeping into the given fields, which then hold it for good; no
    // list may be added after.
    void place_headers(Strided<Header> to);
    // True when list v holds as many entries as its 32-bit positions allow it to grow to.
    bool full(size_t v) const;
    Ref<false> operator[](size_t v) { return Ref<false>(this, v); }
    Ref<true> operator[](size_t v) const { return Ref<true>(this, v); }

    // Hints that list v's entries will be read soon (its first lines).
    void prefetch_list(size_t v) const {
        const Header& h = headers_[v];
        if (h.size == 0) return;
        const char* first = reinterpret_cast<const char*>(h.data);
        const char* last = reinterpret_cast<const char*>(h.data + h.size - 1);
        for (const char* p = first; p <= last && p < first + 256; p += 64) __builtin_prefetch(p);
    }
    // Hints that list v's bookkeeping, or its entries i and its last, will be needed soon.
    void prefetch_header(size_t v) const { __builtin_prefetch(&headers_[v]); }
    // Hints that an entry will be appended to list v soon.
    void prefetch_append(size_t v) const {
        const Header& h = headers_[v];
        __builtin_prefetch(h.data + h.size, 1);
    }
    void prefetch_entries(size_t v, size_t i) const {
        const Header& h = headers_[v];
        if (h.size == 0) return;
        __builtin_prefetch(h.data + i, 1);
        __builtin_prefetch(h.data + h.size - 1);
    }
    // Hints that the twin of list v's last entry, which a swap-removal from v moves, will be
    // needed soon: first its list's bookkeeping, then the twin itself.
    void prefetch_last_twin_header(size_t v) const {
        const Header& h = headers_[v];
        if (h.size != 0) __builtin_prefetch(&headers_[h.data[h.size - 1].neighbour]);
    }
    void prefetch_last_twin(size_t v) const {
        const Header& h = headers_[v];
        if (h.size == 0) return;
        const Entry& last = h.data[h.size - 1];
        __builtin_prefetch(headers_[last.neighbour].data + last.mirror, 1);
    }

    // Lays out fresh lists back to back with the given capacities, before any entry exists.
    void lay_out(std::span<const uint64_t> capacities);
    // Appends one more empty list with the given capacity.
    void add_list(size_t capacity);
    // Empties a list and gives its block back for reuse.
    void release(size_t v);

private:
    void push_back(size_t v, const Entry& e);
    void reserve(size_t v, size_t capacity);
    void move_to_block(size_t v, size_t capacity);

    LargeVector<Header> own_headers_;  // empty once the headers are placed elsewhere
    Strided<Header> headers_;
    size_t count_;
    BlockStore<Entry> store_;
};

template <Mode M>
class Graph {
public:
    using Entry = AdjEntry<M>;

    explicit Graph(uint64_t n);

    uint64_t size() const { return adjacency.size(); }
    bool is_eliminated(uint32_t v) const { return (eliminated[v >> 6] >> (v & 63)) & 1u; }

    // Appends the edge a-b as two mirrored entries at the ends of both lists. Returns false,
    // appending nothing, when either list cannot grow any more.
    bool add_edge(uint32_t a, uint32_t b, double w);
    // Replaces out with v's entries of positive weight whose neighbour is live, in list order.
    void gather(uint32_t v, std::vector<IncidentEdge>& out) const;
    // Marks v eliminated and swap-removes every twin of its entries from live neighbours' lists.
    void remove_vertex(uint32_t v);
    // Removing v reads, for each neighbour u, u's list bookkeeping (level 0), then v's twin
    // and u's last entry (1), then the bookkeeping of the list that last entry points into
    // (2), then its twin there (3). Each level's addresses are read from the level before, so
    // a caller hints one level at a time, spread over work it has to do anyway, and the
    // misses overlap with that work instead of queueing up in remove_vertex.
    void prefetch_removal(uint32_t v, int level) const;
    // Sizes the eliminated bitset to the current vertex count, every bit clear.
    void reset_eliminated();

    AdjacencyLists<Entry> adjacency;
    std::vector<uint64_t> eliminated;
};

// Every entry of every list (both twins of each edge) becomes k copies of a k-th of its weight.
void split_edges(Graph<Mode::Split>& graph, uint32_t k);

// A list's ordering key: its entries (plain mode) or the copies they stand for (split mode).
template <Mode M, class List>
uint64_t edge_copies(const List& list) {
    if constexpr (M == Mode::Split) {
        uint64_t copies = 0;
        for (const auto& e : list) copies = saturating_add<uint64_t>(copies, e.multiplicity);
        return copies;
    } else {
        return list.size();
    }
}

template <Mode M>
struct BuiltGraph {
    Graph<M> graph;
    std::vector<double> weighted_degree;
    uint64_t n;    // internal dimension
    double scale;  // threshold_scale of the input rows' diagonal
};

// Builds the graph of a validated matrix, adding the ground vertex when rows do not sum to zero.
template <Mode M>
Expected<BuiltGraph<M>, CoreError> build_graph(const CsrView& csr);

}  // namespace vorlane

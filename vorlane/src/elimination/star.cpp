// Dense and sorted merging of gathered edges, multiplicity capping and star ordering.
#include "elimination/star.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "key_sort.hpp"
#include "saturating.hpp"

namespace vorlane {

namespace {

// Orders by weight with NaN after every number, then by neighbour. Neighbours in a star are
// distinct, so this is a total order and any sorting algorithm gives the same result.
bool lighter(double wa, uint32_t na, double wb, uint32_t nb) {
    const bool a_nan = std::isnan(wa);
    const bool b_nan = std::isnan(wb);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && wa != wb) return wa < wb;
    return na < nb;
}

// Stable by neighbour, so entries to one neighbour keep their gathered order and are summed
// in that order on every platform.
void insertion_sort_by_neighbor(std::vector<IncidentEdge>& edges) {
    for (size_t i = 1; i < edges.size(); ++i) {
        const IncidentEdge e = edges[i];
        size_t j = i;
        while (j > 0 && edges[j - 1].neighbor > e.neighbor) {
            edges[j] = edges[j - 1];
            --j;
        }
        edges[j] = e;
    }
}

// lighter() for weights above 0 on integers: for positive doubles the bit patterns order
// like the values.
bool lighter_positive(const StarEntry& a, const StarEntry& b) {
    const auto wa = std::bit_cast<uint64_t>(a.weight);
    const auto wb = std::bit_cast<uint64_t>(b.weight);
    return wa < wb || (wa == wb && a.neighbor < b.neighbor);
}

bool lighter_entry(const StarEntry& a, const StarEntry& b) { return lighter(a.weight, a.neighbor, b.weight, b.neighbor); }

template <class Before>
void sort_star(std::vector<StarEntry>& star, Before before) {
    if (star.size() > kSortPathLimit) {
        std::sort(star.begin(), star.end(), before);
        return;
    }
    for (size_t i = 1; i < star.size(); ++i) {
        const StarEntry e = star[i];
        size_t j = i;
        while (j > 0 && before(e, star[j - 1])) {
            star[j] = star[j - 1];
            --j;
        }
        star[j] = e;
    }
}

// Neighbours in a star are distinct, so the star order is total and any sort gives the
// same star. Gathering lets only weights above 0 through, and for positive doubles the bit
// patterns order like the values, so the order is that of the integer (weight bits,
// neighbour), sorted as one 128-bit key.
void sort_plain_star(std::vector<StarEntry>& star, std::vector<SortKey>& keys) {
    const bool positive = std::all_of(star.begin(), star.end(), [](const StarEntry& e) { return e.weight > 0.0; });
    if (!positive) {
        sort_star(star, lighter_entry);
        return;
    }
    if (star.size() <= kSortPathLimit) {
        sort_star(star, lighter_positive);
        return;
    }
    keys.resize(star.size());
    for (size_t i = 0; i < star.size(); ++i) {
        keys[i] = (SortKey{std::bit_cast<uint64_t>(star[i].weight)} << 32) | star[i].neighbor;
    }
    sort_keys(keys.data(), keys.size());
    for (size_t i = 0; i < star.size(); ++i) {
        star[i] = StarEntry{static_cast<uint32_t>(keys[i]), std::bit_cast<double>(static_cast<uint64_t>(keys[i] >> 32))};
    }
}

}  // namespace

void StarWorkspace::merge_dense(const std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                                std::vector<uint32_t>& copies) {
    if (slots_.size() < n_) slots_.resize(n_, DenseSlot{});
    touched_.clear();
    copies.clear();
    for (const IncidentEdge& e : edges) __builtin_prefetch(&slots_[e.neighbor], 1);
    for (const IncidentEdge& e : edges) {
        DenseSlot& slot = slots_[e.neighbor];
        if (slot.copies == 0) touched_.push_back(e.neighbor);
        slot.sum = slot.sum + e.weight;
        slot.copies = saturating_add<uint32_t>(slot.copies, e.multiplicity);
    }
    for (const uint32_t u : touched_) {
        DenseSlot& slot = slots_[u];
        star.push_back(StarEntry{u, slot.sum});
        copies.push_back(slot.copies);
        slot = DenseSlot{};
    }
}

void StarWorkspace::merge_short(const std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                                std::vector<uint32_t>& copies) {
    if (++short_stamp_ == 0) {
        short_table_.fill(ShortSlot{});
        short_stamp_ = 1;
    }
    copies.clear();
    for (const IncidentEdge& e : edges) {
        uint32_t h = (e.neighbor * 0x9E3779B1u) >> (32 - kShortTableBits);
        for (;;) {
            ShortSlot& slot = short_table_[h];
            if (slot.stamp != short_stamp_) {
                slot = ShortSlot{short_stamp_, e.neighbor, static_cast<uint32_t>(star.size())};
                star.push_back(StarEntry{e.neighbor, e.weight});
                copies.push_back(1);
                break;
            }
            if (slot.neighbor == e.neighbor) {
                star[slot.index].weight = star[slot.index].weight + e.weight;
                ++copies[slot.index];
                break;
            }
            h = (h + 1) & ((1u << kShortTableBits) - 1);
        }
    }
}

void build_star(StarWorkspace& ws, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star) {
    star.clear();
    ws.surplus_.clear();
    const size_t m = edges.size();
    if (m == 0) return;
    if (m == 1) {
        star.push_back(StarEntry{edges[0].neighbor, edges[0].weight});
        return;
    }
    const bool dense = m > kSortPathLimit;
    if (dense) {
        ws.merge_dense(edges, star, ws.copies_);
    } else {
        ws.merge_short(edges, star, ws.copies_);
    }
    // Every gathered entry beyond the first to a neighbour is surplus.
    for (size_t i = 0; i < star.size(); ++i) {
        if (ws.copies_[i] > 1) ws.surplus_.emplace_back(star[i].neighbor, ws.copies_[i] - 1);
    }
    // The dense merge lists it in order of first appearance, the short one by neighbour, as
    // a merge of the edges sorted by neighbour would.
    if (!dense) std::sort(ws.surplus_.begin(), ws.surplus_.end());
    sort_plain_star(star, ws.sort_keys_);
}

void build_split_star(StarWorkspace& ws, std::vector<IncidentEdge>& edges, std::vector<StarEntry>& star,
                      std::vector<uint32_t>& multiplicities, uint32_t k) {
    star.clear();
    multiplicities.clear();
    ws.surplus_.clear();
    const size_t m = edges.size();
    if (m > kSortPathLimit) {
        ws.merge_dense(edges, star, multiplicities);
    } else if (m == 1) {
        star.push_back(StarEntry{edges[0].neighbor, edges[0].weight});
        multiplicities.push_back(edges[0].multiplicity);
    } else if (m >= 2) {
        insertion_sort_by_neighbor(edges);
        size_t i = 0;
        while (i < m) {
            const uint32_t u = edges[i].neighbor;
            double sum = edges[i].weight;
            uint32_t mult = edges[i].multiplicity;
            size_t j = i + 1;
            for (; j < m && edges[j].neighbor == u; ++j) {
                sum = sum + edges[j].weight;
                mult = saturating_add<uint32_t>(mult, edges[j].multiplicity);
            }
            star.push_back(StarEntry{u, sum});
            multiplicities.push_back(mult);
            i = j;
        }
    }

    for (size_t i = 0; i < star.size(); ++i) {
        if (multiplicities[i] > k) {
            ws.surplus_.emplace_back(star[i].neighbor, multiplicities[i] - k);
            multiplicities[i] = k;
        }
    }

    if (star.size() >= 2) {
        auto& buf = ws.sort_buffer_;
        buf.clear();
        for (size_t i = 0; i < star.size(); ++i) {
            const double w = star[i].weight;
            buf.push_back(SplitSortRecord{w, w / static_cast<double>(multiplicities[i]), star[i].neighbor,
                                          multiplicities[i]});
        }
        std::sort(buf.begin(), buf.end(), [](const SplitSortRecord& a, const SplitSortRecord& b) {
            return lighter(a.per_copy, a.neighbor, b.per_copy, b.neighbor);
        });
        for (size_t i = 0; i < buf.size(); ++i) {
            star[i] = StarEntry{buf[i].neighbor, buf[i].weight};
            multiplicities[i] = buf[i].multiplicity;
        }
    }
}

}  // namespace vorlane

#include "exact/sparse_ldl.hpp"

#include <algorithm>
#include <numeric>

#include "exact/dense_ldl.hpp"

namespace vorlane::exact {

namespace {

constexpr uint32_t kNone = UINT32_MAX;
// Steps between two asks whether to stop.
constexpr uint32_t kPollSteps = 1024;
// The rest is factored densely once its lists hold this share of a full matrix's entries.
constexpr double kDenseShare = 0.25;

// Live vertices bucketed by degree; least() is a vertex of least degree.
class DegreeQueue {
public:
    explicit DegreeQueue(uint32_t n) : head_(size_t(n) + 1, kNone), next_(n, kNone), prev_(n, kNone), degree_(n, 0) {}

    void insert(uint32_t v, uint32_t degree) {
        degree_[v] = degree;
        prev_[v] = kNone;
        next_[v] = head_[degree];
        if (next_[v] != kNone) prev_[next_[v]] = v;
        head_[degree] = v;
        least_ = std::min(least_, degree);
    }
    void remove(uint32_t v) {
        if (prev_[v] != kNone) {
            next_[prev_[v]] = next_[v];
        } else {
            head_[degree_[v]] = next_[v];
        }
        if (next_[v] != kNone) prev_[next_[v]] = prev_[v];
    }
    uint32_t least() {
        while (head_[least_] == kNone) ++least_;
        return head_[least_];
    }

private:
    std::vector<uint32_t> head_, next_, prev_, degree_;
    uint32_t least_ = 0;
};

// Every live vertex's off-diagonal entries, sorted by column, in one arena: a list that
// changes is written anew at the arena's end, and the arena is compacted once more than half
// of it is stale.
class LiveLists {
public:
    explicit LiveLists(const SymmetricLists& m)
        : cols_(m.cols), values_(m.values), start_(m.starts.begin(), m.starts.end() - 1), size_(m.n) {
        for (uint32_t v = 0; v < m.n; ++v) size_[v] = static_cast<uint32_t>(m.starts[v + 1] - m.starts[v]);
        live_ = cols_.size();
    }

    uint32_t size(uint32_t v) const { return size_[v]; }
    const uint32_t* cols(uint32_t v) const { return cols_.data() + start_[v]; }
    const double* values(uint32_t v) const { return values_.data() + start_[v]; }
    uint64_t live() const { return live_; }

    void drop(uint32_t v) {
        live_ -= size_[v];
        size_[v] = 0;
    }

    // u's list without the pivot v, less (a * w_value) * inv at every pivot neighbour w but u:
    // the Schur complement's row u. Computing each product from the same two factors keeps
    // the matrix exactly symmetric.
    void eliminate_into(uint32_t u, uint32_t v, const std::vector<uint32_t>& pivot_cols,
                        const std::vector<double>& pivot_values, double a, double inv) {
        const uint32_t old_size = size_[u];
        const uint64_t at = cols_.size();
        cols_.resize(at + old_size + pivot_cols.size());
        values_.resize(cols_.size());
        const uint32_t* oc = cols_.data() + start_[u];
        const double* ov = values_.data() + start_[u];
        uint32_t* nc = cols_.data() + at;
        double* nv = values_.data() + at;
        uint32_t i = 0, b = 0, out = 0;
        const uint32_t nb = static_cast<uint32_t>(pivot_cols.size());
        while (i < old_size || b < nb) {
            if (i < old_size && oc[i] == v) {
                ++i;
                continue;
            }
            if (b < nb && pivot_cols[b] == u) {
                ++b;
                continue;
            }
            if (b == nb || (i < old_size && oc[i] < pivot_cols[b])) {
                nc[out] = oc[i];
                nv[out++] = ov[i++];
            } else if (i == old_size || pivot_cols[b] < oc[i]) {
                nc[out] = pivot_cols[b];
                nv[out++] = 0.0 - (a * pivot_values[b]) * inv;
                ++b;
            } else {
                nc[out] = oc[i];
                nv[out++] = ov[i++] - (a * pivot_values[b]) * inv;
                ++b;
            }
        }
        cols_.resize(at + out);
        values_.resize(at + out);
        live_ = live_ - old_size + out;
        start_[u] = at;
        size_[u] = out;
    }

    void compact_if_stale() {
        if (cols_.size() <= 2 * live_ + (uint64_t(1) << 16)) return;
        spare_cols_.clear();
        spare_values_.clear();
        for (size_t v = 0; v < size_.size(); ++v) {
            const uint64_t at = spare_cols_.size();
            spare_cols_.insert(spare_cols_.end(), cols_.data() + start_[v], cols_.data() + start_[v] + size_[v]);
            spare_values_.insert(spare_values_.end(), values_.data() + start_[v], values_.data() + start_[v] + size_[v]);
            start_[v] = at;
        }
        cols_.swap(spare_cols_);
        values_.swap(spare_values_);
    }

private:
    std::vector<uint32_t> cols_, spare_cols_;
    std::vector<double> values_, spare_values_;
    std::vector<uint64_t> start_;
    std::vector<uint32_t> size_;
    uint64_t live_ = 0;
};

ExactInverseError failure(ExactInverseError::Kind kind, uint64_t vertex = 0) { return {kind, vertex}; }

// Column rows from vertices to steps, each column sorted by step.
void renumber_columns(ExactFactor& f) {
    std::vector<uint32_t> index;
    std::vector<uint32_t> rows;
    std::vector<double> values;
    for (uint32_t j = 0; j < f.tail_start; ++j) {
        const uint64_t begin = f.col_starts[j], end = f.col_starts[j + 1];
        const uint32_t s = static_cast<uint32_t>(end - begin);
        index.resize(s);
        rows.resize(s);
        values.resize(s);
        for (uint32_t p = 0; p < s; ++p) {
            rows[p] = f.step[f.col_rows[begin + p]];
            values[p] = f.col_values[begin + p];
        }
        std::iota(index.begin(), index.end(), 0u);
        std::sort(index.begin(), index.end(), [&](uint32_t x, uint32_t y) { return rows[x] < rows[y]; });
        for (uint32_t p = 0; p < s; ++p) {
            f.col_rows[begin + p] = rows[index[p]];
            f.col_values[begin + p] = values[index[p]];
        }
    }
}

}  // namespace

Expected<ExactFactor, ExactInverseError> factor_exact(const SymmetricLists& matrix, double budget, StopCheck stop) {
    using Kind = ExactInverseError::Kind;
    const uint32_t n = matrix.n;
    ExactFactor f;
    f.n = n;
    f.order.reserve(n);
    f.step.assign(n, kNone);
    f.pivots.assign(n, 0.0);
    f.col_starts.push_back(0);
    LiveLists lists(matrix);
    std::vector<double> diagonal = matrix.diagonal;
    DegreeQueue queue(n);
    for (uint32_t v = 0; v < n; ++v) queue.insert(v, lists.size(v));
    std::vector<uint32_t> pivot_cols;
    std::vector<double> pivot_values;
    uint32_t remaining = n;
    while (remaining > 0) {
        if (double(lists.live()) >= kDenseShare * double(remaining) * double(remaining)) break;
        const uint32_t v = queue.least();
        const double d = diagonal[v];
        if (!(d > 0.0)) return unexpected(failure(Kind::NotPositive, v));
        const double inv = 1.0 / d;
        const uint32_t s = lists.size(v);
        pivot_cols.assign(lists.cols(v), lists.cols(v) + s);
        pivot_values.assign(lists.values(v), lists.values(v) + s);
        queue.remove(v);
        lists.drop(v);
        f.step[v] = static_cast<uint32_t>(f.order.size());
        f.pivots[f.order.size()] = d;
        f.order.push_back(v);
        double step_work = s;
        for (uint32_t b = 0; b < s; ++b) {
            const uint32_t u = pivot_cols[b];
            const double a = pivot_values[b];
            f.col_rows.push_back(u);
            f.col_values.push_back(a * inv);
            diagonal[u] -= (a * a) * inv;
            step_work += double(lists.size(u)) + s;
            queue.remove(u);
            lists.eliminate_into(u, v, pivot_cols, pivot_values, a, inv);
            queue.insert(u, lists.size(u));
        }
        f.col_starts.push_back(f.col_rows.size());
        f.work += step_work;
        if (f.work > budget) return unexpected(failure(Kind::OverBudget));
        --remaining;
        if (f.order.size() % kPollSteps == 0 && should_stop(stop)) {
            return unexpected(failure(Kind::Interrupted));
        }
        lists.compact_if_stale();
    }

    f.tail_start = static_cast<uint32_t>(f.order.size());
    const uint32_t r = remaining;
    // The dense factorization and, later, the inverse: r^3/6 + r^3/3 multiply-adds.
    f.work += 0.5 * double(r) * double(r) * double(r);
    if (f.work > budget) return unexpected(failure(Kind::OverBudget));
    for (uint32_t v = 0; v < n; ++v) {
        if (f.step[v] != kNone) continue;
        f.step[v] = static_cast<uint32_t>(f.order.size());
        f.order.push_back(v);
    }
    f.tail.assign(size_t(r) * r, 0.0);
    for (uint32_t i = 0; i < r; ++i) {
        const uint32_t v = f.order[f.tail_start + i];
        double* row = f.tail.data() + size_t(i) * r;
        row[i] = diagonal[v];
        for (uint32_t p = 0; p < lists.size(v); ++p) row[f.step[lists.cols(v)[p]] - f.tail_start] = lists.values(v)[p];
    }
    const uint32_t bad = dense_ldl(f.tail.data(), r, f.pivots.data() + f.tail_start, stop);
    if (bad == kStopped) return unexpected(failure(Kind::Interrupted));
    if (bad < r) return unexpected(failure(Kind::NotPositive, f.order[f.tail_start + bad]));
    renumber_columns(f);
    return f;
}

void solve_exact(const ExactFactor& f, std::vector<double>& b) {
    const uint32_t t = f.tail_start, r = f.tail_size();
    const double* L = f.tail.data();
    for (uint32_t j = 0; j < t; ++j) {
        const double bj = b[j];
        for (uint64_t p = f.col_starts[j]; p < f.col_starts[j + 1]; ++p) b[f.col_rows[p]] -= f.col_values[p] * bj;
    }
    for (uint32_t i = 0; i < r; ++i) b[t + i] -= dot(L + size_t(i) * r, b.data() + t, i);
    for (uint32_t k = 0; k < f.n; ++k) b[k] /= f.pivots[k];
    for (uint32_t i = r; i-- > 0;) {
        const double xi = b[t + i];
        const double* row = L + size_t(i) * r;
        for (uint32_t k = 0; k < i; ++k) b[t + k] -= row[k] * xi;
    }
    for (uint32_t j = t; j-- > 0;) {
        double sum = 0.0;
        for (uint64_t p = f.col_starts[j]; p < f.col_starts[j + 1]; ++p) sum += f.col_values[p] * b[f.col_rows[p]];
        b[j] -= sum;
    }
}

}  // namespace vorlane::exact

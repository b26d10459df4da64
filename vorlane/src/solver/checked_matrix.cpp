// Copying, canonicalizing and checking the matrix; products, projection and factor input.
#include "vorlane/checked_matrix.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace vorlane {

namespace {

// Off-diagonal entries of A and A^T may differ by this much, relative to their size.
constexpr double kSymmetryRtol = 1e-10;
// A row whose diagonal excess is at most this fraction of its absolute sum (or the input's
// rounding, if larger) is a Laplacian row: the excess is rounding noise, not a ground.
constexpr double kExcessRtol = 1e-12;
// A row whose excess is below minus this fraction of its absolute sum (plus the input's
// rounding) is not diagonally dominant.
constexpr double kDominanceRtol = 1e-8;
// How many rows ahead the renumbered factor input fetches the places it writes to.
constexpr uint64_t kAhead = 16;
// The largest dimension whose Gremban augmentation still fits the core's 32-bit vertices.
constexpr uint64_t kMaxDimension = 0xFFFFFFFEull;

std::string number(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    std::string result(text, error == std::errc{} ? end : text);
    if (result.find_first_of(".eni") == std::string::npos) result += ".0";
    return result;
}

std::string entry(uint64_t i, uint64_t j) { return "A[" + std::to_string(i) + ", " + std::to_string(j) + "]"; }

template <class Index>
uint64_t read_index(std::span<const Index> values, uint64_t at) {
    return static_cast<uint64_t>(values[at]);
}

// Index arrays come in either width; the callable receives the one that is present.
template <class F>
auto with_indptr(const RawCsr& raw, F&& f) {
    return raw.indptr64.empty() ? f(raw.indptr32) : f(raw.indptr64);
}
template <class F>
auto with_indices(const RawCsr& raw, F&& f) {
    return raw.indices64.empty() ? f(raw.indices32) : f(raw.indices64);
}

// Union-find root with path halving.
uint32_t root(LargeVector<uint32_t>& parent, uint32_t v) {
    while (parent[v] != v) {
        parent[v] = parent[parent[v]];
        v = parent[v];
    }
    return v;
}

template <size_t FixedW>
void multiply_rows(const uint64_t* row_ptrs, const uint32_t* cols, const double* values, uint64_t begin,
                   uint64_t end, const double* __restrict x, double* __restrict y, size_t runtime_w, size_t stride,
                   double* dots) {
    const size_t w = FixedW != 0 ? FixedW : runtime_w;
    for (uint64_t i = begin; i < end; ++i) {
        double* yi = y + i * stride;
        for (size_t j = 0; j < w; ++j) yi[j] = 0.0;
        for (uint64_t t = row_ptrs[i]; t < row_ptrs[i + 1]; ++t) {
            const double v = values[t];
            const double* xc = x + size_t{cols[t]} * stride;
            for (size_t j = 0; j < w; ++j) yi[j] = yi[j] + v * xc[j];
        }
        if (dots != nullptr) {
            const double* xi = x + i * stride;
            for (size_t j = 0; j < w; ++j) dots[j] = dots[j] + xi[j] * yi[j];
        }
    }
}

}  // namespace

Expected<CheckedMatrix, std::string> CheckedMatrix::copy_from(const RawCsr& raw) {
    const uint64_t n = raw.n;
    if (n > kMaxDimension) {
        return unexpected("A is too large: dimension " + std::to_string(n) + " exceeds " +
                          std::to_string(kMaxDimension));
    }
    CheckedMatrix m;
    m.n_ = n;
    const std::string bad = "A has an invalid sparse structure: ";
    const uint64_t ptr_count = with_indptr(raw, [](auto p) { return uint64_t{p.size()}; });
    if (ptr_count != n + 1) {
        return unexpected(bad + "indptr has " + std::to_string(ptr_count) + " entries, expected " +
                          std::to_string(n + 1));
    }
    m.row_ptrs_.resize(n + 1);
    std::optional<std::string> error = with_indptr(raw, [&](auto ptr) -> std::optional<std::string> {
        for (uint64_t i = 0; i <= n; ++i) {
            if (ptr[i] < 0) return bad + "indptr[" + std::to_string(i) + "] is negative";
            m.row_ptrs_[i] = read_index(ptr, i);
            if (i > 0 && m.row_ptrs_[i] < m.row_ptrs_[i - 1]) {
                return bad + "indptr decreases at row " + std::to_string(i - 1);
            }
        }
        return std::nullopt;
    });
    if (error) return unexpected(std::move(*error));
    const uint64_t nnz = m.row_ptrs_[n];
    if (m.row_ptrs_[0] != 0) return unexpected(bad + "indptr[0] is not 0");
    const uint64_t index_count = with_indices(raw, [](auto p) { return uint64_t{p.size()}; });
    if (nnz > index_count || nnz > raw.data.size()) {
        return unexpected(bad + "indptr ends at " + std::to_string(nnz) + " but there are " +
                          std::to_string(std::min<uint64_t>(index_count, raw.data.size())) + " entries");
    }
    // The factor input adds a diagonal entry per row, and its offsets are 32-bit.
    if (nnz + n >= 0xFFFFFFFFull) return unexpected("A is too large: " + std::to_string(nnz) + " stored entries");
    m.cols_.reserve(nnz);
    // Whether every row is sorted without duplicates is noted on the way: canonical input,
    // the usual case, then needs no second pass.
    bool canonical = true;
    error = with_indices(raw, [&](auto idx) -> std::optional<std::string> {
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t end = m.row_ptrs_[i + 1];
            for (uint64_t t = m.row_ptrs_[i]; t < end; ++t) {
                const auto c = idx[t];
                if (c < 0 || static_cast<uint64_t>(c) >= n) {
                    return bad + "column index " + std::to_string(static_cast<int64_t>(c)) + " out of range";
                }
                m.cols_.push_back(static_cast<uint32_t>(c));
                canonical = canonical && (t == m.row_ptrs_[i] || m.cols_[t - 1] < m.cols_[t]);
            }
        }
        return std::nullopt;
    });
    m.canonical_ = canonical;
    if (error) return unexpected(std::move(*error));
    m.values_.assign(raw.data.begin(), raw.data.begin() + static_cast<std::ptrdiff_t>(nnz));
    return m;
}

std::optional<std::string> CheckedMatrix::refill(const RawCsr& raw) {
    const std::string differs = "A's sparsity pattern differs from that of the matrix the preconditioner was built for";
    if (raw.n != n_) {
        return "A has dimension " + std::to_string(raw.n) + ", but the preconditioner was built for dimension " +
               std::to_string(n_);
    }
    const uint64_t nnz = cols_.size();
    const bool same = with_indptr(raw, [&](auto ptr) {
        if (ptr.size() != n_ + 1) return false;
        for (uint64_t i = 0; i <= n_; ++i) {
            if (ptr[i] < 0 || static_cast<uint64_t>(ptr[i]) != row_ptrs_[i]) return false;
        }
        return true;
    }) && raw.data.size() >= nnz && with_indices(raw, [&](auto idx) {
        if (idx.size() < nnz) return false;
        for (uint64_t t = 0; t < nnz; ++t) {
            if (idx[t] < 0 || static_cast<uint64_t>(idx[t]) != cols_[t]) return false;
        }
        return true;
    });
    if (same) {
        std::copy_n(raw.data.begin(), nnz, values_.begin());
        return std::nullopt;
    }
    // Not canonical as given (or another structure): canonicalized apart, then compared.
    auto copied = copy_from(raw);
    if (!copied) return copied.error();
    if (!copied->canonical_) copied->canonicalize();
    if (!std::equal(row_ptrs_.begin(), row_ptrs_.end(), copied->row_ptrs_.begin(), copied->row_ptrs_.end()) ||
        !std::equal(cols_.begin(), cols_.end(), copied->cols_.begin(), copied->cols_.end())) {
        return differs;
    }
    values_ = std::move(copied->values_);
    return std::nullopt;
}

uint64_t CheckedMatrix::pattern_digest() const {
    // FNV-1a over the row offsets and columns.
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](uint64_t v) {
        h ^= v;
        h *= 0x100000001b3ull;
    };
    mix(n_);
    for (const uint64_t p : row_ptrs_) mix(p);
    for (const uint32_t c : cols_) mix(c);
    return h;
}

void CheckedMatrix::canonicalize() {
    const uint64_t n = n_;
    // Rows sorted by column with duplicates summed, compacted in place.
    std::vector<std::pair<uint32_t, double>> scratch;
    uint64_t write = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t begin = row_ptrs_[i];
        const uint64_t end = row_ptrs_[i + 1];
        row_ptrs_[i] = write;
        bool sorted = true;
        for (uint64_t t = begin + 1; t < end && sorted; ++t) sorted = cols_[t - 1] < cols_[t];
        if (sorted) {
            for (uint64_t t = begin; t < end; ++t, ++write) {
                cols_[write] = cols_[t];
                values_[write] = values_[t];
            }
            continue;
        }
        scratch.clear();
        for (uint64_t t = begin; t < end; ++t) scratch.emplace_back(cols_[t], values_[t]);
        std::stable_sort(scratch.begin(), scratch.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t s = 0; s < scratch.size(); ++s) {
            if (s > 0 && scratch[s].first == scratch[s - 1].first) {
                values_[write - 1] = values_[write - 1] + scratch[s].second;
            } else {
                cols_[write] = scratch[s].first;
                values_[write] = scratch[s].second;
                ++write;
            }
        }
    }
    row_ptrs_[n] = write;
    cols_.resize(write);
    values_.resize(write);
    canonical_ = true;
}

std::optional<std::string> CheckedMatrix::canonicalize_and_check(const CheckOptions& options) {
    const uint64_t n = n_;
    if (!canonical_) canonicalize();

    std::optional<std::string> asymmetric, positive, weak;
    auto note_asymmetry = [&](uint64_t i, uint64_t j, double v, double mirror) {
        if (!asymmetric && std::fabs(v - mirror) > kSymmetryRtol * (std::fabs(v) + std::fabs(mirror))) {
            asymmetric = "A is not symmetric: " + entry(i, j) + " = " + number(v) + " but " + entry(j, i) + " = " +
                         number(mirror);
        }
    };
    // Symmetry in one pass: rows are visited in order, so the mirror of the upper entry
    // (i, j) is the first entry of row j not yet matched, which cursor[j] points at. Entries
    // a cursor skips, or that remain below the diagonal when their row comes, have no mirror
    // and must be zero.
    LargeVector<uint64_t> cursor;
    if (options.values) cursor.assign(row_ptrs_.begin(), row_ptrs_.end() - 1);
    inv_diag_.assign(n, 0.0);
    excess_.assign(n, 0.0);
    grounded_.assign(n, 0);
    largest_row_ = 0.0;
    // Components by union-find over the upper entries, in the same pass (the root of each
    // set is its smallest vertex).
    LargeVector<uint32_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0u);
    for (uint64_t i = 0; i < n; ++i) {
        double diagonal = 0.0;
        double offsum = 0.0;
        const uint64_t begin = row_ptrs_[i];
        const uint64_t end = row_ptrs_[i + 1];
        if (options.values) {
            for (uint64_t t = cursor[i]; t < end && cols_[t] < i; ++t) note_asymmetry(i, cols_[t], values_[t], 0.0);
        }
        for (uint64_t t = begin; t < end; ++t) {
            const uint32_t c = cols_[t];
            const double v = values_[t];
            if (!std::isfinite(v)) return std::string("A contains non-finite values");
            if (c == i) {
                diagonal = v;
                continue;
            }
            if (v < 0) offsum = offsum + v;
            if (v > 0 && !positive) {
                positive = "A has a positive off-diagonal entry " + entry(i, c) + " = " + number(v) +
                           "; vorlane solves Laplacian and SDDM systems, whose off-diagonal entries are <= 0";
            }
            if (c > i && v != 0.0) {
                const uint32_t a = root(parent, static_cast<uint32_t>(i));
                const uint32_t b = root(parent, c);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
            if (options.values && c > i) {
                uint64_t at = cursor[c];
                const uint64_t stop = row_ptrs_[c + 1];
                for (; at < stop && cols_[at] < i; ++at) note_asymmetry(c, cols_[at], values_[at], 0.0);
                const double mirror = (at < stop && cols_[at] == i) ? values_[at++] : 0.0;
                cursor[c] = at;
                note_asymmetry(i, c, v, mirror);
            }
        }
        const double count = static_cast<double>(end - begin);
        const double excess = diagonal + offsum;
        const double scale = std::fabs(diagonal) - offsum;
        if (excess < -(kDominanceRtol + count * options.unit_roundoff) * scale && !weak) {
            weak = "A is not diagonally dominant: row " + std::to_string(i) + " has diagonal " + number(diagonal) +
                   " but its off-diagonal entries sum to " + number(offsum);
        }
        excess_[i] = excess;
        grounded_[i] = excess > std::max(kExcessRtol, count * options.unit_roundoff) * scale;
        inv_diag_[i] = diagonal > 0 ? 1.0 / diagonal : 0.0;
        largest_row_ = std::max(largest_row_, scale);
    }
    if (options.values) {
        if (asymmetric) return asymmetric;
        if (positive) return positive;
        if (weak) return weak;
    }
    find_components(parent);
    return std::nullopt;
}

void CheckedMatrix::find_components(LargeVector<uint32_t>& parent) {
    const uint64_t n = n_;
    components_ = 0;
    null_components_ = 0;
    label_.clear();
    null_weight_.clear();
    if (std::all_of(grounded_.begin(), grounded_.end(), [](uint8_t g) { return g != 0; })) return;
    label_.resize(n);
    std::vector<uint64_t> size;
    std::vector<uint8_t> has_ground;
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t r = root(parent, static_cast<uint32_t>(i));
        // Roots are the smallest vertex of their component, so they are labelled first.
        if (r == i) {
            label_[i] = static_cast<uint32_t>(size.size());
            size.push_back(0);
            has_ground.push_back(0);
        } else {
            label_[i] = label_[r];
        }
        ++size[label_[i]];
        has_ground[label_[i]] |= grounded_[i];
    }
    components_ = size.size();
    null_weight_.assign(components_, 0.0);
    for (uint64_t c = 0; c < components_; ++c) {
        if (!has_ground[c]) {
            null_weight_[c] = static_cast<double>(size[c]);
            ++null_components_;
        }
    }
    if (null_components_ == 0) {
        label_.clear();
        null_weight_.clear();
        components_ = 0;
    }
}

void CheckedMatrix::multiply(const double* x, double* y, size_t width, size_t stride, std::span<double> dots,
                             ThreadPool* pool) const {
    double* d = dots.empty() ? nullptr : dots.data();
    // x and y are always distinct blocks.
    const auto rows = [&](uint64_t begin, uint64_t end, double* sums) {
        if (width == 1) {
            multiply_rows<1>(row_ptrs_.data(), cols_.data(), values_.data(), begin, end, x, y, width, stride, sums);
        } else {
            multiply_rows<0>(row_ptrs_.data(), cols_.data(), values_.data(), begin, end, x, y, width, stride, sums);
        }
    };
    if (pool == nullptr || pool->size() == 1) return rows(0, n_, d);
    pool->run([&](unsigned worker) {
        const auto [begin, end] = pool->part(n_, worker);
        rows(begin, end, nullptr);
    });
    if (d == nullptr) return;
    for (uint64_t i = 0; i < n_; ++i) {
        const double* xi = x + i * stride;
        const double* yi = y + i * stride;
        for (size_t j = 0; j < width; ++j) d[j] = d[j] + xi[j] * yi[j];
    }
}

void CheckedMatrix::project(double* v, size_t width, size_t stride, std::span<double> sums) const {
    if (null_components_ == 0) return;
    std::fill(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(components_ * width), 0.0);
    double* s = sums.data();
    for (uint64_t i = 0; i < n_; ++i) {
        if (null_weight_[label_[i]] == 0.0) continue;
        const double* vi = v + i * stride;
        double* si = s + size_t{label_[i]} * width;
        for (size_t j = 0; j < width; ++j) si[j] = si[j] + vi[j];
    }
    for (uint64_t c = 0; c < components_; ++c) {
        if (null_weight_[c] == 0.0) continue;
        for (size_t j = 0; j < width; ++j) s[c * width + j] = s[c * width + j] / null_weight_[c];
    }
    for (uint64_t i = 0; i < n_; ++i) {
        if (null_weight_[label_[i]] == 0.0) continue;
        double* vi = v + i * stride;
        const double* mean = s + size_t{label_[i]} * width;
        for (size_t j = 0; j < width; ++j) vi[j] = vi[j] - mean[j];
    }
}

double CheckedMatrix::input_row(uint64_t i, double scale, std::span<const uint32_t> position,
                                std::vector<std::pair<uint32_t, double>>& row) const {
    row.clear();
    double offsum = 0.0;
    for (uint64_t t = row_ptrs_[i]; t < row_ptrs_[i + 1]; ++t) {
        const uint32_t c = cols_[t];
        if (c != i && values_[t] < 0) {
            offsum = offsum + values_[t];
            row.emplace_back(position.empty() ? c : position[c], values_[t] * scale);
        }
    }
    return ((grounded_[i] ? excess_[i] : 0.0) - offsum) * scale;
}

FactorInput CheckedMatrix::factor_input(std::span<const uint32_t> order) const {
    // The core's thresholds follow the matrix's scale, but its solve leaves the remainder at
    // the one uneliminated vertex unscaled, and that rounding-sized remainder would swamp the
    // solution of a matrix with very large entries: the core is given rows of about unit size.
    const double scale = factor_scale();
    FactorInput input;
    input.row_ptrs.assign(n_ + 1, 0);
    // One row's off-diagonal entries (reused, so rows allocate nothing).
    std::vector<std::pair<uint32_t, double>> row;
    if (order.empty()) {
        input.cols.reserve(cols_.size() + n_);
        input.values.reserve(cols_.size() + n_);
        for (uint64_t i = 0; i < n_; ++i) {
            const double diagonal = input_row(i, scale, {}, row);
            bool placed = false;
            for (const auto& [c, v] : row) {
                if (!placed && c > i) {
                    input.cols.push_back(static_cast<uint32_t>(i));
                    input.values.push_back(diagonal);
                    placed = true;
                }
                input.cols.push_back(c);
                input.values.push_back(v);
            }
            if (!placed) {
                input.cols.push_back(static_cast<uint32_t>(i));
                input.values.push_back(diagonal);
            }
            input.row_ptrs[i + 1] = static_cast<uint32_t>(input.cols.size());
        }
        return input;
    }
    // Renumbered: the rows are read in A's order, which streams through A's arrays, and
    // each is written to its new place, so only the writes land far apart.
    std::vector<uint32_t> position(n_);
    for (uint64_t r = 0; r < n_; ++r) position[order[r]] = static_cast<uint32_t>(r);
    for (uint64_t i = 0; i < n_; ++i) {
        uint32_t count = 1;
        for (uint64_t t = row_ptrs_[i]; t < row_ptrs_[i + 1]; ++t) count += cols_[t] != i && values_[t] < 0;
        input.row_ptrs[uint64_t{position[i]} + 1] = count;
    }
    for (uint64_t r = 0; r < n_; ++r) input.row_ptrs[r + 1] += input.row_ptrs[r];
    input.cols.resize(input.row_ptrs[n_]);
    input.values.resize(input.row_ptrs[n_]);
    for (uint64_t i = 0; i < n_; ++i) {
        // For the rows a little ahead, their offsets, their new places and their columns' new
        // numbers are fetched early, so that the misses of several rows overlap.
        if (i + 2 * kAhead < n_) __builtin_prefetch(&input.row_ptrs[position[i + 2 * kAhead]]);
        if (i + kAhead < n_) {
            const uint64_t ahead = input.row_ptrs[position[i + kAhead]];
            __builtin_prefetch(&input.cols[ahead], 1);
            __builtin_prefetch(&input.values[ahead], 1);
            for (uint64_t t = row_ptrs_[i + kAhead]; t < row_ptrs_[i + kAhead + 1]; ++t) {
                __builtin_prefetch(&position[cols_[t]]);
            }
        }
        const uint32_t r = position[i];
        const double diagonal = input_row(i, scale, position, row);
        row.emplace_back(r, diagonal);
        // Columns are distinct, so the sort has no ties.
        std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        uint64_t at = input.row_ptrs[r];
        for (const auto& [c, v] : row) {
            input.cols[at] = c;
            input.values[at] = v;
            ++at;
        }
    }
    return input;
}

}  // namespace vorlane

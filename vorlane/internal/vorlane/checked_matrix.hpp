// A symmetric SDDM or Laplacian matrix, copied into canonical CSR and checked, with what the
// iteration needs from it: products, the Jacobi diagonal, the null space and the factor input.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vorlane/expected.hpp"
#include "vorlane/large_alloc.hpp"
#include "vorlane/thread_pool.hpp"

namespace vorlane {

// The caller's CSR arrays, as read; indices of either width.
struct RawCsr {
    uint64_t n = 0;
    std::span<const int64_t> indptr64;
    std::span<const int32_t> indptr32;
    std::span<const int64_t> indices64;
    std::span<const int32_t> indices32;
    std::span<const double> data;
};

struct CheckOptions {
    // The unit roundoff of the dtype A was given in (0 for input converted exactly).
    double unit_roundoff = 0.0;
    // False skips the symmetry, sign and dominance checks (structure and finiteness stay).
    bool values = true;
};

// The factor input: the matrix's edges with each row's diagonal excess kept where it is a
// real ground and dropped where it is rounding noise, scaled so the largest row is about 1.
struct FactorInput {
    std::vector<uint32_t> row_ptrs;
    std::vector<uint32_t> cols;
    std::vector<double> values;
};

class CheckedMatrix {
public:
    // Copies the structure (first step, cheap: the caller may hold a lock meanwhile).
    static Expected<CheckedMatrix, std::string> copy_from(const RawCsr& raw);
    // Sorts rows, merges duplicates and checks the values; an error names the first fault
    // in the order: non-finite, asymmetric, positive off-diagonal, not dominant.
    std::optional<std::string> canonicalize_and_check(const CheckOptions& options);

    // Takes new values for the same stored structure (after canonicalization) as this
    // matrix's, reusing its arrays when the caller's arrays are canonical already; then
    // canonicalize_and_check() checks them. Refuses another structure, changing nothing.
    std::optional<std::string> refill(const RawCsr& raw);
    // A digest of the canonical structure: equal structures give equal digests.
    uint64_t pattern_digest() const;

    uint64_t n() const { return n_; }
    uint64_t nnz() const { return cols_.size(); }
    bool singular() const { return null_components_ > 0; }
    // True when the null space is the constant vector on all vertices.
    bool connected_laplacian() const { return components_ == 1 && null_components_ == 1; }
    std::span<const double> inverse_diagonal() const { return inv_diag_; }

    // y = A x on a row-interleaved block (element (i, j) at [i * stride + j], j < width), and
    // per column the inner product of x with y, when dots is not empty. Given a pool, its
    // threads share the rows and the inner products are summed afterwards in row order: the
    // same bits as without.
    void multiply(const double* x, double* y, size_t width, size_t stride, std::span<double> dots,
                  ThreadPool* pool = nullptr) const;

    // Removes from each column its part in the null space: the mean over every component
    // without diagonal excess. sums needs components() * width elements.
    void project(double* v, size_t width, size_t stride, std::span<double> sums) const;
    uint64_t components() const { return components_; }

    // The canonical structure: rows sorted by column, duplicates merged.
    std::span<const uint64_t> row_ptrs() const { return row_ptrs_; }
    std::span<const uint32_t> cols() const { return cols_; }

    // factor_input() is the matrix times factor_scale(): rows of about unit size. A factor
    // built from it solves with factor_scale() * A, so its solutions times factor_scale()
    // approximate those of A. Given order (order[new] = old, a permutation), the rows and
    // columns are those of the matrix renumbered by it.
    FactorInput factor_input(std::span<const uint32_t> order = {}) const;
    double factor_scale() const { return largest_row_ > 0 ? 1.0 / largest_row_ : 1.0; }

private:
    // Rows sorted by column, duplicates summed, compacted in place.
    void canonicalize();
    // Labels the components of the union-find forest parent, and which have no ground.
    void find_components(LargeVector<uint32_t>& parent);
    // Row i of the factor input without its diagonal: the scaled off-diagonal entries, with
    // columns mapped through position unless it is empty, into row. Returns the diagonal.
    double input_row(uint64_t i, double scale, std::span<const uint32_t> position,
                     std::vector<std::pair<uint32_t, double>>& row) const;

    uint64_t n_ = 0;
    bool canonical_ = false;
    // Per entry and per vertex arrays on huge pages: fresh small pages cost the copy of a large
    // matrix as much again in faults.
    LargeVector<uint64_t> row_ptrs_;
    LargeVector<uint32_t> cols_;
    LargeVector<double> values_;
    LargeVector<double> inv_diag_;
    LargeVector<double> excess_;
    LargeVector<uint8_t> grounded_;
    double largest_row_ = 0.0;
    // Per vertex, its component; per component, 1 / size when it has no ground, else 0.
    LargeVector<uint32_t> label_;
    std::vector<double> null_weight_;
    uint64_t components_ = 0;
    uint64_t null_components_ = 0;
};

}  // namespace vorlane

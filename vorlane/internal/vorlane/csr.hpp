// CSR input: the borrowed matrix view, its structural validation and the core's error kinds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "vorlane/expected.hpp"

namespace vorlane {

// One struct per way a CSR input can be malformed; fields are the numbers its message names.
namespace csr_error {
struct RowPtrsLength {
    uint64_t expected;
    uint64_t got;
};
struct LengthMismatch {
    uint64_t col_indices;
    uint64_t values;
};
struct FirstRowPtr {
    uint64_t got;
};
struct LastRowPtr {
    uint64_t last;
    uint64_t nnz;
};
struct RowPtrsDecreasing {
    uint64_t row;
    uint64_t start;
    uint64_t end;
};
struct ColumnOutOfBounds {
    uint64_t position;
    uint64_t column;
    uint64_t n;
};
struct DimensionOverflow {
    uint64_t n;
};
}  // namespace csr_error

using CsrError = std::variant<csr_error::RowPtrsLength, csr_error::LengthMismatch, csr_error::FirstRowPtr,
                              csr_error::LastRowPtr, csr_error::RowPtrsDecreasing, csr_error::ColumnOutOfBounds,
                              csr_error::DimensionOverflow>;

struct SplitMergeZero {
    uint32_t value;
};
using ConfigError = std::variant<SplitMergeZero>;

struct InvalidCsr {
    CsrError error;
};
struct InvalidConfig {
    ConfigError error;
};
// Working memory could not be obtained; the binding raises MemoryError for it.
struct OutOfMemory {};
// The factor would need 2^32 or more column entries, more than its 32-bit offsets address.
struct FactorTooLarge {};
// The caller's stop check asked the factorization to end early.
struct Interrupted {};
// A vertex would gain more edges than its adjacency list's 32-bit positions address.
struct ListTooLong {};

using CoreError = std::variant<InvalidCsr, InvalidConfig, OutOfMemory, FactorTooLarge, Interrupted, ListTooLong>;

// How a core error is reported: a fault of the input or the configuration, a lack of memory
// (the 32-bit capacity limits of the factor and the graph included), or the caller's stop.
enum class ErrorClass : uint8_t { Invalid, OutOfMemory, Interrupted };
ErrorClass classify(const CoreError& error);

std::string message(const CsrError& error);
std::string message(const ConfigError& error);
std::string message(const CoreError& error);

// A borrowed, validated CSR matrix. Owns nothing; valid while the caller's arrays are.
class CsrView {
public:
    // Validates the arrays (first violated rule only) and returns the view over them.
    static Expected<CsrView, CsrError> create(std::span<const uint32_t> row_ptrs,
                                              std::span<const uint32_t> col_indices,
                                              std::span<const double> values, uint32_t n);

    struct Row {
        std::span<const uint32_t> cols;
        std::span<const double> values;
    };
    Row row(uint32_t i) const;

    std::span<const uint32_t> row_ptrs() const { return row_ptrs_; }
    std::span<const uint32_t> col_indices() const { return col_indices_; }
    std::span<const double> values() const { return values_; }
    uint32_t n() const { return n_; }
    uint64_t nnz() const { return col_indices_.size(); }

private:
    CsrView(std::span<const uint32_t> row_ptrs, std::span<const uint32_t> col_indices,
            std::span<const double> values, uint32_t n)
        : row_ptrs_(row_ptrs), col_indices_(col_indices), values_(values), n_(n) {}

    std::span<const uint32_t> row_ptrs_;
    std::span<const uint32_t> col_indices_;
    std::span<const double> values_;
    uint32_t n_;
};

}  // namespace vorlane

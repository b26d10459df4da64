// CSR validation rules and the text of every core error.
#include "vorlane/csr.hpp"

#include <type_traits>

#include "overloaded.hpp"

namespace vorlane {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

}  // namespace

std::string message(const CsrError& error) {
    using namespace csr_error;
    return std::visit(
        Overloaded{
            [](const RowPtrsLength& e) {
                return "row_ptrs length != n + 1 (expected " + num(e.expected) + ", got " + num(e.got) + ")";
            },
            [](const LengthMismatch& e) {
                return "col_indices and values have different lengths (" + num(e.col_indices) + " != " +
                       num(e.values) + ")";
            },
            [](const FirstRowPtr& e) { return "row_ptrs[0] must be 0 (got " + num(e.got) + ")"; },
            [](const LastRowPtr& e) {
                return "row_ptrs[n] must equal nnz (" + num(e.last) + " != " + num(e.nnz) + ")";
            },
            [](const RowPtrsDecreasing& e) {
                return "row_ptrs is not non-decreasing at row " + num(e.row) + ": " + num(e.start) + " > " +
                       num(e.end);
            },
            [](const ColumnOutOfBounds& e) {
                return "column index out of bounds at position " + num(e.position) + ": " + num(e.column) +
                       " >= " + num(e.n);
            },
            [](const DimensionOverflow& e) {
                return "matrix dimension exceeds index type capacity (n=" + num(e.n) + ")";
            },
        },
        error);
}

std::string message(const ConfigError& error) {
    return std::visit(
        [](const SplitMergeZero& e) { return "split_merge must be >= 1 (got " + num(e.value) + ")"; }, error);
}

ErrorClass classify(const CoreError& error) {
    return std::visit(Overloaded{
                          [](const InvalidCsr&) { return ErrorClass::Invalid; },
                          [](const InvalidConfig&) { return ErrorClass::Invalid; },
                          [](const OutOfMemory&) { return ErrorClass::OutOfMemory; },
                          [](const FactorTooLarge&) { return ErrorClass::OutOfMemory; },
                          [](const Interrupted&) { return ErrorClass::Interrupted; },
                          [](const ListTooLong&) { return ErrorClass::OutOfMemory; },
                      },
                      error);
}

std::string message(const CoreError& error) {
    return std::visit(Overloaded{
                          [](const InvalidCsr& e) { return "invalid CSR matrix: " + message(e.error); },
                          [](const InvalidConfig& e) {
                              return "invalid factorization config: " + message(e.error);
                          },
                          [](const OutOfMemory&) { return std::string("out of memory during factorization"); },
                          [](const FactorTooLarge&) {
                              return std::string(
                                  "factor exceeds index type capacity (4294967296 or more column entries)");
                          },
                          [](const Interrupted&) { return std::string("factorization interrupted"); },
                          [](const ListTooLong&) {
                              return std::string(
                                  "graph exceeds index type capacity (a vertex with 2147483648 or more edges)");
                          },
                      },
                      error);
}

Expected<CsrView, CsrError> CsrView::create(std::span<const uint32_t> row_ptrs,
                                            std::span<const uint32_t> col_indices,
                                            std::span<const double> values, uint32_t n) {
    using namespace csr_error;
    const uint64_t expected = uint64_t{n} + 1;
    if (row_ptrs.size() != expected) {
        return unexpected<CsrError>(RowPtrsLength{expected, row_ptrs.size()});
    }
    if (col_indices.size() != values.size()) {
        return unexpected<CsrError>(LengthMismatch{col_indices.size(), values.size()});
    }
    const uint64_t nnz = col_indices.size();
    if (row_ptrs[0] != 0) {
        return unexpected<CsrError>(FirstRowPtr{row_ptrs[0]});
    }
    if (row_ptrs[n] != nnz) {
        return unexpected<CsrError>(LastRowPtr{row_ptrs[n], nnz});
    }
    for (uint64_t i = 0; i < n; ++i) {
        if (row_ptrs[i] > row_ptrs[i + 1]) {
            return unexpected<CsrError>(RowPtrsDecreasing{i, row_ptrs[i], row_ptrs[i + 1]});
        }
    }
    for (uint64_t k = 0; k < nnz; ++k) {
        if (col_indices[k] >= n) {
            return unexpected<CsrError>(ColumnOutOfBounds{k, col_indices[k], n});
        }
    }
    return CsrView(row_ptrs, col_indices, values, n);
}

CsrView::Row CsrView::row(uint32_t i) const {
    const size_t start = row_ptrs_[i];
    const size_t len = size_t{row_ptrs_[size_t{i} + 1]} - start;
    return Row{col_indices_.subspan(start, len), values_.subspan(start, len)};
}

}  // namespace vorlane

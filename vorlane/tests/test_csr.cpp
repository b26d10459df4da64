// CSR validation: every rule, its exact message, and which rule wins when several are broken.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vorlane/csr.hpp"
#include "helpers.hpp"
#include "vorlane/builder.hpp"

namespace {

using vorlane::CsrError;
using vorlane::CsrView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct CsrCase {
    std::string name;
    uint32_t n;
    std::vector<uint32_t> row_ptrs;
    std::vector<uint32_t> cols;
    std::vector<double> values;
    int variant;          // index into CsrError, -1 when the input is valid
    std::string message;  // inner message, empty when valid
};

void PrintTo(const CsrCase& c, std::ostream* os) { *os << c.name; }

enum Variant { kValid = -1, kRowPtrsLength, kLengthMismatch, kFirstRowPtr, kLastRowPtr, kDecreasing, kColumn };

std::vector<CsrCase> csr_cases() {
    const uint32_t umax = 4294967295u;
    return {
        {"empty_matrix", 0, {0}, {}, {}, kValid, ""},
        {"one_empty_row", 1, {0, 0}, {}, {}, kValid, ""},
        {"duplicate_columns_empty_row_descending_columns", 3, {0, 3, 3, 6}, {1, 1, 0, 2, 1, 0},
         {-1, -2, 3, 1, -4, 5}, kValid, ""},
        {"values_are_never_inspected", 2, {0, 2, 4}, {0, 1, 1, 0}, {kNaN, 7.5, -kInf, kInf}, kValid, ""},
        {"row_ptrs_missing_for_empty_matrix", 0, {}, {}, {}, kRowPtrsLength,
         "row_ptrs length != n + 1 (expected 1, got 0)"},
        {"row_ptrs_of_length_n_other_arrays_wrong_too", 3, {0, 1, 2}, {5, 5}, {1.0}, kRowPtrsLength,
         "row_ptrs length != n + 1 (expected 4, got 3)"},
        {"row_ptrs_too_long", 2, {0, 0, 0, 0}, {}, {}, kRowPtrsLength,
         "row_ptrs length != n + 1 (expected 3, got 4)"},
        {"largest_dimension_needs_2_pow_32_row_ptrs", umax, {0}, {}, {}, kRowPtrsLength,
         "row_ptrs length != n + 1 (expected 4294967296, got 1)"},
        {"length_mismatch_before_any_row_ptr_value", 3, {5, 1, 0, 9}, {0, 1, 2}, {1.0, 2.0}, kLengthMismatch,
         "col_indices and values have different lengths (3 != 2)"},
        {"values_longer_than_col_indices", 1, {0, 1}, {0}, {1.0, 2.0}, kLengthMismatch,
         "col_indices and values have different lengths (1 != 2)"},
        {"first_row_ptr_before_last_and_decreasing", 2, {3, 1, 5}, {0, 0, 0, 0}, {1, 1, 1, 1}, kFirstRowPtr,
         "row_ptrs[0] must be 0 (got 3)"},
        {"first_row_ptr_of_empty_matrix", 0, {2}, {0, 0}, {1, 1}, kFirstRowPtr, "row_ptrs[0] must be 0 (got 2)"},
        {"last_row_ptr_above_nnz", 2, {0, 2, 5}, {0, 1, 0, 1}, {1, 1, 1, 1}, kLastRowPtr,
         "row_ptrs[n] must equal nnz (5 != 4)"},
        {"entries_in_a_matrix_without_rows", 0, {0}, {0}, {1.0}, kLastRowPtr, "row_ptrs[n] must equal nnz (0 != 1)"},
        {"last_row_ptr_before_decreasing", 3, {0, 3, 1, 4}, {0, 0, 0, 0, 0}, {1, 1, 1, 1, 1}, kLastRowPtr,
         "row_ptrs[n] must equal nnz (4 != 5)"},
        {"decreasing_row_ptrs", 3, {0, 2, 1, 3}, {0, 1, 2}, {1, 1, 1}, kDecreasing,
         "row_ptrs is not non-decreasing at row 1: 2 > 1"},
        {"first_decreasing_row_is_reported", 5, {0, 3, 2, 4, 1, 4}, {0, 0, 0, 0}, {1, 1, 1, 1}, kDecreasing,
         "row_ptrs is not non-decreasing at row 1: 3 > 2"},
        {"decreasing_row_ptrs_before_bad_column", 3, {0, 2, 1, 3}, {0, 7, 1}, {1, 1, 1}, kDecreasing,
         "row_ptrs is not non-decreasing at row 1: 2 > 1"},
        {"column_equal_to_n_at_position_4", 3, {0, 2, 4, 5}, {0, 1, 2, 0, 3}, {1, 1, 1, 1, 1}, kColumn,
         "column index out of bounds at position 4: 3 >= 3"},
        {"first_bad_column_is_reported", 2, {0, 1, 2}, {5, 9}, {1, 1}, kColumn,
         "column index out of bounds at position 0: 5 >= 2"},
        {"largest_column_index", 2, {0, 1, 2}, {0, umax}, {1, 1}, kColumn,
         "column index out of bounds at position 1: 4294967295 >= 2"},
    };
}

class CsrValidation : public ::testing::TestWithParam<CsrCase> {};

TEST_P(CsrValidation, FirstViolatedRuleAndMessage) {
    const CsrCase& c = GetParam();
    const auto view = CsrView::create(c.row_ptrs, c.cols, c.values, c.n);
    if (c.variant == kValid) {
        ASSERT_TRUE(view.has_value()) << vorlane::message(view.error());
        // The view borrows the caller's arrays.
        EXPECT_EQ(view->row_ptrs().data(), c.row_ptrs.data());
        EXPECT_EQ(view->col_indices().data(), c.cols.data());
        EXPECT_EQ(view->values().data(), c.values.data());
        EXPECT_EQ(view->n(), c.n);
        EXPECT_EQ(view->nnz(), c.cols.size());
        return;
    }
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(static_cast<int>(view.error().index()), c.variant);
    EXPECT_EQ(vorlane::message(view.error()), c.message);
}

// The driver validates its own copies with the same rules, and a CSR error is reported
// before a zero split.
TEST_P(CsrValidation, DriverReportsTheSameErrorBeforeTheConfig) {
    const CsrCase& c = GetParam();
    for (const auto& config : {vt::plain_config(), vt::split_config(0), vt::split_config(3)}) {
        const auto result = vorlane::build_factor(c.row_ptrs, c.cols, c.values, c.n, config);
        if (c.variant == kValid) {
            if (config.split_merge == 0u) {
                ASSERT_FALSE(result.has_value());
                EXPECT_EQ(vorlane::message(result.error()),
                          "invalid factorization config: split_merge must be >= 1 (got 0)");
            } else {
                ASSERT_TRUE(result.has_value()) << vorlane::message(result.error());
                EXPECT_TRUE(vt::factor_invariants(result.value()));
            }
            continue;
        }
        ASSERT_FALSE(result.has_value()) << vt::config_name(config);
        ASSERT_TRUE(std::holds_alternative<vorlane::InvalidCsr>(result.error()));
        EXPECT_EQ(vorlane::message(result.error()), "invalid CSR matrix: " + c.message) << vt::config_name(config);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, CsrValidation, ::testing::ValuesIn(csr_cases()),
                         [](const auto& tp) { return tp.param.name; });

TEST(CsrView, RowSlicesFollowRowPtrs) {
    const std::vector<uint32_t> rp{0, 2, 2, 5};
    const std::vector<uint32_t> ci{2, 0, 1, 1, 0};
    const std::vector<double> va{1.5, -2, 3, 4, 5};
    const auto view = CsrView::create(rp, ci, va, 3);
    ASSERT_TRUE(view.has_value());
    const auto r0 = view->row(0);
    const auto r1 = view->row(1);
    const auto r2 = view->row(2);
    EXPECT_EQ(std::vector<uint32_t>(r0.cols.begin(), r0.cols.end()), (std::vector<uint32_t>{2, 0}));
    EXPECT_EQ(std::vector<double>(r0.values.begin(), r0.values.end()), (std::vector<double>{1.5, -2}));
    EXPECT_TRUE(r1.cols.empty());
    EXPECT_TRUE(r1.values.empty());
    EXPECT_EQ(std::vector<uint32_t>(r2.cols.begin(), r2.cols.end()), (std::vector<uint32_t>{1, 1, 0}));
    EXPECT_EQ(r2.values.data(), va.data() + 2);
}

struct ErrorText {
    std::string name;
    vorlane::CoreError error;
    std::string message;
};

TEST(CoreErrorMessages, WrapperAndInnerText) {
    using namespace vorlane::csr_error;
    const std::vector<ErrorText> cases{
        {"row_ptrs_length", vorlane::InvalidCsr{RowPtrsLength{11, 10}},
         "invalid CSR matrix: row_ptrs length != n + 1 (expected 11, got 10)"},
        {"first_row_ptr", vorlane::InvalidCsr{FirstRowPtr{3}}, "invalid CSR matrix: row_ptrs[0] must be 0 (got 3)"},
        {"column", vorlane::InvalidCsr{ColumnOutOfBounds{18446744073709551615ull, 7, 2}},
         "invalid CSR matrix: column index out of bounds at position 18446744073709551615: 7 >= 2"},
        {"dimension_overflow", vorlane::InvalidCsr{DimensionOverflow{4294967296ull}},
         "invalid CSR matrix: matrix dimension exceeds index type capacity (n=4294967296)"},
        {"split_merge_zero", vorlane::InvalidConfig{vorlane::SplitMergeZero{0}},
         "invalid factorization config: split_merge must be >= 1 (got 0)"},
        {"split_merge_value", vorlane::InvalidConfig{vorlane::SplitMergeZero{4294967295u}},
         "invalid factorization config: split_merge must be >= 1 (got 4294967295)"},
    };
    for (const auto& c : cases) EXPECT_EQ(vorlane::message(c.error), c.message) << c.name;

    EXPECT_EQ(vorlane::message(vorlane::ConfigError{vorlane::SplitMergeZero{0}}), "split_merge must be >= 1 (got 0)");
    EXPECT_EQ(vorlane::message(CsrError{DimensionOverflow{4294967296ull}}),
              "matrix dimension exceeds index type capacity (n=4294967296)");
    // The two extra kinds carry a readable text of their own.
    EXPECT_FALSE(vorlane::message(vorlane::CoreError{vorlane::OutOfMemory{}}).empty());
    EXPECT_FALSE(vorlane::message(vorlane::CoreError{vorlane::FactorTooLarge{}}).empty());
}

// The class decides the exception a binding raises: the capacity limits of the factor's and the
// graph's 32-bit positions are a lack of memory, not a fault of the input.
TEST(CsrErrors, ClassesSeparateInputFaultsFromMemoryAndStops) {
    using vorlane::CoreError;
    using vorlane::ErrorClass;
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::InvalidCsr{vorlane::csr_error::DimensionOverflow{1}}}), ErrorClass::Invalid);
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::InvalidConfig{vorlane::SplitMergeZero{0}}}), ErrorClass::Invalid);
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::OutOfMemory{}}), ErrorClass::OutOfMemory);
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::FactorTooLarge{}}), ErrorClass::OutOfMemory);
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::ListTooLong{}}), ErrorClass::OutOfMemory);
    EXPECT_EQ(vorlane::classify(CoreError{vorlane::Interrupted{}}), ErrorClass::Interrupted);
}

}  // namespace

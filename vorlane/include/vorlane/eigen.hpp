// vorlane as an Eigen preconditioner:
//
//   Eigen::ConjugateGradient<Eigen::SparseMatrix<double>, Eigen::Lower | Eigen::Upper,
//                            vorlane::eigen::Preconditioner> cg;
//   cg.compute(A);   // cg.info() is Eigen::InvalidInput when A is not a Laplacian or SDDM matrix
//   x = cg.solve(b);
//
// Needs Eigen 3.4. The whole matrix is read (both triangles), in either storage order.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vorlane/vorlane.hpp"

namespace vorlane::eigen {

class Preconditioner {
public:
    using Scalar = double;
    using StorageIndex = int;
    enum { ColsAtCompileTime = Eigen::Dynamic, MaxColsAtCompileTime = Eigen::Dynamic };

    Preconditioner() = default;
    explicit Preconditioner(const PreconditionerOptions& options) : options_(options) {}
    template <class MatType>
    explicit Preconditioner(const MatType& mat) {
        compute(mat);
    }

    // The pattern alone decides nothing: the factor depends on the values.
    template <class MatType>
    Preconditioner& analyzePattern(const MatType&) {
        return *this;
    }

    template <class MatType>
    Preconditioner& factorize(const MatType& mat) {
        static_assert(std::is_same_v<typename MatType::Scalar, double>, "vorlane factorizes double matrices");
        factor_.reset();
        error_.reset();
        n_ = mat.rows();
        if (mat.rows() != mat.cols()) {
            error_ = Error{ErrorKind::InvalidMatrix, "A must be square, got " + std::to_string(mat.rows()) + " x " +
                                                         std::to_string(mat.cols())};
            return *this;
        }
        if constexpr (std::is_base_of_v<Eigen::SparseCompressedBase<MatType>, MatType>) {
            if (mat.isCompressed()) {
                build(mat);
                return *this;
            }
        }
        Eigen::SparseMatrix<double, Eigen::RowMajor, typename MatType::StorageIndex> copy(mat);
        copy.makeCompressed();
        build(copy);
        return *this;
    }

    template <class MatType>
    Preconditioner& compute(const MatType& mat) {
        analyzePattern(mat);
        return factorize(mat);
    }

    // M b, M approximating A's inverse; b itself when no factor could be built.
    template <class Rhs>
    Eigen::Matrix<double, Eigen::Dynamic, Rhs::ColsAtCompileTime> solve(const Eigen::MatrixBase<Rhs>& b) const {
        Eigen::Matrix<double, Eigen::Dynamic, Rhs::ColsAtCompileTime> x = b;
        if (!factor_ || x.rows() != n_) return x;
        const auto rows = static_cast<size_t>(x.rows());
        for (Eigen::Index j = 0; j < x.cols(); ++j) {
            const std::span<double> column(x.col(j).data(), rows);
            if (factor_->apply(column, column)) return b;
        }
        return x;
    }

    Eigen::ComputationInfo info() const {
        if (!error_) return Eigen::Success;
        return error_->kind == ErrorKind::InvalidMatrix || error_->kind == ErrorKind::InvalidArgument
                   ? Eigen::InvalidInput
                   : Eigen::NumericalIssue;
    }
    // Why info() is not Success.
    const std::optional<Error>& error() const { return error_; }
    // The factor, for applies and solves of its own; empty unless info() is Success.
    const std::optional<vorlane::Preconditioner>& factor() const { return factor_; }

    Eigen::Index rows() const { return n_; }
    Eigen::Index cols() const { return n_; }

private:
    // A compressed sparse matrix's arrays as CSR. A column-major matrix's arrays are those of
    // its transpose, which is the same matrix when it is symmetric and refused like it when it
    // is not; only the refusal's message is then made again from the row-major copy, so that
    // it names the entries where they are.
    template <class Compressed>
    void build(const Compressed& mat) {
        using Index = typename Compressed::StorageIndex;
        const auto n = static_cast<uint64_t>(mat.outerSize());
        const auto nnz = static_cast<size_t>(mat.outerIndexPtr()[mat.outerSize()]);
        const std::span<const double> values(mat.valuePtr(), nnz);
        Result<vorlane::Preconditioner> built = unexpected(Error{ErrorKind::Internal, ""});
        if constexpr (std::is_same_v<Index, int32_t> || std::is_same_v<Index, int64_t>) {
            built = vorlane::Preconditioner::build(
                CsrMatrix<Index>{n, std::span<const Index>(mat.outerIndexPtr(), n + 1),
                                 std::span<const Index>(mat.innerIndexPtr(), nnz), values},
                options_);
        } else {
            const std::vector<int64_t> row_ptrs(mat.outerIndexPtr(), mat.outerIndexPtr() + n + 1);
            const std::vector<int64_t> col_indices(mat.innerIndexPtr(), mat.innerIndexPtr() + nnz);
            built = vorlane::Preconditioner::build(CsrMatrix<int64_t>{n, row_ptrs, col_indices, values}, options_);
        }
        if (built) {
            factor_.emplace(std::move(built).value());
            return;
        }
        error_ = std::move(built).error();
        if constexpr (!Compressed::IsRowMajor) {
            if (error_->kind == ErrorKind::InvalidMatrix) {
                Eigen::SparseMatrix<double, Eigen::RowMajor, Index> row_major(mat);
                row_major.makeCompressed();
                build(row_major);
            }
        }
    }

    PreconditionerOptions options_;
    std::optional<vorlane::Preconditioner> factor_;
    std::optional<Error> error_ = Error{ErrorKind::InvalidArgument, "no matrix given yet"};
    Eigen::Index n_ = 0;
};

}  // namespace vorlane::eigen

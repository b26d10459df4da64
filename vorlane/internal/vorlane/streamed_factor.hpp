// A finished factor laid out for fast applies: each column's chained fractions unrolled into
// independent multipliers, vertices numbered by the step that eliminates them.
//
// A step of the factor hands its vertex's value to its column's rows one fraction of the
// remainder at a time, so the plain solve is a chain of dependent multiplications per entry.
// Unrolled, entry t receives g * a_t with a_t = f_t * prod_{u<t} (1 - f_u) (the last entry
// the whole remainder P = prod_{u<m-1} (1 - f_u)), the vertex keeps g * P * e, and the
// backward pass is y_v = P * y_v + sum_t a_t * y_{r_t}. The two passes become a scatter and a
// gather whose entries do not wait on each other. The result equals the plain solve's up to
// rounding (a few units in the last place per column entry), not bit for bit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorlane/block_solve.hpp"
#include "vorlane/decomposition.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/large_alloc.hpp"

namespace vorlane {

// How the multipliers (and each step's diagonal) are stored: Double keeps 8 bytes each; Mixed
// stores them in single precision (4 bytes), which perturbs the preconditioner by a relative
// 6e-8 per value and keeps it symmetric (both passes read the same multipliers) and positive
// definite. Vectors are always double precision.
enum class Precision : uint8_t { Double, Mixed };

class StreamedFactor {
public:
    // Lays out a finished factor as the driver or restore_factor returns it (a column never
    // names its own vertex). The only failure is running out of memory.
    static Expected<StreamedFactor, std::string> from(const CoreFactor& factor, Precision precision);

    uint64_t n() const { return n_; }
    uint64_t original_n() const { return original_n_; }
    Precision precision() const { return precision_; }
    uint64_t nbytes() const;
    // Elements of work an apply of this block width needs (best a LargeVector, for the
    // same reason as the factor's own arrays).
    uint64_t work_size(uint64_t width) const;

    // out = scale * (the factor's solve of each column of rhs), with the contract of
    // solve_block_into: block shape, strides, rhs and out may coincide, nothing written on
    // error. Wide blocks are taken in tiles, each one pass over the factor. When dots is not
    // empty (it needs width elements), dots[j] += rhs[:, j] . out[:, j], summed in row order
    // in the pass that writes out.
    std::optional<BlockSolveError> apply(const BlockShape& shape, std::span<const double> rhs, std::span<double> out,
                                         std::span<double> work, double scale = 1.0,
                                         std::span<double> dots = {}) const;

private:
    uint64_t n_ = 0;
    uint64_t original_n_ = 0;
    Precision precision_ = Precision::Double;
    // Huge pages where the system offers them: the passes reach rows scattered over the whole
    // vector, which with small pages would miss the TLB at almost every entry.
    // position[v]: the step eliminating vertex v (the remaining vertex takes the last).
    LargeVector<uint32_t> position_;
    // Per step, its column's length; columns of 65535 entries or more are marked as such and
    // their lengths listed apart, in step order (elimination makes very few of them).
    LargeVector<uint16_t> lengths_;
    std::vector<uint32_t> long_lengths_;
    // Per entry: its row's position and multiplier; per step, what the forward pass leaves
    // at the vertex, P^2 e (P^2 when e is 0). Both in one of the two precisions.
    LargeVector<uint32_t> rows_;
    LargeVector<double> multipliers_;
    LargeVector<float> multipliers32_;
    LargeVector<double> keep_;
    LargeVector<float> keep32_;
};

}  // namespace vorlane

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
//
// Levels: a step's level is one more than the highest level among the earlier steps whose
// columns name its vertex (0 when none does). No step reads, in either pass, what another step
// of its own level writes, so a level's steps run on several threads at once. The forward
// pass then pulls instead of scattering: each position adds the products of its sources, in
// ascending step order, to its own value; those are the additions the scatter makes into it,
// in the same order, so the leveled apply gives the serial apply's result bit for bit. A
// position's g stays in its place until the backward pass scales it by its keep, so the
// leveled apply needs no more work space than the serial one.
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
#include "vorlane/thread_pool.hpp"

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
    // leveled: prepare_levels() as well.
    static Expected<StreamedFactor, std::string> from(const CoreFactor& factor, Precision precision,
                                                      bool leveled = false);

    // Lays out the levels and what leveled applies read: the columns again in level order, and
    // transposed (about twice as much memory again as the columns). Sequential orders give
    // narrow levels, so only factors built for parallel solves want them. The only failure is
    // running out of memory (or a column naming an earlier step, which no valid factor has),
    // and leaves the factor as it was.
    //
    // An apply given a pool of several threads runs the leveled passes when the levels hold on
    // average min_width positions or more. Narrower levels give each thread too little work
    // between two meetings for the threads to gain on one; the rule looks at the factor only,
    // so that the same factor takes the same path on every machine. (0 runs every factor
    // leveled, as the tests do.)
    std::optional<std::string> prepare_levels(uint64_t min_width = kMinLevelWidth);
    static constexpr uint64_t kMinLevelWidth = 64;
    bool has_levels() const { return !leveled_.level_starts.empty(); }
    // The number of levels, 0 before prepare_levels().
    uint64_t levels() const { return has_levels() ? leveled_.level_starts.size() - 1 : 0; }
    bool runs_leveled() const { return has_levels() && n_ >= leveled_.min_width * levels(); }

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
    // in the pass that writes out. Given a pool of several threads and when runs_leveled(),
    // the passes run level by level on the pool's threads, with the serial apply's result to
    // the bit (dots included); otherwise the apply is serial.
    std::optional<BlockSolveError> apply(const BlockShape& shape, std::span<const double> rhs, std::span<double> out,
                                         std::span<double> work, double scale = 1.0, std::span<double> dots = {},
                                         ThreadPool* pool = nullptr) const;

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
    // The leveled layout, empty until prepare_levels(). Its passes work on slots: the
    // positions renumbered level by level (ascending within a level), so that every level is
    // one stretch of the vector and of each array, and the threads sharing it write apart.
    // (In step order the levels of a factor in rounds interleave almost position by position.)
    struct Leveled {
        // Level k is slots [level_starts[k], level_starts[k + 1]).
        std::vector<uint64_t> level_starts;
        uint64_t min_width = kMinLevelWidth;
        // slot[v]: vertex v's slot; rank[p]: position p's slot. remaining: the remaining vertex's.
        LargeVector<uint32_t> slot;
        LargeVector<uint32_t> rank;
        uint32_t remaining = 0;
        // Per slot, its step's column (rows as slots) at [col_starts[q], col_starts[q + 1]),
        // and its keep.
        LargeVector<uint32_t> col_starts;
        LargeVector<uint32_t> rows;
        LargeVector<double> multipliers;
        LargeVector<float> multipliers32;
        LargeVector<double> keep;
        LargeVector<float> keep32;
        // Per slot, the steps whose columns name it (as slots, in ascending step order) at
        // [pull_starts[q], pull_starts[q + 1]), with those entries' multipliers.
        LargeVector<uint32_t> pull_starts;
        LargeVector<uint32_t> pull_sources;
        LargeVector<double> pull_multipliers;
        LargeVector<float> pull_multipliers32;

        uint64_t nbytes() const {
            return level_starts.size() * sizeof(uint64_t) +
                   (slot.size() + rank.size() + col_starts.size() + rows.size() + pull_starts.size() +
                    pull_sources.size()) *
                       sizeof(uint32_t) +
                   (multipliers.size() + keep.size() + pull_multipliers.size()) * sizeof(double) +
                   (multipliers32.size() + keep32.size() + pull_multipliers32.size()) * sizeof(float);
        }
    };
    Leveled leveled_;
};

}  // namespace vorlane

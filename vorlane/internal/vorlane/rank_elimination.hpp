// One factor of a matrix whose rows are spread over processes (ranks), each owning a run of
// consecutive rows.
//
// Every rank eliminates its interior (its rows whose columns it all owns, a ground vertex
// aside) alone, exactly as one part of the factorization in rounds does. What is left, the
// interface (the rows with a column on another rank, and the ground vertex), goes from every
// rank to one rank as a share, and that rank eliminates it in rounds. Together they hold the
// factor in rounds whose parts are the ranks' rows: the same steps bit for bit when the
// matrix is exactly symmetric and has no ground vertex; with one, the ground's weighted
// degree is summed rank by rank and may differ from the one-process factor's in its last bits.
//
// Moving data between ranks is the caller's: shares and the applies' messages are arrays of
// doubles (integers in them are exact), gathered to the interface's rank in rank order and,
// for the applies, sent back in the same layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/parallel_elimination.hpp"
#include "vorlane/thread_pool.hpp"

namespace vorlane {

// One rank's rows: rows first .. first + rows - 1 of an n x n matrix (rows = row_ptrs.size()
// - 1), with the whole matrix's column numbers, each row's columns ascending.
struct RankRows {
    uint64_t n = 0;
    uint64_t first = 0;
    std::span<const uint64_t> row_ptrs;
    std::span<const uint32_t> cols;
    std::span<const double> values;
};

// What every rank must know of all rows before it eliminates: each rank summarizes its rows,
// and every field is combined by its largest value over the ranks.
struct RankSummary {
    double largest_diagonal = 0.0;  // of the finite |diagonal entries|
    double largest_excess = 0.0;    // of the |row sums|
    double cut = 0.0;               // 1 when a row has a column that another rank owns
};

// Summarizes one rank's rows (which must be valid: see RankFactor::eliminate_interior).
RankSummary summarize(const RankRows& rows);

class RankFactor {
public:
    // Why the rows are malformed, if they are: row pointers that do not fit the columns, a
    // column past n, rows past n.
    static std::optional<CsrError> check(const RankRows& rows);

    // Eliminates this rank's interior; combined is every rank's summary combined. Fails
    // with InvalidCsr when the rows are malformed or name a column past n.
    static Expected<RankFactor, CoreError> eliminate_interior(const RankRows& rows, const RankSummary& combined,
                                                              const CoreConfig& config, StopCheck stop = {});

    // What this rank sends to the interface's rank.
    std::span<const double> share() const { return share_; }

    // On the interface's rank: eliminates the interface in rounds on the pool, from every
    // rank's share in rank order. Throws InternalFault when the shares do not fit together.
    std::optional<CoreError> eliminate_interface(std::span<const std::span<const double>> shares,
                                                 const RoundOptions& options, ThreadPool& pool, StopCheck stop = {});

    // The owned rows, and the length of x in the applies (a slot for the ground after them).
    uint64_t rows() const { return rows_; }
    uint64_t work_size() const { return rows_ + 1; }
    // This rank's interface vertices, and its message's length (two more values).
    uint64_t interface_size() const { return interface_.size(); }
    uint64_t message_size() const { return interface_.size() + 2; }
    // On the interface's rank, after eliminate_interface: every rank's message length.
    std::span<const uint64_t> message_sizes() const { return message_sizes_; }
    bool augmented() const { return augmented_; }

    // A solve, in three steps. forward: x[0, rows) holds this rank's right-hand side; runs the
    // interior's forward pass in x and writes this rank's message. solve_interface (on the
    // interface's rank): the messages of all ranks, in rank order, are replaced by the
    // replies. backward: completes x[0, rows) from the reply. With a ground vertex the result
    // is the solve's; without one, the solve also subtracts the mean of the whole solution,
    // which only the caller can form.
    void forward(std::span<double> x, std::span<double> message) const;
    void solve_interface(std::span<double> messages) const;
    void backward(std::span<const double> reply, std::span<double> x) const;

    // The steps of this rank's interior and, on the interface's rank, of the interface, with
    // the whole matrix's vertex numbers (the ground vertex is n).
    CoreFactor interior_steps() const;
    CoreFactor interface_steps() const;
    // The interface's rank: the interface's vertices and the rounds that eliminated them.
    uint64_t interface_total() const { return interface_vertices_.size(); }
    const RoundStats& interface_rounds() const { return rounds_; }

private:
    uint64_t n_ = 0;      // the matrix's dimension
    uint64_t first_ = 0;  // the first owned row
    uint64_t rows_ = 0;
    bool augmented_ = false;
    std::optional<uint32_t> split_;
    uint64_t seed_ = 0;
    double scale_ = 1.0;
    // The interior's steps, numbered by owned row (the ground is rows_).
    CoreFactor interior_;
    std::vector<uint32_t> interface_;  // owned rows on the interface, ascending
    std::vector<double> share_;
    // The interface's rank: its factor, numbered by position among every rank's interface
    // vertices (in rank order, ascending) with the ground last; those vertices' numbers.
    CoreFactor interface_factor_;
    std::vector<uint32_t> interface_vertices_;
    std::vector<uint64_t> message_sizes_;
    RoundStats rounds_;
};

}  // namespace vorlane

// Ranks, simulated in one process: each owns a run of rows, eliminates its interior, sends its
// share; one eliminates the interface. Together they must hold the factor in rounds whose
// parts are the ranks' rows, and their split solves must solve with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "helpers.hpp"
#include "problems.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/rank_elimination.hpp"
#include "vorlane_problems/recipes.hpp"

namespace {

using vt::Csr;

struct Ranks {
    std::vector<uint64_t> first;  // each rank's first row, and n at the end
    std::vector<std::vector<uint64_t>> row_ptrs;
    std::vector<vorlane::RankFactor> factors;
};

vorlane::RankRows rows_of(const Csr& m, const Ranks& r, size_t rank) {
    const uint32_t begin = m.row_ptrs.empty() ? 0 : m.row_ptrs[r.first[rank]];
    const uint32_t end = m.row_ptrs.empty() ? 0 : m.row_ptrs[r.first[rank + 1]];
    return {m.n, r.first[rank], r.row_ptrs[rank], std::span<const uint32_t>(m.col_indices).subspan(begin, end - begin),
            std::span<const double>(m.values).subspan(begin, end - begin)};
}

// Rows cut into `count` runs: row i on rank i * count / n.
Ranks eliminate_over(const Csr& m, size_t count, const vorlane::CoreConfig& config,
                     const vorlane::RoundOptions& options, unsigned threads = 1) {
    Ranks r;
    for (size_t k = 0; k <= count; ++k) r.first.push_back((uint64_t{m.n} * k + count - 1) / count);
    vorlane::RankSummary combined;
    for (size_t k = 0; k < count; ++k) {
        std::vector<uint64_t> ptrs;
        for (uint64_t i = r.first[k]; i <= r.first[k + 1]; ++i) {
            ptrs.push_back(m.row_ptrs.empty() ? 0 : m.row_ptrs[i] - m.row_ptrs[r.first[k]]);
        }
        r.row_ptrs.push_back(std::move(ptrs));
    }
    for (size_t k = 0; k < count; ++k) {
        const auto s = vorlane::summarize(rows_of(m, r, k));
        combined.largest_diagonal = std::max(combined.largest_diagonal, s.largest_diagonal);
        combined.largest_excess = std::max(combined.largest_excess, s.largest_excess);
        combined.cut = std::max(combined.cut, s.cut);
    }
    std::vector<std::span<const double>> shares;
    for (size_t k = 0; k < count; ++k) {
        auto f = vorlane::RankFactor::eliminate_interior(rows_of(m, r, k), combined, config);
        if (!f) throw std::runtime_error("interior failed: " + vorlane::message(f.error()));
        r.factors.push_back(std::move(f).value());
    }
    for (const auto& f : r.factors) shares.push_back(f.share());
    vorlane::ThreadPool pool(threads);
    if (auto failed = r.factors[0].eliminate_interface(shares, options, pool)) {
        throw std::runtime_error("interface failed: " + vorlane::message(*failed));
    }
    return r;
}

// The ranks' steps in the order the one-process factor takes them: interiors by rank, then
// the interface.
vorlane::CoreFactor joined(const Ranks& r) {
    vorlane::CoreFactor out;
    out.col_starts.push_back(0);
    auto append = [&](const vorlane::CoreFactor& f) {
        out.n = f.n;
        out.original_n = f.original_n;
        for (size_t s = 0; s < f.order.size(); ++s) {
            out.order.push_back(f.order[s]);
            out.inv_diag.push_back(f.inv_diag[s]);
            for (uint32_t t = f.col_starts[s]; t < f.col_starts[s + 1]; ++t) {
                out.rows.push_back(f.rows[t]);
                out.coefficients.push_back(f.coefficients[t]);
            }
            out.col_starts.push_back(static_cast<uint32_t>(out.rows.size()));
        }
    };
    for (const auto& f : r.factors) append(f.interior_steps());
    append(r.factors[0].interface_steps());
    return out;
}

vorlane::CoreFactor with_parts(const Csr& m, size_t count, const vorlane::CoreConfig& config,
                               vorlane::RoundOptions options) {
    std::vector<uint32_t> parts(m.n);
    for (uint32_t i = 0; i < m.n; ++i) parts[i] = static_cast<uint32_t>(uint64_t{i} * count / m.n);
    options.parts = parts;
    vorlane::ThreadPool pool(2);
    auto csr = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    if (!csr) throw std::runtime_error("invalid test matrix");
    auto f = vorlane::build_factor_in_rounds(*csr, config, options, pool);
    if (!f) throw std::runtime_error("rounds failed: " + vorlane::message(f.error()));
    return std::move(f).value();
}

// The ranks' split solve, the mean taken out over all ranks when there is no ground.
vt::Vec solve_over(const Ranks& r, const vt::Vec& b) {
    const size_t count = r.factors.size();
    std::vector<vt::Vec> x(count);
    vt::Vec messages;
    for (size_t k = 0; k < count; ++k) {
        const auto& f = r.factors[k];
        x[k].assign(f.work_size(), 0.0);
        std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(r.first[k]), r.first[k + 1] - r.first[k], x[k].begin());
        vt::Vec message(f.message_size());
        f.forward(x[k], message);
        messages.insert(messages.end(), message.begin(), message.end());
    }
    r.factors[0].solve_interface(messages);
    vt::Vec out;
    size_t at = 0;
    for (size_t k = 0; k < count; ++k) {
        const auto& f = r.factors[k];
        f.backward(std::span<const double>(messages).subspan(at, f.message_size()), x[k]);
        at += f.message_size();
        out.insert(out.end(), x[k].begin(), x[k].begin() + static_cast<std::ptrdiff_t>(f.rows()));
    }
    if (!r.factors[0].augmented() && !out.empty()) {
        double sum = 0.0;
        for (double v : out) sum += v;
        for (double& v : out) v -= sum / static_cast<double>(out.size());
    }
    return out;
}

class RanksOnProblems : public ::testing::TestWithParam<vt::ConfiguredProblem> {};

TEST_P(RanksOnProblems, TheRanksHoldTheFactorInRoundsWithTheirRowsAsParts) {
    const Csr m = GetParam().problem.build();
    vorlane::RoundOptions options;
    options.round_size = 5;
    for (size_t count : {1u, 2u, 3u, 7u}) {
        const Ranks ranks = eliminate_over(m, count, GetParam().config, options);
        const vorlane::CoreFactor one = with_parts(m, count, GetParam().config, options);
        const vorlane::CoreFactor spread = joined(ranks);
        // With a ground vertex the ground's weighted degree is summed rank by rank.
        if (GetParam().problem.laplacian) {
            EXPECT_TRUE(vt::identical(one, spread)) << count << " ranks";
        } else {
            EXPECT_EQ(one.order, spread.order) << count << " ranks";
            EXPECT_EQ(one.rows, spread.rows) << count << " ranks";
        }
        uint64_t interface = 0;
        for (const auto& f : ranks.factors) interface += f.interface_size();
        EXPECT_EQ(ranks.factors[0].interface_total(), interface);

        const vt::Vec b = vt::zero_mean(vt::random_vector(m.n, 7));
        const vt::Vec expected = vt::solve_original(one, b);
        const vt::Vec got = solve_over(ranks, b);
        ASSERT_EQ(expected.size(), got.size());
        double scale = 0.0;
        for (double v : expected) scale = std::max(scale, std::fabs(v));
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_NEAR(got[i], expected[i], 1e-12 * std::max(scale, 1.0)) << count << " ranks, entry " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, RanksOnProblems, ::testing::ValuesIn(vt::configured_problems(5)));

// The interface's rounds run on threads without changing the factor.
TEST(RankElimination, InterfaceThreadsDoNotChangeTheFactor) {
    const Csr m = vorlane_problems::recipes::power_law(2000, 6.0, 3);
    const auto one = joined(eliminate_over(m, 4, vt::plain_config(9), {}, 1));
    const auto three = joined(eliminate_over(m, 4, vt::plain_config(9), {}, 3));
    EXPECT_TRUE(vt::identical(one, three));
}

TEST(RankElimination, MalformedRowsAreErrorsAndForeignSharesFaults) {
    const Csr m = vt::grid2d(6, 6, 2);
    Ranks ranks = eliminate_over(m, 2, vt::plain_config(1), {});
    std::vector<uint64_t> ptrs = ranks.row_ptrs[0];
    auto rows = rows_of(m, ranks, 0);
    std::vector<uint32_t> cols(rows.cols.begin(), rows.cols.end());
    cols[3] = 99;
    rows.cols = cols;
    auto bad = vorlane::RankFactor::eliminate_interior(rows, {}, vt::plain_config(1));
    ASSERT_FALSE(bad.has_value());
    EXPECT_TRUE(std::holds_alternative<vorlane::InvalidCsr>(bad.error()));

    // A share from another seed's factorization of a larger matrix does not fit.
    const Csr other = vt::grid2d(7, 7, 2);
    Ranks foreign = eliminate_over(other, 2, vt::plain_config(1), {});
    std::vector<std::span<const double>> shares{ranks.factors[0].share(), foreign.factors[1].share()};
    vorlane::ThreadPool pool(1);
    EXPECT_THROW((void)ranks.factors[0].eliminate_interface(shares, {}, pool), vorlane::InternalFault);
    std::vector<double> cut(ranks.factors[1].share().begin(), ranks.factors[1].share().end() - 1);
    shares = {ranks.factors[0].share(), cut};
    EXPECT_THROW((void)ranks.factors[0].eliminate_interface(shares, {}, pool), vorlane::InternalFault);
}

}  // namespace

// Core benchmark: factorization and solve cost on SDDM grids of growing size, a grid numbered
// in random order, a power-law graph and an expander.
//
// Each problem runs in a forked child so that the reported peak memory is its own.
// With --rounds T the factorization runs in rounds on T threads, and the table adds the
// rounds, their mean width and the share of the rounds' time spent in their serial parts.
// Usage: vorlane_core_bench [--quick] [--split K] [--only SUBSTRING] [--rounds T]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vorlane_problems/recipes.hpp"
#include "vorlane/builder.hpp"
#include "vorlane/parallel_elimination.hpp"

namespace {

namespace bench = vorlane_problems::recipes;

using bench::Csr;

void matvec(const Csr& a, const std::vector<double>& x, std::vector<double>& y) {
    for (uint32_t i = 0; i < a.n; ++i) {
        double s = 0.0;
        for (uint32_t k = a.row_ptrs[i]; k < a.row_ptrs[i + 1]; ++k) s += a.values[k] * x[a.col_indices[k]];
        y[i] = s;
    }
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// Preconditioned CG to a relative residual of 1e-8; returns iterations and solve seconds spent.
std::pair<int, double> pcg(const Csr& a, const vorlane::CoreFactor& f, const std::vector<double>& b) {
    const size_t n = a.n;
    std::vector<double> x(n, 0.0), r = b, z(f.n), p(n), q(n);
    double solve_seconds = 0.0;
    auto precondition = [&] {
        const auto t0 = std::chrono::steady_clock::now();
        vorlane::solve_into_buffer(f, r, z);
        solve_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    precondition();
    std::copy(z.begin(), z.begin() + static_cast<long>(n), p.begin());
    double rz = 0.0;
    for (size_t i = 0; i < n; ++i) rz += r[i] * z[i];
    const double bnorm = std::sqrt(dot(b, b));
    for (int it = 1; it <= 500; ++it) {
        matvec(a, p, q);
        const double alpha = rz / dot(p, q);
        for (size_t i = 0; i < n; ++i) {
            x[i] += alpha * p[i];
            r[i] -= alpha * q[i];
        }
        if (std::sqrt(dot(r, r)) <= 1e-8 * bnorm) return {it, solve_seconds / it};
        precondition();
        double rz_new = 0.0;
        for (size_t i = 0; i < n; ++i) rz_new += r[i] * z[i];
        const double beta = rz_new / rz;
        rz = rz_new;
        for (size_t i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
    }
    return {-1, solve_seconds / 500};
}

void run_problem(const std::string& name, const std::function<Csr()>& make, std::optional<uint32_t> split,
                 unsigned rounds_threads) {
    const Csr a = make();
    const vorlane::CoreConfig config{split, 1};
    vorlane::RoundStats stats;
    const auto t0 = std::chrono::steady_clock::now();
    auto result = [&] {
        if (rounds_threads == 0) return vorlane::build_factor(a.row_ptrs, a.col_indices, a.values, a.n, config);
        vorlane::ThreadPool pool(rounds_threads);
        auto csr = vorlane::CsrView::create(a.row_ptrs, a.col_indices, a.values, a.n);
        return vorlane::build_factor_in_rounds(*csr, config, {}, pool, {}, &stats);
    }();
    const double factor_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!result) {
        std::printf("| %-15s | %9u | error: %s |\n", name.c_str(), a.n, vorlane::message(result.error()).c_str());
        return;
    }
    const vorlane::CoreFactor& f = *result;
    std::vector<double> b(a.n);
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    double mean = 0.0;
    for (auto& v : b) mean += (v = normal(rng));
    mean /= a.n;
    for (auto& v : b) v -= mean;
    const auto [iters, solve_seconds] = pcg(a, f, b);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double nnz = static_cast<double>(a.col_indices.size());
    std::printf("| %-15s | %9u | %9.0f | %8.3f | %10.1f | %8.2f | %8.4f | %5d | %8.1f |", name.c_str(), a.n, nnz,
                factor_seconds, factor_seconds / nnz * 1e9, static_cast<double>(f.rows.size()) / nnz,
                solve_seconds, iters, static_cast<double>(usage.ru_maxrss) / 1024.0);
    if (rounds_threads != 0) {
        const size_t rounds = stats.round_starts.size() - 1;
        std::printf(" %7zu | %7.0f | %6.3f |", rounds, static_cast<double>(f.n_steps()) / static_cast<double>(rounds),
                    stats.serial_seconds / (stats.serial_seconds + stats.parallel_seconds));
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::optional<uint32_t> split;
    std::string only;
    unsigned rounds_threads = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--split") == 0 && i + 1 < argc) split = static_cast<uint32_t>(std::stoul(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds_threads = static_cast<unsigned>(std::stoul(argv[++i]));
    }
    struct Problem {
        std::string name;
        std::function<Csr()> make;
    };
    using bench::GridWeights;
    auto grid = [](std::vector<uint32_t> dims) {
        return [dims] { return bench::grid(dims, GridWeights::Unit, true, 42); };
    };
    auto shuffled = [](uint32_t side) {
        return [side] { return bench::renumbered(bench::grid({side, side}, GridWeights::Unit, true, 42), 5); };
    };
    std::vector<Problem> problems = {
        {"grid2d 100^2", grid({100, 100})},
        {"grid2d 316^2", grid({316, 316})},
        {"grid3d 22^3", grid({22, 22, 22})},
        {"grid3d 46^3", grid({46, 46, 46})},
        {"shuffled 316^2", shuffled(316)},
        {"powerlaw 1e4", [] { return bench::power_law(10000, 10.0, 3); }},
        {"powerlaw 1e5", [] { return bench::power_law(100000, 10.0, 3); }},
        {"expander 1e5", [] { return bench::expander(100000, 4); }},
    };
    if (!quick) {
        problems.push_back({"grid2d 1000^2", grid({1000, 1000})});
        problems.push_back({"grid3d 100^3", grid({100, 100, 100})});
        problems.push_back({"shuffled 1000^2", shuffled(1000)});
        problems.push_back({"powerlaw 1e6", [] { return bench::power_law(1000000, 10.0, 3); }});
        problems.push_back({"expander 1e6", [] { return bench::expander(1000000, 4); }});
    }
    std::printf("mode: %s; grids have unit weights and a grounded boundary\n\n",
                split ? ("split k=" + std::to_string(*split)).c_str() : "plain");
    if (rounds_threads != 0) std::printf("order: rounds on %u threads\n\n", rounds_threads);
    std::printf("| problem         |         n |       nnz | factor s | ns per nnz | fill/nnz | solve s | iters | peak MiB |%s\n",
                rounds_threads != 0 ? "  rounds |   width | serial |" : "");
    std::printf("|-----------------|-----------|-----------|----------|------------|----------|---------|-------|----------|%s\n",
                rounds_threads != 0 ? "---------|---------|--------|" : "");
    std::fflush(stdout);
    for (const Problem& p : problems) {
        if (p.name.find(only) == std::string::npos) continue;
        const pid_t pid = fork();
        if (pid == 0) {
            run_problem(p.name, p.make, split, rounds_threads);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return 0;
}

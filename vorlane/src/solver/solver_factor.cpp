// Factorizing a checked matrix in its chosen numbering, mapping the factor back to A's vertex
// numbers, laying it out for its applies, and checking a renumbering from outside.
#include "vorlane/solver_factor.hpp"

#include <utility>

namespace vorlane {

void name_in_original_numbering(CoreFactor& f, std::span<const uint32_t> old_of) {
    const uint64_t n = old_of.size();
    for (uint32_t& v : f.order) v = v < n ? old_of[v] : v;
    for (uint32_t& v : f.rows) v = v < n ? old_of[v] : v;
}

Expected<SolverFactor, std::string> make_solver_factor(CoreFactor&& factor, std::vector<uint32_t>&& renumbering,
                                                       Precision precision, bool leveled) {
    SolverFactor result{std::move(factor), std::move(renumbering), {}};
    CoreFactor& f = result.core;
    std::vector<uint32_t>().swap(f.position);
    std::vector<uint32_t>().swap(f.position_rows);
    std::vector<double>().swap(f.scratch.buffer);
    auto streamed = StreamedFactor::from(f, precision, leveled);
    if (!streamed) return unexpected(streamed.error());
    result.streamed = std::move(streamed).value();
    return result;
}

std::optional<std::string> check_renumbering(std::span<const uint32_t> order, uint64_t n) {
    if (order.size() != n) {
        return "renumbering must hold " + std::to_string(n) + " elements, got " + std::to_string(order.size());
    }
    std::vector<uint8_t> seen(n, 0);
    for (uint64_t r = 0; r < n; ++r) {
        const uint32_t v = order[r];
        if (v >= n) return "renumbering[" + std::to_string(r) + "] = " + std::to_string(v) + " is out of range";
        if (seen[v]) return "renumbering names vertex " + std::to_string(v) + " twice";
        seen[v] = 1;
    }
    return std::nullopt;
}

namespace {

// The partition follows the vertices into the numbering the factor is built in.
Expected<CoreFactor, CoreError> factorize_in_rounds(const FactorInput& input, uint32_t n, const CoreConfig& config,
                                                    const FactorSettings& settings,
                                                    std::span<const uint32_t> old_of, StopCheck stop) {
    auto csr = CsrView::create(input.row_ptrs, input.cols, input.values, n);
    if (!csr) return unexpected<CoreError>(InvalidCsr{csr.error()});
    std::vector<uint32_t> parts;
    if (!settings.parts.empty()) {
        parts.resize(n);
        for (uint32_t v = 0; v < n; ++v) parts[v] = settings.parts[old_of.empty() ? v : old_of[v]];
    }
    RoundOptions options = settings.rounds;
    options.parts = parts;
    ThreadPool pool(settings.threads);
    return build_factor_in_rounds(*csr, config, options, pool, stop);
}

}  // namespace

std::optional<std::string> check_parts(std::span<const uint32_t> parts, uint64_t n) {
    if (parts.size() != n) {
        return "parts must hold " + std::to_string(n) + " elements, got " + std::to_string(parts.size());
    }
    for (uint64_t v = 0; v < n; ++v) {
        if (parts[v] >= n) {
            return "parts[" + std::to_string(v) + "] = " + std::to_string(parts[v]) + " is not below " + std::to_string(n);
        }
    }
    return std::nullopt;
}

Expected<SolverFactor, FactorizeError> factorize(const CheckedMatrix& matrix, const FactorSettings& settings,
                                                 StopCheck stop) {
    if (!settings.parts.empty()) {
        if (auto wrong = check_parts(settings.parts, matrix.n())) {
            return unexpected(FactorizeError{ErrorClass::Invalid, std::move(*wrong)});
        }
    }
    std::vector<uint32_t> renumbering = choose_renumbering(matrix, settings.renumber);
    const FactorInput input = matrix.factor_input(renumbering);
    CoreConfig config;
    config.seed = settings.seed;
    config.split_merge = settings.split;
    auto built = settings.order == Order::Rounds
                     ? factorize_in_rounds(input, static_cast<uint32_t>(matrix.n()), config, settings, renumbering, stop)
                     : build_factor(input.row_ptrs, input.cols, input.values, static_cast<uint32_t>(matrix.n()),
                                    config, stop);
    if (!built) return unexpected(FactorizeError{classify(built.error()), message(built.error())});
    name_in_original_numbering(built.value(), renumbering);
    auto factor = make_solver_factor(std::move(built).value(), std::move(renumbering), settings.precision,
                                     settings.order == Order::Rounds);
    if (!factor) return unexpected(FactorizeError{ErrorClass::OutOfMemory, factor.error()});
    return std::move(factor).value();
}

}  // namespace vorlane

// Sturm-sequence bisection on the Lanczos matrix, and the switch decision.
#include "vorlane/adaptive_start.hpp"

#include <algorithm>
#include <cmath>

namespace vorlane {

namespace {

// Coefficients past this many add nothing the decision needs.
constexpr size_t kMaxSteps = 200;

// Doubling the steps multiplies the condition estimate of a grid's Jacobi-preconditioned
// Laplacian by 3.5 to 5, of a power-law graph's or an expander's by at most 2.1 (from 6 to 12
// steps; 1.5 from 12 to 24).
constexpr double kGrowing = 2.75;

// Costs in single-column Jacobi iterations: a factorization costs 40 to 280 of them (grids
// cheapest, power-law graphs dearest), a factor-preconditioned iteration 2 to 6, and the factor
// removes 0.4 to 0.5 of the residual per iteration. Only settled spectra reach the comparison,
// and their Jacobi counts stay far from the break-even point, so middle values serve.
constexpr double kFactorCost = 120.0;
constexpr double kFactorIterationCost = 3.0;
constexpr double kFactorRate = 0.6;

// Eigenvalues of the symmetric tridiagonal (d, e) below x.
size_t count_below(const std::vector<double>& d, const std::vector<double>& e, double x) {
    size_t count = 0;
    double q = 1.0;
    for (size_t i = 0; i < d.size(); ++i) {
        const double off = i == 0 ? 0.0 : e[i - 1] * e[i - 1];
        q = d[i] - x - (i == 0 ? 0.0 : off / q);
        if (q == 0.0) q = -1e-300;
        if (q < 0) ++count;
    }
    return count;
}

double bisect(const std::vector<double>& d, const std::vector<double>& e, double low, double high, size_t rank) {
    for (int it = 0; it < 100 && high - low > 1e-12 * std::max(std::fabs(low), std::fabs(high)); ++it) {
        const double mid = 0.5 * (low + high);
        if (count_below(d, e, mid) > rank) {
            high = mid;
        } else {
            low = mid;
        }
    }
    return 0.5 * (low + high);
}

}  // namespace

void LanczosRecord::add_alpha(double alpha) {
    if (!stopped_ && alphas_.size() < kMaxSteps) alphas_.push_back(alpha);
}

void LanczosRecord::add_beta(double beta) {
    if (!stopped_ && betas_.size() < kMaxSteps && betas_.size() < alphas_.size()) betas_.push_back(beta);
}

double LanczosRecord::condition(size_t steps) const {
    const size_t m = std::min({steps, alphas_.size(), betas_.size() + 1});
    if (m < 3) return 0.0;
    std::vector<double> d(m), e(m - 1);
    for (size_t i = 0; i < m; ++i) {
        d[i] = 1.0 / alphas_[i] + (i == 0 ? 0.0 : betas_[i - 1] / alphas_[i - 1]);
        if (i + 1 < m) e[i] = std::sqrt(betas_[i]) / alphas_[i];
    }
    double low = d[0], high = d[0];
    for (size_t i = 0; i < m; ++i) {
        const double radius = (i > 0 ? std::fabs(e[i - 1]) : 0.0) + (i + 1 < m ? std::fabs(e[i]) : 0.0);
        low = std::min(low, d[i] - radius);
        high = std::max(high, d[i] + radius);
    }
    if (!std::isfinite(low) || !std::isfinite(high)) return 0.0;
    // The second smallest: one small outlier (a single ground on a large graph) costs CG a
    // few iterations, not a factor sqrt(kappa); the rest of the spectrum sets the pace.
    const double smallest = bisect(d, e, low, high, 1);
    const double largest = bisect(d, e, low, high, m - 1);
    return smallest > 0 && largest > smallest ? largest / smallest : 0.0;
}

bool should_switch(const LanczosRecord& record, const SwitchInputs& inputs) {
    const size_t steps = record.steps();
    const double now = record.condition(steps);
    const double before = record.condition(steps / 2);
    if (now == 0.0) return false;
    if (before > 0.0 && now >= kGrowing * before) return true;
    // CG's iteration count for condition number kappa, plus a few for an outlier below.
    const double reduction = std::max(inputs.remaining_reduction, 1.0);
    const double width = std::max(inputs.width, 1.0);
    const double jacobi = (0.5 * std::sqrt(now) * std::log(2.0 * reduction) + 3.0) * width;
    const double factor_iterations = std::log(reduction) / -std::log(kFactorRate) + 2.0;
    const double factor = kFactorCost + factor_iterations * kFactorIterationCost * width;
    return jacobi > factor;
}

}  // namespace vorlane

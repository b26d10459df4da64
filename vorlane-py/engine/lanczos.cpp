// Sturm-sequence bisection on the Lanczos matrix, and the predicted costs of both paths.
#include "lanczos.hpp"

#include <algorithm>
#include <cmath>

namespace vorlane_engine {

namespace {

// Coefficients past this many add nothing the decision needs.
constexpr size_t kMaxSteps = 200;

// Measured constants (9e4-vertex grounded 2D and 3D grids, power-law graph and expander):
// one factorization costs 85 to 280 single-column Jacobi iterations, one factor-preconditioned
// iteration 1.9 to 6 of them, and the factor reduces the residual by 0.46 to 0.62 per
// iteration. The middle values serve for every matrix.
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

bool LanczosRecord::extremes(double& smallest, double& largest) const {
    const size_t m = std::min(alphas_.size(), betas_.size() + 1);
    if (m < 3) return false;
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
    if (!std::isfinite(low) || !std::isfinite(high)) return false;
    // The second smallest: one small outlier (a single ground on a large graph) costs CG a
    // few iterations, not a factor sqrt(kappa); the rest of the spectrum sets the pace.
    smallest = bisect(d, e, low, high, 1);
    largest = bisect(d, e, low, high, m - 1);
    return smallest > 0 && largest > smallest;
}

bool should_switch(const LanczosRecord& record, const SwitchInputs& inputs) {
    double smallest = 0.0, largest = 0.0;
    if (!record.extremes(smallest, largest)) return false;
    const double kappa = largest / smallest;
    // CG's iteration count for condition number kappa, plus a few for an outlier below.
    const double reduction = std::max(inputs.remaining_reduction, 1.0);
    const double jacobi_iterations = 0.5 * std::sqrt(kappa) * std::log(2.0 * reduction) + 3.0;
    const double factor_iterations = std::log(reduction) / -std::log(kFactorRate) + 2.0;
    const double single = inputs.iteration_seconds / std::max(inputs.width, 1.0);
    const double jacobi_seconds = jacobi_iterations * inputs.iteration_seconds;
    const double factor_seconds =
        kFactorCost * single + factor_iterations * kFactorIterationCost * inputs.iteration_seconds;
    return jacobi_seconds > factor_seconds;
}

}  // namespace vorlane_engine

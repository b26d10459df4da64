// The adaptive start's cost model: the spectrum of the Jacobi-preconditioned matrix estimated
// from conjugate-gradient coefficients, and the decision to switch to the factor.
#pragma once

#include <cstddef>
#include <vector>

namespace vorlane_engine {

// CG's step lengths alpha_i and direction factors beta_i describe the Lanczos tridiagonal
// matrix of the preconditioned operator, whose extreme eigenvalues approach the operator's.
class LanczosRecord {
public:
    void add_alpha(double alpha);
    void add_beta(double beta);
    // A restart breaks the recurrence; the estimate keeps what came before.
    void stop() { stopped_ = !alphas_.empty(); }
    size_t steps() const { return alphas_.size(); }
    // Second smallest and largest eigenvalue of the tridiagonal matrix; false when not
    // available (fewer than three steps, or no positive spectrum).
    bool extremes(double& smallest, double& largest) const;

private:
    std::vector<double> alphas_;
    std::vector<double> betas_;
    bool stopped_ = false;
};

struct SwitchInputs {
    double iteration_seconds = 0.0;    // measured, per Jacobi iteration of the whole block
    double remaining_reduction = 1.0;  // largest residual / target over the running columns
    double matrix_entries = 0.0;
    double width = 1.0;
    double seconds_so_far = 0.0;
};

// True when factorizing plus the factor-preconditioned iterations still needed are predicted
// to cost less than the Jacobi iterations still needed.
bool should_switch(const LanczosRecord& record, const SwitchInputs& inputs);

}  // namespace vorlane_engine

// The adaptive start: conjugate gradients begin with the Jacobi preconditioner, and the
// coefficients of their first iterations tell whether factorizing will pay.
//
// The decision reads only numbers the iteration computes (its step lengths and the residual
// still to remove), never timings, so the same system and right-hand side decide the same way
// on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlane {

// CG's step lengths alpha_i and direction factors beta_i describe the Lanczos tridiagonal
// matrix of the preconditioned operator, whose extreme eigenvalues approach the operator's
// from inside as the steps accumulate.
class LanczosRecord {
public:
    void add_alpha(double alpha);
    void add_beta(double beta);
    // A restart breaks the recurrence; the estimate keeps what came before.
    void stop() { stopped_ = !alphas_.empty(); }
    size_t steps() const { return alphas_.size(); }
    // Condition estimate (largest over second smallest eigenvalue) of the tridiagonal matrix of
    // the first `steps` steps; 0 when not available (fewer than three steps, or no positive
    // spectrum).
    double condition(size_t steps) const;

private:
    std::vector<double> alphas_;
    std::vector<double> betas_;
    bool stopped_ = false;
};

// Jacobi iterations between decisions; the first decision comes after this many.
inline constexpr uint64_t kDecisionInterval = 12;

struct SwitchInputs {
    double remaining_reduction = 1.0;  // largest residual / target over the running columns
    double width = 1.0;                // right-hand sides iterated together
};

// Called after every kDecisionInterval Jacobi iterations: true when factorizing now should
// cost less than going on with Jacobi.
//
// While the condition estimate still grows quickly as steps are added (by kGrowing or more
// from half the steps to all of them), the spectrum's low end is not yet in sight and
// Jacobi's iteration count lies far beyond what the estimate says: the growth of a grid-like
// spectrum, whose condition grows with the square of the steps. Once the estimate settles,
// CG's count for it is weighed against the factorization and the factor's iterations, in
// units of one single-column Jacobi iteration.
bool should_switch(const LanczosRecord& record, const SwitchInputs& inputs);

}  // namespace vorlane

#include "exact/dense_ldl.hpp"

#include <algorithm>

namespace vorlane::exact {

double dot(const double* a, const double* b, size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    double s = (s0 + s1) + (s2 + s3);
    for (; i < n; ++i) s += a[i] * b[i];
    return s;
}

namespace {

// Rows are done this many at a time, so that each finished row of L is read once per block
// rather than once per row.
constexpr uint32_t kRowBlock = 4;

}  // namespace

uint32_t dense_ldl(double* S, uint32_t r, double* pivots, StopCheck stop) {
    // Row i by Crout's rule: W_ik = L_ik D_k = S_ik - sum_{p<k} W_ip L_kp, held in row i's
    // own lower triangle until D_k divides it.
    for (uint32_t first = 0; first < r; first += kRowBlock) {
        if (should_stop(stop)) return kStopped;
        const uint32_t last = std::min(r, first + kRowBlock);
        for (uint32_t k = 0; k < last; ++k) {
            const double* Lk = S + size_t(k) * r;
            for (uint32_t i = std::max(first, k); i < last; ++i) {
                double* Wi = S + size_t(i) * r;
                if (i == k) {
                    // Row i's entries left of the diagonal are W_ip = L_ip D_p here.
                    double d = Wi[i];
                    for (uint32_t p = 0; p < i; ++p) {
                        const double l = Wi[p] / pivots[p];
                        d -= Wi[p] * l;
                        Wi[p] = l;
                    }
                    if (!(d > 0.0)) return i;
                    pivots[i] = d;
                } else {
                    Wi[k] -= dot(Wi, Lk, k);
                }
            }
        }
    }
    return r;
}

bool dense_inverse(double* S, uint32_t r, const double* pivots, double* work, StopCheck stop) {
    // work holds L^T row-major, so that column j of L is contiguous.
    for (uint32_t i = 0; i < r; ++i) {
        for (uint32_t j = 0; j < i; ++j) work[size_t(j) * r + i] = S[size_t(i) * r + j];
    }
    // Z = L^-T D^-1 L^-1 from the last column: Z_ij = -sum_{k>j} L_kj Z_ik for i > j, and
    // Z_jj = 1/D_j - sum_{k>j} L_kj Z_kj. Every Z_ik named has i, k > j: already written.
    for (uint32_t j = r; j-- > 0;) {
        if (should_stop(stop)) return false;
        const double* u = work + size_t(j) * r + j + 1;
        const size_t len = r - j - 1;
        for (uint32_t i = j + 1; i < r; ++i) {
            const double z = -dot(S + size_t(i) * r + j + 1, u, len);
            S[size_t(i) * r + j] = z;
            S[size_t(j) * r + i] = z;
        }
        S[size_t(j) * r + j] = 1.0 / pivots[j] - dot(S + size_t(j) * r + j + 1, u, len);
    }
    return true;
}

}  // namespace vorlane::exact

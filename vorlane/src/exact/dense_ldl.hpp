// Dense kernels for the last, nearly full Schur complement of an exact factorization.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vorlane/builder.hpp"

namespace vorlane::exact {

// sum a[i] * b[i] in a fixed order: four interleaved partial sums, then (s0 + s1) + (s2 + s3)
// and the remainder. The same arguments give the same bits on every machine.
double dot(const double* a, const double* b, size_t n);

// Factors the symmetric r x r row-major matrix S as L D L^T in place: the strict lower
// triangle becomes L's, pivots receives D. Returns the first row whose pivot is not positive,
// or r. The upper triangle is left as it was. Asks stop every few rows; when it says stop,
// returns kStopped.
inline constexpr uint32_t kStopped = UINT32_MAX;
uint32_t dense_ldl(double* S, uint32_t r, double* pivots, StopCheck stop);

// From dense_ldl's output, writes the whole inverse (both triangles) over S. work is an r x r
// scratch array. False when stop said stop (S is then neither factor nor inverse).
bool dense_inverse(double* S, uint32_t r, const double* pivots, double* work, StopCheck stop);

inline bool should_stop(StopCheck stop) { return stop.should_stop != nullptr && stop.should_stop(stop.context); }

}  // namespace vorlane::exact

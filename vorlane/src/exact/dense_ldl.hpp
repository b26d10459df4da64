// Dense kernels for the last, nearly full Schur complement of an exact factorization.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlane::exact {

// sum a[i] * b[i] in a fixed order: four interleaved partial sums, then (s0 + s1) + (s2 + s3)
// and the remainder. The same arguments give the same bits on every machine.
double dot(const double* a, const double* b, size_t n);

// Factors the symmetric r x r row-major matrix S as L D L^T in place: the strict lower
// triangle becomes L's, pivots receives D. Returns the first row whose pivot is not positive,
// or r. The upper triangle is left as it was.
uint32_t dense_ldl(double* S, uint32_t r, double* pivots);

// From dense_ldl's output, writes the whole inverse (both triangles) over S. work is an r x r
// scratch array.
void dense_inverse(double* S, uint32_t r, const double* pivots, double* work);

}  // namespace vorlane::exact

// vorlane's C++ API: a checked randomized approximate Cholesky preconditioner for symmetric
// Laplacian and SDDM matrices, and the conjugate-gradient solve it serves.
#pragma once

#include "vorlane/csr_matrix.hpp"
#include "vorlane/error.hpp"
#include "vorlane/expected.hpp"
#include "vorlane/preconditioner.hpp"

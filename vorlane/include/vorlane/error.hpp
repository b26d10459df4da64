// The one error type of the public API: what went wrong, as a kind to branch on and a message
// to show.
#pragma once

#include <cstdint>
#include <string>

#include "vorlane/expected.hpp"

namespace vorlane {

enum class ErrorKind : uint8_t {
    // An argument is malformed: a span of the wrong length, an option out of range.
    InvalidArgument,
    // The matrix is not a valid CSR matrix, or not a symmetric Laplacian or SDDM matrix.
    InvalidMatrix,
    // Working memory could not be obtained, or the factor would outgrow its 32-bit offsets.
    OutOfMemory,
    // vorlane found its own state inconsistent: a fault to report, not a fault of the input.
    Internal,
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = Expected<T, Error>;

}  // namespace vorlane

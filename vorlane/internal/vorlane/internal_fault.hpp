// The separate path for broken invariants: never an error value, never an abort.
#pragma once

#include <stdexcept>
#include <string>

namespace vorlane {

// Thrown when the core finds its own state inconsistent. Callers at the Python boundary
// convert it into an exception; it must never be silently ignored.
class InternalFault : public std::logic_error {
public:
    explicit InternalFault(const std::string& what) : std::logic_error(what) {}
};

}  // namespace vorlane

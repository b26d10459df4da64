// The boundary of the public API: the core signals lack of memory and broken invariants by
// exceptions, which the API hands to its callers as error values instead.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "vorlane/error.hpp"
#include "vorlane/internal_fault.hpp"

namespace vorlane::api {

template <class T, class Body>
Result<T> guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return unexpected(Error{ErrorKind::OutOfMemory, "out of memory"});
    } catch (const std::length_error&) {
        return unexpected(Error{ErrorKind::OutOfMemory, "out of memory"});
    } catch (const std::exception& error) {
        return unexpected(Error{ErrorKind::Internal, std::string("vorlane internal error: ") + error.what()});
    } catch (...) {
        return unexpected(Error{ErrorKind::Internal, "vorlane internal error: unknown C++ exception"});
    }
}

}  // namespace vorlane::api

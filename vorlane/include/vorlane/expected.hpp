// A minimal value-or-error holder for the core's fallible operations.
#pragma once

#include <utility>
#include <variant>

namespace vorlane {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<E> unexpected(E error) {
    return Unexpected<E>{std::move(error)};
}

// Holds either a value of T or an error of E; errors are returned, never thrown.
template <class T, class E>
class Expected {
public:
    Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> u) : storage_(std::in_place_index<1>, std::move(u.error)) {}

    bool has_value() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    T* operator->() { return &std::get<0>(storage_); }
    const T* operator->() const { return &std::get<0>(storage_); }
    T& operator*() & { return std::get<0>(storage_); }
    const T& operator*() const& { return std::get<0>(storage_); }

    const E& error() const& { return std::get<1>(storage_); }
    E&& error() && { return std::get<1>(std::move(storage_)); }

private:
    std::variant<T, E> storage_;
};

}  // namespace vorlane

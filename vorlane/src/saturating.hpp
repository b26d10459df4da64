// Saturating integer arithmetic: counts and sizes clamp at their type's limits instead of wrapping.
#pragma once

#include <concepts>
#include <limits>

namespace vorlane {

template <std::integral T>
constexpr T saturating_add(T a, T b) {
    T sum{};
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b < T{0} ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
}

template <std::unsigned_integral T>
constexpr T saturating_mul(T a, T b) {
    T product{};
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<T>::max() : product;
}

}  // namespace vorlane

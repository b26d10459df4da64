// A view of one field in each of a run of equally spaced records, indexed like an array.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

namespace vorlane {

// Elimination keeps every vertex's scattered state (list bookkeeping, weighted degree,
// pending key change, queue node) in one record per vertex, so that visiting a neighbour
// costs one cache line; the structures that own each field see it through this view, or
// through a plain array of their own when used alone.
template <class T>
class Strided {
    using Byte = std::conditional_t<std::is_const_v<T>, const std::byte, std::byte>;

public:
    Strided() = default;
    // The fields first[0], at first, then every stride bytes.
    Strided(T* first, size_t stride) : base_(reinterpret_cast<Byte*>(first)), stride_(stride) {}
    // A plain array, elements back to back.
    Strided(std::span<T> array) : Strided(array.data(), sizeof(T)) {}
    template <class A>
    Strided(std::vector<std::remove_const_t<T>, A>& array) : Strided(array.data(), sizeof(T)) {}

    T& operator[](size_t i) const { return *reinterpret_cast<T*>(base_ + i * stride_); }
    bool empty() const { return base_ == nullptr; }

private:
    Byte* base_ = nullptr;
    size_t stride_ = sizeof(T);
};

}  // namespace vorlane

// A view of one field in each of a run of equally spaced records, indexed like an array.
#pragma once

#include <cstddef>
#include <vector>

namespace vorlane {

// Elimination keeps the state it reads at every neighbour (list bookkeeping, weighted
// degree, pending key change) in one record per vertex, so that visiting a neighbour costs
// one cache line; the structures that own each field see it through this view, or through a
// plain array of their own when used alone.
template <class T>
class Strided {
public:
    Strided() = default;
    // The fields at first and then every stride bytes.
    Strided(T* first, size_t stride) : base_(reinterpret_cast<std::byte*>(first)), stride_(stride) {}
    // A plain array, elements back to back.
    template <class A>
    Strided(std::vector<T, A>& array) : Strided(array.data(), sizeof(T)) {}

    T& operator[](size_t i) const { return *reinterpret_cast<T*>(base_ + i * stride_); }

private:
    std::byte* base_ = nullptr;
    size_t stride_ = sizeof(T);
};

}  // namespace vorlane

// Sorting of 128-bit integer keys with comparisons that steer data moves rather than branches.
#pragma once

#include <cstddef>

namespace vorlane {

__extension__ typedef unsigned __int128 SortKey;

// Sorts keys ascending. Stars are sorted on keys drawn from their weights and neighbours,
// whose order is close to random: a comparison-driven branch there is mispredicted about half
// the time, so the partitioning below selects with arithmetic instead.
void sort_keys(SortKey* keys, size_t n);

}  // namespace vorlane

// Observes allocation requests made through operator new: how many there were and the
// largest one, so a test can tell whether (and how much) code tried to allocate, even when
// the allocation is refused.
#pragma once

#include <cstddef>

namespace vt {

// False in sanitizer builds, where the sanitizer owns operator new and nothing is observed.
bool allocation_probe_active();
size_t largest_allocation_request();
void reset_largest_allocation_request();
size_t allocation_count();
void reset_allocation_count();

}  // namespace vt

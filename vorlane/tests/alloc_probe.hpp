// Observes the largest single allocation request made through operator new, so a test can
// tell how much a structure tried to allocate even when the allocation is refused.
#pragma once

#include <cstddef>

namespace vt {

// False in sanitizer builds, where the sanitizer owns operator new and nothing is observed.
bool allocation_probe_active();
size_t largest_allocation_request();
void reset_largest_allocation_request();

}  // namespace vt

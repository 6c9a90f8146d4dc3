// Test-only seam into htsumax: replaces the zeroing allocator behind every table record and slot
// array, so that tests can make any allocation fail. Not part of the module's interface.
#pragma once

#include <cstddef>

using htsumax_calloc_fn = void *(*)(size_t count, size_t size);

// Installs fn (null restores calloc) and returns the allocator it replaces.
htsumax_calloc_fn htsumax_set_calloc(htsumax_calloc_fn fn);

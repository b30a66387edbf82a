#pragma once

#include <cstdint>

namespace tarn::bench {

// Heap allocations (malloc, calloc, realloc, operator new) made by any thread of this process
// since it started; the benchmark binary replaces the global allocator entry points to count.
uint64_t allocation_count();

}  // namespace tarn::bench

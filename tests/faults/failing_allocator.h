// A replacement of the global operator new for the allocation fault tests:
// it can make one chosen allocation of the calling thread fail, and it counts
// the allocations that are alive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cealloc {

// From now on, the nth allocation (1-based) of the calling thread throws
// std::bad_alloc (or returns nil for the nothrow forms); 0 disarms.
void FailAllocation(std::int64_t nth);
// True when the armed failure has happened since FailAllocation.
bool AllocationFailed();
// Allocations made by operator new and not yet deleted, all threads.
std::int64_t LiveAllocations();

} // namespace cealloc

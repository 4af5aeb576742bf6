// The engine tests' replacement of the global allocation functions. Every
// thread of the test program allocates through them; they differ from the
// library's defaults only on a thread that asked for a failure.
#include "allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool fail_next_allocation = false;
}  // namespace

void FailNextAllocationOnThisThread() { fail_next_allocation = true; }

// The plain forms: the C++ library's array and non-throwing forms call these.
void* operator new(std::size_t size) {
    if (fail_next_allocation) {
        fail_next_allocation = false;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// glibc's heap grown by one block that is made resident with madvise, then given back to the
// allocator, which keeps it (the trim threshold is raised above it) for the allocations to come.
#include "platform/Heap.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif

// Under a sanitizer there is nothing of glibc's heap to prepare.
#define KESTROW_GLIBC_HEAP (!KESTROW_SANITIZED_HEAP)

void PrepareHeap(size_t bytes) {
#if defined(__GLIBC__) && defined(MADV_POPULATE_WRITE) && KESTROW_GLIBC_HEAP
    constexpr size_t PageSize = 4096;
    constexpr size_t MostBytes = size_t(32) << 20; // the largest mmap threshold glibc takes
    if (bytes < 16 * PageSize) return;
    // A block as large as the threshold would be a mapping of its own, given back when freed.
    bytes = std::min(bytes, MostBytes - 16 * PageSize);
    // From the heap's top, not a mapping of its own, and kept there once freed.
    mallopt(M_MMAP_THRESHOLD, int(MostBytes));
    mallopt(M_TRIM_THRESHOLD, int(2 * MostBytes));
    void* block = std::malloc(bytes);
    if (!block) return;
    uintptr_t first = (uintptr_t(block) + PageSize - 1) & ~(PageSize - 1);
    uintptr_t end = (uintptr_t(block) + bytes) & ~(PageSize - 1);
    // A kernel without MADV_POPULATE_WRITE refuses it; the pages then come in as used.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
    std::free(block);
#else
    (void)bytes;
#endif
}

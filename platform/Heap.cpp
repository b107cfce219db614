// glibc's heap grown by one block, advised to take huge pages or (where the system gives none)
// made resident, then given back to the allocator, which keeps it (trimming is off) for the
// allocations to come. On a virtual machine the first touch of a small page still costs
// something even when the page was made resident ahead; a huge page is touched once for 512 of
// them.
#include "platform/Heap.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <sys/prctl.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Under a sanitizer there is nothing of glibc's heap to prepare.
#define KESTROW_GLIBC_HEAP (!KESTROW_SANITIZED_HEAP)

bool HugePagesOnAdvice() {
    static const bool given = [] {
        // A process may be refused them (prctl) where the system gives them.
        if (::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) > 0) return false;
        char setting[64] = {};
        if (FILE* file = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re")) {
            if (!std::fgets(setting, sizeof setting, file)) setting[0] = 0;
            std::fclose(file);
        }
        return std::strstr(setting, "[always]") || std::strstr(setting, "[madvise]");
    }();
    return given;
}

#if defined(__GLIBC__) && defined(MADV_POPULATE_WRITE) && KESTROW_GLIBC_HEAP
namespace {
constexpr uintptr_t PageSize = 4096;
constexpr uintptr_t HugePageSize = uintptr_t(2) << 20;
constexpr size_t MostBytes = size_t(1) << 30; // an estimate past this is not trusted
// What glibc puts before a block: the chunk's size word and the previous chunk's.
constexpr uintptr_t ChunkHead = 2 * sizeof(size_t);

uintptr_t RoundUp(uintptr_t value, uintptr_t unit) { return (value + unit - 1) & ~(unit - 1); }
uintptr_t RoundDown(uintptr_t value, uintptr_t unit) { return value & ~(unit - 1); }

void Advise(uintptr_t first, uintptr_t end, int advice) {
    // A kernel that lacks the advice refuses it; the pages then come in as used, small.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, advice);
}

// The part of the heap's top below its first huge page, taken out of use for the process's life
// (it is only address space: nothing touches it), so that the blocks to come start on huge
// pages. Left in use when the allocator serves it from elsewhere.
void HoldHead(uintptr_t block, uintptr_t firstHuge) {
    if (firstHuge - block < 4 * ChunkHead) return;
    // The head's chunk (from block less its head up to the huge page less the next chunk's
    // head) holds its size less the one size word glibc adds.
    void* head = std::malloc(firstHuge - block - sizeof(size_t));
    if (uintptr_t(head) != block) std::free(head);
}
} // namespace
#endif

void PrepareHeap(size_t bytes) {
#if defined(__GLIBC__) && defined(MADV_POPULATE_WRITE) && KESTROW_GLIBC_HEAP
    if (bytes < 16 * PageSize) return;
    bytes = std::min(bytes, MostBytes);
    // Every block from the heap's top, however large (not a mapping of its own), and the top
    // never given back to the system.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    bool huge = HugePagesOnAdvice();
    // A huge page comes in whole at its first touch and one never touched costs nothing, so
    // on huge pages the heap is only advised, twice over; small pages are made resident ahead.
    size_t asked = huge ? 2 * bytes + 2 * HugePageSize : bytes;
    void* block = std::malloc(asked);
    if (!block) return;
    uintptr_t start = uintptr_t(block);
    if (huge) {
        uintptr_t firstHuge = RoundUp(start, HugePageSize);
        Advise(firstHuge, RoundDown(start + asked, HugePageSize), MADV_HUGEPAGE);
        std::free(block);
        HoldHead(start, firstHuge);
    } else {
        Advise(RoundUp(start, PageSize), RoundDown(start + asked, PageSize), MADV_POPULATE_WRITE);
        std::free(block);
    }
#else
    (void)bytes;
#endif
}

std::byte* MapHugeBlock() {
    if (KESTROW_SANITIZED_HEAP || !HugePagesOnAdvice()) return nullptr;
    // Twice the size mapped, then what lies outside the aligned block in it given back.
    void* mapped = ::mmap(nullptr, 2 * HugeBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    uintptr_t start = uintptr_t(mapped), block = (start + HugeBlockSize - 1) & ~(uintptr_t(HugeBlockSize) - 1);
    if (block > start) ::munmap(mapped, block - start);
    if (uintptr_t end = start + 2 * HugeBlockSize; end > block + HugeBlockSize)
        ::munmap(reinterpret_cast<void*>(block + HugeBlockSize), end - block - HugeBlockSize);
    ::madvise(reinterpret_cast<void*>(block), HugeBlockSize, MADV_HUGEPAGE);
    return reinterpret_cast<std::byte*>(block);
}

void UnmapHugeBlock(std::byte* block) noexcept { ::munmap(block, HugeBlockSize); }

// Making heap memory resident ahead of use, and huge blocks apart from the heap for the block
// pools. Not an allocator: malloc stays as it is.
#pragma once

#include <cstddef>

// 1 where a sanitizer brings its own allocator (and checks each heap block's use), else 0.
#if defined(__SANITIZE_ADDRESS__)
#define KESTROW_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define KESTROW_SANITIZED_HEAP 1
#endif
#endif
#ifndef KESTROW_SANITIZED_HEAP
#define KESTROW_SANITIZED_HEAP 0
#endif

// Readies about `bytes` of the heap's next growth, where touching fresh pages one by one costs
// a page fault each, far dearer on virtual machines than mapping them ahead: on huge pages
// where the system gives them on advice, else made resident in one system call. For a process
// about to build something of a size it can estimate; the memory stays with the heap after.
// Does nothing where the system or the allocator offers no way to do it.
void PrepareHeap(size_t bytes);

// Whether the system gives this process huge pages for memory advised to take them (asked once).
bool HugePagesOnAdvice();

// Memory of HugeBlockSize bytes on one huge page, mapped apart from the heap: nullptr where the
// system gives no huge pages on advice (or no mapping), or under a sanitizer. A block from the
// heap serves as well then: touched a small page at a time either way.
inline constexpr size_t HugeBlockSize = size_t(2) << 20;
std::byte* MapHugeBlock();
void UnmapHugeBlock(std::byte* block) noexcept;

// Memory for objects of one size that a program makes and drops in great numbers: not a general
// allocator. A dropped block waits in a list for the next; new ones are cut from slabs: about
// 32 KiB from the heap, then huge blocks of their own. A take or a give is a step along that
// list, where the heap searches its bins and later sorts the small blocks it was given back.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Heap.h"
#include "platform/OnlyThread.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

// Blocks of Size bytes aligned to Align (as the heap aligns, unless asked for less: an object
// packed to eight bytes then takes no padding). Whenever every block is back, all slabs but
// the newest go back to the heap or the system, so that a pool holds at most one slab beyond
// what is in use at its busiest since. The pools are never destroyed: a block dropped at exit
// still finds its own. Under a sanitizer each block comes from the heap, which checks its use.
template <size_t Size, size_t Align = alignof(std::max_align_t)> class TBlockPool {
    static_assert(Align <= alignof(std::max_align_t));

public:
    static void* Take() {
        if constexpr (KESTROW_SANITIZED_HEAP) return ::operator new(Size);
        return Pool().TakeBlock();
    }
    static void Give(void* block) noexcept {
        if constexpr (KESTROW_SANITIZED_HEAP) return ::operator delete(block);
        Pool().GiveBlock(block);
    }

private:
    struct TFree {
        TFree* Next;
    };
    static constexpr size_t Unit = std::max(Align, alignof(TFree)); // a free block holds the list's link
    static constexpr size_t BlockSize = (std::max(Size, sizeof(TFree)) + Unit - 1) / Unit * Unit;
    static constexpr size_t SlabBlocks = std::max<size_t>(32768 / BlockSize, 8);
    static constexpr size_t HeapSlabs = 64;

    static TBlockPool& Pool() {
        static TBlockPool& pool = *new TBlockPool;
        return pool;
    }

    void* TakeBlock() {
        TGuardIfThreads guard(lock_); // nothing here starts a thread
        if (TFree* block = free_) {
            free_ = block->Next;
            ++inUse_;
            return block;
        }
        if (left_ == 0) AddSlab();
        ++inUse_;
        return slabs_.back().At + --left_ * BlockSize;
    }

    void GiveBlock(void* block) noexcept {
        TGuardIfThreads guard(lock_); // nothing here starts a thread
        free_ = new (block) TFree{free_};
        if (--inUse_ == 0 && slabs_.size() > 1) {
            for (auto slab = slabs_.begin(); slab != slabs_.end() - 1; ++slab) Free(*slab);
            slabs_.erase(slabs_.begin(), slabs_.end() - 1);
            free_ = nullptr;
            left_ = slabs_.back().Blocks;
        }
    }

    struct TSlab {
        std::byte* At;
        size_t Blocks;
        bool Mapped; // a huge block, else from the heap
    };

    // The first slabs come from the heap, so that a small program's pools cost it no more than
    // their blocks; a pool grown past them takes whole huge pages, which a large transaction
    // would otherwise fault in from the heap a small page at a time.
    void AddSlab() {
        slabs_.reserve(slabs_.size() + 1);
        std::byte* at = slabs_.size() >= HeapSlabs ? MapHugeBlock() : nullptr;
        if (at)
            slabs_.push_back(TSlab{at, HugeBlockSize / BlockSize, true});
        else
            slabs_.push_back(TSlab{new std::byte[SlabBlocks * BlockSize], SlabBlocks, false});
        left_ = slabs_.back().Blocks;
    }
    static void Free(const TSlab& slab) noexcept {
        if (slab.Mapped)
            UnmapHugeBlock(slab.At);
        else
            delete[] slab.At;
    }

    TCriticalSection lock_;
    TFree* free_ = nullptr;
    std::vector<TSlab> slabs_;
    size_t left_ = 0; // blocks of the newest slab never handed out
    size_t inUse_ = 0;
};

// For a class whose objects come from a pool: operator new and delete of the class itself, so
// that a derived class of another size still goes to the heap.
#define KESTROW_POOLED_OBJECT(Class)                                                                                   \
    static void* operator new(std::size_t size) {                                                                      \
        return size == sizeof(Class) ? TBlockPool<sizeof(Class), alignof(Class)>::Take() : ::operator new(size);       \
    }                                                                                                                  \
    static void operator delete(void* object, std::size_t size) noexcept {                                             \
        if (size == sizeof(Class))                                                                                     \
            TBlockPool<sizeof(Class), alignof(Class)>::Give(object);                                                   \
        else                                                                                                           \
            ::operator delete(object);                                                                                 \
    }

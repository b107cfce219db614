// TPartBuffer: an atom image's data or links, shared by an image and its copies in child
// transactions until one of them changes it (copy on write). One block holds the count of its
// sharers, the length, the room and the elements. A large transaction holds a great many, nearly
// all short: those come from block pools by size, one small block each.
#pragma once

#include "platform/BlockPool.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

template <class T> class TPartBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    TPartBuffer() = default;
    TPartBuffer(std::nullptr_t) {}
    TPartBuffer(const TPartBuffer& other) noexcept : head_(other.head_) {
        if (head_) ++head_->Sharers;
    }
    TPartBuffer(TPartBuffer&& other) noexcept : head_(std::exchange(other.head_, nullptr)) {}
    TPartBuffer& operator=(TPartBuffer other) noexcept {
        std::swap(head_, other.head_);
        return *this;
    }
    ~TPartBuffer() { reset(); }
    void reset() noexcept {
        if (head_) Drop();
    }

    // A buffer of its own holding count elements copied from elements.
    static TPartBuffer Of(const T* elements, size_t count) {
        TPartBuffer buffer;
        buffer.head_ = Allocate(count);
        buffer.Assign(elements, count);
        return buffer;
    }

    explicit operator bool() const { return head_ != nullptr; }
    // Another image holds it too: a change needs a copy first.
    bool Shared() const { return head_ && head_->Sharers > 1; }
    size_t size() const { return head_ ? head_->Length : 0; }
    const T* data() const { return head_ ? Elements(head_) : nullptr; }
    T* data() { return head_ ? Elements(head_) : nullptr; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size(); }
    const T& operator[](size_t index) const { return Elements(head_)[index]; }
    T& operator[](size_t index) { return Elements(head_)[index]; }

    // The changes, on a buffer no other image shares.
    void Assign(const T* elements, size_t count) {
        Reserve(count);
        if (count) std::memcpy(Elements(head_), elements, count * sizeof(T));
        head_->Length = uint32_t(count);
    }
    // New elements are zero.
    void Resize(size_t count) {
        Reserve(count);
        size_t length = head_->Length;
        if (count > length) std::memset(Elements(head_) + length, 0, (count - length) * sizeof(T));
        head_->Length = uint32_t(count);
    }
    void Insert(size_t index, T value) {
        size_t length = size();
        Reserve(length + 1);
        T* at = Elements(head_);
        std::memmove(at + index + 1, at + index, (length - index) * sizeof(T));
        at[index] = value;
        head_->Length = uint32_t(length + 1);
    }
    void Erase(size_t index) {
        T* at = Elements(head_);
        std::memmove(at + index, at + index + 1, (head_->Length - index - 1) * sizeof(T));
        --head_->Length;
    }

private:
    struct THead {
        uint32_t Sharers;
        uint32_t Length;
        uint32_t Room;
        uint32_t Unused;
    };
    static_assert(alignof(T) <= alignof(THead) && sizeof(THead) % alignof(T) == 0);
    // The pooled sizes of a block, head included; longer ones come from the heap.
    static constexpr size_t Classes[] = {32, 64, 128, 256};

    static T* Elements(THead* head) { return reinterpret_cast<T*>(head + 1); }

    // Out of line, so that dropping no buffer (most drops) costs a test.
    [[gnu::noinline]] void Drop() noexcept {
        if (--head_->Sharers == 0) Free(head_);
        head_ = nullptr;
    }

    // Room for at least count elements, keeping the elements there are; a buffer grown by
    // one element at a time is moved only now and then.
    void Reserve(size_t count) {
        if (head_ && count <= head_->Room) return;
        size_t room = count;
        if (head_) room = std::max(count, std::min<size_t>(2 * size_t(head_->Room), UINT32_MAX));
        THead* grown = Allocate(room);
        if (head_) {
            grown->Length = head_->Length;
            std::memcpy(Elements(grown), Elements(head_), head_->Length * sizeof(T));
            reset();
        }
        head_ = grown;
    }

    static THead* Allocate(size_t room) {
        if (room > UINT32_MAX) throw std::bad_alloc();
        size_t bytes = sizeof(THead) + room * sizeof(T);
        void* block = nullptr;
        if (bytes <= Classes[0]) {
            block = TBlockPool<Classes[0]>::Take(), bytes = Classes[0];
        } else if (bytes <= Classes[1]) {
            block = TBlockPool<Classes[1]>::Take(), bytes = Classes[1];
        } else if (bytes <= Classes[2]) {
            block = TBlockPool<Classes[2]>::Take(), bytes = Classes[2];
        } else if (bytes <= Classes[3]) {
            block = TBlockPool<Classes[3]>::Take(), bytes = Classes[3];
        } else {
            block = ::operator new(bytes);
        }
        return new (block) THead{1, 0, uint32_t((bytes - sizeof(THead)) / sizeof(T)), 0};
    }
    // The room a block was given tells its size again.
    static void Free(THead* head) noexcept {
        size_t bytes = sizeof(THead) + size_t(head->Room) * sizeof(T);
        if (bytes == Classes[0])
            TBlockPool<Classes[0]>::Give(head);
        else if (bytes == Classes[1])
            TBlockPool<Classes[1]>::Give(head);
        else if (bytes == Classes[2])
            TBlockPool<Classes[2]>::Give(head);
        else if (bytes == Classes[3])
            TBlockPool<Classes[3]>::Give(head);
        else
            ::operator delete(head);
    }

    THead* head_ = nullptr;
};

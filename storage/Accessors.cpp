// The sorted keyed array.
#include "storage/Accessors.h"

#include "storage/Support.h"

#include <utility>

TBinAccessor::~TBinAccessor() { FreeAll(); }

TBinAccessor::TBinAccessor(TBinAccessor&& other) noexcept
    : ItemClass(other.ItemClass), items_(std::exchange(other.items_, {})) {}

TBinAccessor& TBinAccessor::operator=(TBinAccessor&& other) noexcept {
    if (this != &other) {
        FreeAll();
        ItemClass = other.ItemClass;
        items_ = std::exchange(other.items_, {});
    }
    return *this;
}

void TBinAccessor::Free(TSlot& slot) { std::unique_ptr<TIndexedObject> owned(std::exchange(slot.Item, nullptr)); }

void TBinAccessor::FreeAll() {
    for (TSlot& slot : items_) Free(slot);
    items_.clear();
}

TIndexedObject* TBinAccessor::Find(uint32_t key, size_t& index) const {
    size_t low = 0;
    size_t n = items_.size();
    const TSlot* slots = items_.data();
    while (n > 0) {
        size_t half = n >> 1;
        uint32_t probe = slots[low + half].Key;
        if (probe == key) {
            index = low + half;
            return slots[index].Item;
        }
        if (probe < key) {
            low += half + 1;
            n -= half + 1;
        } else {
            n = half;
        }
    }
    index = low;
    return nullptr;
}

TIndexedObject* TBinAccessor::GetOrCreate(uint32_t key) {
    size_t index;
    if (TIndexedObject* found = Find(key, index)) return found;
    std::unique_ptr<TIndexedObject> item = ItemClass(key);
    TIndexedObject* result = item.get();
    Insert(index, std::move(item));
    return result;
}

void TBinAccessor::RemoveItem(const TIndexedObject* item) {
    size_t index;
    if (Find(item->Key, index)) Delete(index);
}

TIndexedObject* TBinAccessor::Get(size_t index) const {
    if (index >= items_.size()) throw EInvalidIndex();
    return items_[index].Item;
}

void TBinAccessor::Insert(size_t index, std::unique_ptr<TIndexedObject> item) {
    if (index > items_.size()) index = items_.size();
    if (items_.size() == items_.capacity()) items_.reserve(items_.size() + items_.size() / 2 + 1);
    uint32_t key = item ? item->Key : 0;
    // The room is reserved: the insert cannot fail once the item is let go.
    items_.insert(items_.begin() + std::ptrdiff_t(index), TSlot{key, item.release()});
}

void TBinAccessor::Delete(size_t index) {
    if (index >= items_.size()) throw EInvalidIndex();
    Free(items_[index]);
    items_.erase(items_.begin() + std::ptrdiff_t(index));
}

void TBinAccessor::SetCount(size_t count) {
    if (count > items_.capacity()) items_.reserve(count + count / 2 + 1);
    for (size_t i = count; i < items_.size(); ++i) Free(items_[i]);
    items_.resize(count, TSlot{0, nullptr});
}

void TBinAccessor::SetCapacity(size_t capacity) {
    if (capacity > items_.capacity())
        items_.reserve(capacity);
    else if (capacity <= items_.size())
        items_.shrink_to_fit();
}

// The sorted keyed array.
#include "storage/Accessors.h"

#include "storage/Support.h"

TIndexedObject* TBinAccessor::Find(uint32_t key, size_t& index) const {
    size_t low = 0;
    size_t n = items_.size();
    while (n > 0) {
        size_t half = n >> 1;
        TIndexedObject* item = items_[low + half].get();
        if (item->Key == key) {
            index = low + half;
            return item;
        }
        if (item->Key < key) {
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
    return items_[index].get();
}

void TBinAccessor::Insert(size_t index, std::unique_ptr<TIndexedObject> item) {
    if (index > items_.size()) index = items_.size();
    if (items_.size() == items_.capacity()) items_.reserve(items_.size() + items_.size() / 2 + 1);
    items_.insert(items_.begin() + std::ptrdiff_t(index), std::move(item));
}

void TBinAccessor::Delete(size_t index) {
    if (index >= items_.size()) throw EInvalidIndex();
    items_.erase(items_.begin() + std::ptrdiff_t(index));
}

void TBinAccessor::SetCount(size_t count) {
    if (count > items_.capacity()) items_.reserve(count + count / 2 + 1);
    items_.resize(count);
}

void TBinAccessor::SetCapacity(size_t capacity) {
    if (capacity > items_.capacity()) items_.reserve(capacity);
    else if (capacity <= items_.size()) items_.shrink_to_fit();
}

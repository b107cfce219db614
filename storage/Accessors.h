// TBinAccessor: a sorted array of keyed objects with binary search, owning its items.
// The building block of the per-transaction image tables and of the atom cache.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class TIndexedObject {
public:
    explicit TIndexedObject(uint32_t key) : Key(key) {}
    virtual ~TIndexedObject() = default;
    uint32_t Key;
};

// Makes an item of the accessor's item class for a key.
using TIndexedObjectClass = std::unique_ptr<TIndexedObject> (*)(uint32_t key);

template <class T> std::unique_ptr<TIndexedObject> MakeIndexedObject(uint32_t key) { return std::make_unique<T>(key); }

class TAccessor {
public:
    virtual ~TAccessor() = default;
    // The item with key, or nullptr with index = where key would be inserted.
    virtual TIndexedObject* Find(uint32_t key, size_t& index) const = 0;
    virtual TIndexedObject* GetOrCreate(uint32_t key) = 0;
    // Deletes the item with item's key when present.
    virtual void RemoveItem(const TIndexedObject* item) = 0;
};

class TBinAccessor : public TAccessor {
public:
    explicit TBinAccessor(TIndexedObjectClass itemClass) : ItemClass(itemClass) {}
    ~TBinAccessor() override;
    TBinAccessor(TBinAccessor&& other) noexcept;
    TBinAccessor& operator=(TBinAccessor&& other) noexcept;
    TBinAccessor(const TBinAccessor&) = delete;
    TBinAccessor& operator=(const TBinAccessor&) = delete;

    TIndexedObject* Find(uint32_t key, size_t& index) const override;
    TIndexedObject* GetOrCreate(uint32_t key) override;
    void RemoveItem(const TIndexedObject* item) override;

    // Raises EInvalidIndex at or beyond Count.
    TIndexedObject* Get(size_t index) const;
    // index is cut to Count.
    void Insert(size_t index, std::unique_ptr<TIndexedObject> item);
    // Raises EInvalidIndex at or beyond Count; frees the item.
    void Delete(size_t index);
    // Growing fills with none; shrinking frees the items cut off.
    void SetCount(size_t count);
    void SetCapacity(size_t capacity);
    size_t Count() const { return items_.size(); }
    size_t Capacity() const { return items_.capacity(); }

    TIndexedObjectClass ItemClass;

private:
    // The key is kept beside the item so that a search touches one array only, and moving
    // slots on insert or delete is a plain memory move. Items are owned (none: nullptr).
    struct TSlot {
        uint32_t Key;
        TIndexedObject* Item;
    };
    static void Free(TSlot& slot);
    void FreeAll();
    std::vector<TSlot> items_;
};

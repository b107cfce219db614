// TDivAtomAccessor: atom handles mapped to atom images, spread over 2^Bits sorted buckets by their
// low bits; each transaction keeps its images in one. It refers to the images, never owns them.
#pragma once

#include "storage/Accessors.h"
#include "storage/Unknown.h"

#include <cstdint>
#include <vector>

class TAtomImage; // the object layer's atom image

struct IAtomAccessorEnumerator : virtual IUnknown {
    static constexpr TGUID IID{};
    // Starts over; the first image, or nullptr.
    virtual TAtomImage* First() = 0;
    // The next image, or nullptr at the end.
    virtual TAtomImage* Next() = 0;

protected:
    ~IAtomAccessorEnumerator() = default;
};

struct IAtomAccessor : virtual IUnknown {
    static constexpr TGUID IID{};
    // Counting bucket by bucket, each in key order; nullptr beyond the end.
    virtual TAtomImage* GetByIndex(uint32_t index) = 0;
    virtual uint32_t GetCount() = 0;
    virtual TAtomImage* Get(uint32_t handle) = 0;
    // Stores value for handle; nullptr removes the handle's item.
    virtual void Put(uint32_t handle, TAtomImage* value) = 0;
    // The enumerators refer to the accessor uncounted: they must not outlive it. A backward
    // walk allows removing the item just returned.
    virtual TRef<IAtomAccessorEnumerator> EnumForward() = 0;
    virtual TRef<IAtomAccessorEnumerator> EnumBackward() = 0;

protected:
    ~IAtomAccessor() = default;
};

class THandledObject : public TIndexedObject {
public:
    using TIndexedObject::TIndexedObject;
    TAtomImage* Value = nullptr;
};

class TDivAtomAccessor : public TUnknown, public IAtomAccessor {
public:
    explicit TDivAtomAccessor(uint32_t bits);

    TAtomImage* GetByIndex(uint32_t index) override;
    uint32_t GetCount() override { return Total; }
    TAtomImage* Get(uint32_t handle) override;
    void Put(uint32_t handle, TAtomImage* value) override;
    TRef<IAtomAccessorEnumerator> EnumForward() override;
    TRef<IAtomAccessorEnumerator> EnumBackward() override;

    std::vector<TBinAccessor> Buckets;
    uint32_t Bits;
    uint32_t Mask;
    uint32_t BucketCount;
    uint32_t Total = 0;

protected:
    void* GetInterface(const TGUID& iid) override;
};

class TDivAccessorEnumerator : public TUnknown, public IAtomAccessorEnumerator {
public:
    TDivAccessorEnumerator(TDivAtomAccessor& accessor, bool backward) : Backward(backward), Accessor(accessor) {}
    TAtomImage* First() override;
    TAtomImage* Next() override;

    bool Backward;
    TDivAtomAccessor& Accessor;
    int64_t Bucket = 0;
    int64_t BucketPosition = -1;

protected:
    void* GetInterface(const TGUID& iid) override;
};

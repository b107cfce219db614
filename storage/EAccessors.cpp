// The bucketed handle-to-image table and its enumerators.
#include "storage/EAccessors.h"

TDivAtomAccessor::TDivAtomAccessor(uint32_t bits) : Bits(bits), Mask((1u << bits) - 1), BucketCount(1u << bits) {
    Buckets.reserve(BucketCount);
    for (uint32_t i = 0; i < BucketCount; ++i) Buckets.emplace_back(&MakeIndexedObject<THandledObject>);
}

void* TDivAtomAccessor::GetInterface(const TGUID& iid) {
    // IAtomAccessor carries the all-zero GUID.
    if (void* found = FindInterface<IAtomAccessor>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TAtomImage* TDivAtomAccessor::GetByIndex(uint32_t index) {
    for (TBinAccessor& bucket : Buckets) {
        if (index < bucket.Count()) return static_cast<THandledObject*>(bucket.Get(index))->Value;
        index -= uint32_t(bucket.Count());
    }
    return nullptr;
}

TAtomImage* TDivAtomAccessor::Get(uint32_t handle) {
    size_t index;
    auto* item = static_cast<THandledObject*>(Buckets[handle & Mask].Find(handle >> Bits, index));
    return item ? item->Value : nullptr;
}

void TDivAtomAccessor::Put(uint32_t handle, TAtomImage* value) {
    TBinAccessor& bucket = Buckets[handle & Mask];
    uint32_t key = handle >> Bits;
    size_t index;
    TIndexedObject* found = bucket.Find(key, index);
    if (!value) {
        if (!found) return;
        bucket.Delete(index);
        --Total;
        return;
    }
    if (!found) {
        bucket.Insert(index, MakeIndexedObject<THandledObject>(key));
        found = bucket.Get(index);
        ++Total;
    }
    static_cast<THandledObject*>(found)->Value = value;
}

TRef<IAtomAccessorEnumerator> TDivAtomAccessor::EnumForward() { return MakeObj<TDivAccessorEnumerator>(*this, false); }

TRef<IAtomAccessorEnumerator> TDivAtomAccessor::EnumBackward() { return MakeObj<TDivAccessorEnumerator>(*this, true); }

void* TDivAccessorEnumerator::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IAtomAccessorEnumerator>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TAtomImage* TDivAccessorEnumerator::First() {
    Bucket = Backward ? int64_t(Accessor.BucketCount) - 1 : 0;
    BucketPosition = -1;
    return Next();
}

TAtomImage* TDivAccessorEnumerator::Next() {
    if (!Backward) {
        while (Bucket < int64_t(Accessor.BucketCount)) {
            TBinAccessor& bucket = Accessor.Buckets[size_t(Bucket)];
            if (BucketPosition + 1 < int64_t(bucket.Count())) {
                ++BucketPosition;
                return static_cast<THandledObject*>(bucket.Get(size_t(BucketPosition)))->Value;
            }
            ++Bucket;
            BucketPosition = -1;
        }
        return nullptr;
    }
    while (Bucket >= 0) {
        TBinAccessor& bucket = Accessor.Buckets[size_t(Bucket)];
        if (BucketPosition == -1) BucketPosition = int64_t(bucket.Count());
        if (BucketPosition > int64_t(bucket.Count())) BucketPosition = int64_t(bucket.Count());
        if (BucketPosition != 0) {
            --BucketPosition;
            return static_cast<THandledObject*>(bucket.Get(size_t(BucketPosition)))->Value;
        }
        --Bucket;
        BucketPosition = -1;
    }
    return nullptr;
}

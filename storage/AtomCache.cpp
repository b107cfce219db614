// The atom cache: bucketed lookup, recency list, read-through and write-through.
#include "storage/AtomCache.h"

#include "storage/Timers.h"

namespace {
enum : int {
    CacheReadTimer = 18,
    CacheWriteTimer = 19,
    CacheGetItemTimer = 20,
    CacheRemoveTimer = 21,
    CacheClearTimer = 22,
};

// Items a bucket holds on average before the buckets double: an insert moves about half of them.
constexpr uint32_t MaxBucketLoad = 16;
} // namespace

TAtomCache::TAtomCache(TRef<IAtomManager> atoms, uint32_t bits, uint32_t limit)
    : BucketCount(1u << bits), Bits(bits), Mask((1u << bits) - 1), Limit(limit), atoms_(std::move(atoms)) {
    Buckets.reserve(BucketCount);
    for (uint32_t i = 0; i < BucketCount; ++i) Buckets.emplace_back(&MakeIndexedObject<TCacheItem>);
}

TAtomCache::~TAtomCache() = default;

void* TAtomCache::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IAtomCache>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

uint32_t TAtomCache::ItemHandle(uint32_t index) {
    for (uint32_t b = 0; b < BucketCount; ++b) {
        TBinAccessor& bucket = Buckets[b];
        if (index < bucket.Count()) return bucket.Get(index)->Key << Bits | b;
        index -= uint32_t(bucket.Count());
    }
    return 0;
}

void TAtomCache::Unlink(TCacheItem* item) {
    (item->Newer ? item->Newer->Older : MostRecent) = item->Older;
    (item->Older ? item->Older->Newer : LeastRecent) = item->Newer;
    item->Older = item->Newer = nullptr;
}

void TAtomCache::PutInFront(TCacheItem* item) {
    item->Older = MostRecent;
    item->Newer = nullptr;
    if (MostRecent)
        MostRecent->Newer = item;
    else
        LeastRecent = item;
    MostRecent = item;
}

// Unlinks and frees the item.
void TAtomCache::DeleteItem(TCacheItem* item) {
    Unlink(item);
    --ItemCount;
    Buckets[item->Rec.Handle & Mask].RemoveItem(item);
}

// A new item takes over the least recently used one when the cache is full: its buffers are
// reused, and no memory is freed and taken again on every miss.
TCacheItem* TAtomCache::GetItem(uint32_t handle, bool& created) {
    TTimedScope timer(CacheGetItemTimer);
    TBinAccessor& bucket = Buckets[handle & Mask];
    uint32_t key = handle >> Bits;
    ++Lookups;
    size_t index;
    auto* item = static_cast<TCacheItem*>(bucket.Find(key, index));
    created = !item;
    if (item) {
        ++Hits;
        if (item != MostRecent) {
            Unlink(item);
            PutInFront(item);
        }
    } else {
        std::unique_ptr<TIndexedObject> made;
        if (ItemCount >= Limit && LeastRecent) {
            TCacheItem* victim = LeastRecent;
            made = TakeOut(victim);
            if ((victim->Rec.Handle & Mask) == (handle & Mask)) bucket.Find(key, index); // it lost an item
            auto* reused = static_cast<TCacheItem*>(made.get());
            reused->Key = key;
            TAtomRec& rec = reused->Rec;
            rec.Data.clear();
            rec.Links.clear();
            rec.Entry = {};
            rec.EntryLoaded = false;
            rec.LinkWidth = 1;
            rec.LinkRefs = rec.ExtRefs = 0;
            rec.Loaded = 0;
        } else {
            made = std::make_unique<TCacheItem>(key);
        }
        item = static_cast<TCacheItem*>(made.get());
        item->Rec.Handle = handle;
        bucket.Insert(index, std::move(made));
        ++ItemCount;
        PutInFront(item);
    }
    while (ItemCount > Limit && LeastRecent && LeastRecent != item) DeleteItem(LeastRecent);
    if (ItemCount > BucketCount * MaxBucketLoad) Rebucket();
    return item;
}

// The recency list is untouched: items only change buckets (and keys with them). A bucket's
// items, in key order, split over two new buckets by the next bit of the handle and stay in
// order there, so each is appended.
void TAtomCache::Rebucket() {
    std::vector<TBinAccessor> old = std::move(Buckets);
    ++Bits;
    BucketCount <<= 1;
    Mask = BucketCount - 1;
    Buckets.clear();
    Buckets.reserve(BucketCount);
    for (uint32_t i = 0; i < BucketCount; ++i) Buckets.emplace_back(&MakeIndexedObject<TCacheItem>);
    std::vector<std::unique_ptr<TIndexedObject>> items; // one old bucket's, last first
    for (uint32_t b = 0; b < old.size(); ++b) {
        TBinAccessor& from = old[b];
        items.clear();
        while (from.Count() > 0) items.push_back(from.Extract(from.Count() - 1));
        size_t high = 0;
        for (const auto& item : items) high += (static_cast<TCacheItem*>(item.get())->Rec.Handle & Mask) != b;
        Buckets[b].SetCapacity(items.size() - high);
        Buckets[b + old.size()].SetCapacity(high);
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            auto* item = static_cast<TCacheItem*>(it->get());
            item->Key = item->Rec.Handle >> Bits;
            TBinAccessor& to = Buckets[item->Rec.Handle & Mask];
            to.Insert(to.Count(), std::move(*it));
        }
    }
}

// Unlinks the item and takes it from its bucket without freeing it.
std::unique_ptr<TIndexedObject> TAtomCache::TakeOut(TCacheItem* item) {
    Unlink(item);
    --ItemCount;
    TBinAccessor& bucket = Buckets[item->Rec.Handle & Mask];
    size_t index;
    bucket.Find(item->Key, index);
    return bucket.Extract(index);
}

void TAtomCache::Clear() {
    TTimedScope timer(CacheClearTimer);
    for (TBinAccessor& bucket : Buckets)
        while (bucket.Count() > 0) bucket.Delete(bucket.Count() - 1);
    MostRecent = LeastRecent = nullptr;
    ItemCount = 0;
}

void TAtomCache::Remove(uint32_t handle) {
    TTimedScope timer(CacheRemoveTimer);
    size_t index;
    if (auto* item = static_cast<TCacheItem*>(Buckets[handle & Mask].Find(handle >> Bits, index))) DeleteItem(item);
}

void TAtomCache::Read(uint32_t handle, uint8_t parts, TAtomData& data) {
    TTimedScope timer(CacheReadTimer);
    bool created;
    TCacheItem* item = GetItem(handle, created);
    uint8_t missing = uint8_t(parts & ~item->Rec.Loaded);
    if (missing) {
        try {
            atoms_->ReadAtom(item->Rec, missing);
        } catch (...) {
            if (created) DeleteItem(item);
            throw;
        }
    }
    const TAtomRec& rec = item->Rec;
    data.Parts = parts;
    if (parts & AtomPartCounts) {
        data.LinkRefs = rec.LinkRefs;
        data.ExtRefs = rec.ExtRefs;
    }
    if (parts & AtomPartLinks) {
        data.Links = rec.Links;
        data.LinkWidth = rec.LinkWidth;
    }
    if (parts & AtomPartData) data.Data = rec.Data;
}

void TAtomCache::GetStats(uint32_t& lookups, uint32_t& hits) {
    lookups = Lookups;
    hits = Hits;
}

// On a failed write the item goes: it must never hold what the file lacks.
void TAtomCache::Write(uint32_t handle, const TAtomData& data, uint8_t parts) {
    TTimedScope timer(CacheWriteTimer);
    bool created;
    TCacheItem* item = GetItem(handle, created);
    TAtomRec& rec = item->Rec;
    uint8_t store = uint8_t(parts | (data.Parts & ~rec.Loaded));
    if (store & AtomPartCounts) {
        rec.LinkRefs = data.LinkRefs;
        rec.ExtRefs = data.ExtRefs;
    }
    if (store & AtomPartLinks) {
        rec.Links = data.Links;
        rec.LinkWidth = data.LinkWidth;
    }
    if (store & AtomPartData) rec.Data = data.Data;
    rec.Loaded |= store;
    if (parts == 0) return;
    try {
        atoms_->WriteAtom(rec, parts);
    } catch (...) {
        DeleteItem(item);
        throw;
    }
}

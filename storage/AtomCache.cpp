// The atom cache: bucketed lookup, recency list, read-through and write-through.
#include "storage/AtomCache.h"

#include "storage/Timers.h"

#include <algorithm>

namespace {
enum : int {
    CacheWriteTimer = 19,
    CacheGetItemTimer = 20,
    CacheRemoveTimer = 21,
    CacheClearTimer = 22,
};

// Empties rec for another atom, keeping its buffers.
void Reset(TAtomRec& rec) {
    rec.Data.clear();
    rec.Links.clear();
    rec.Entry = {};
    rec.EntryLoaded = false;
    rec.LinkWidth = 1;
    rec.LinkRefs = rec.ExtRefs = 0;
    rec.Loaded = 0;
}

} // namespace

TAtomCache::TAtomCache(TRef<IAtomManager> atoms, uint32_t bits, uint32_t limit)
    : Bits(bits), Limit(limit), atoms_(&dynamic_cast<TAtomManager&>(*atoms)) {}

TAtomCache::~TAtomCache() = default;

void* TAtomCache::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IAtomCache>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

uint32_t TAtomCache::ItemHandle(uint32_t index) {
    if (!orderValid_) {
        order_.clear();
        items_.ForEach([&](uint32_t handle, const auto&) { order_.push_back(handle); });
        uint32_t mask = (1u << Bits) - 1;
        auto rank = [&](uint32_t h) { return uint64_t(h & mask) << 32 | (h >> Bits); };
        std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) { return rank(a) < rank(b); });
        orderValid_ = true;
    }
    return index < order_.size() ? order_[index] : 0;
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
    orderValid_ = false;
    items_.Take(item->Rec.Handle);
}

// A new item takes over the least recently used one when the cache is full: its buffers are
// reused, and no memory is freed and taken again on every miss.
TCacheItem* TAtomCache::GetItem(uint32_t handle, bool& created) {
    TTimedScope timer(CacheGetItemTimer);
    ++Lookups;
    if (auto* found = items_.Find(handle)) {
        TCacheItem* item = found->get();
        created = false;
        ++Hits;
        if (item != MostRecent) {
            Unlink(item);
            PutInFront(item);
        }
        EvictBeyondLimit(item);
        return item;
    }
    created = true;
    std::unique_ptr<TCacheItem> made;
    if (ItemCount >= Limit && LeastRecent) {
        TCacheItem* victim = LeastRecent;
        Unlink(victim);
        --ItemCount;
        made = items_.Take(victim->Rec.Handle);
        Reset(made->Rec);
    } else {
        made = std::make_unique<TCacheItem>();
    }
    TCacheItem* item = made.get();
    item->Rec.Handle = handle;
    items_.Put(handle, std::move(made));
    orderValid_ = false;
    ++ItemCount;
    PutInFront(item);
    EvictBeyondLimit(item);
    return item;
}

void TAtomCache::EvictBeyondLimit(const TCacheItem* spared) {
    while (ItemCount > Limit && LeastRecent && LeastRecent != spared) DeleteItem(LeastRecent);
}

void TAtomCache::Clear() {
    TTimedScope timer(CacheClearTimer);
    items_.Clear();
    orderValid_ = false;
    MostRecent = LeastRecent = nullptr;
    ItemCount = 0;
}

void TAtomCache::Remove(uint32_t handle) {
    TTimedScope timer(CacheRemoveTimer);
    if (auto* found = items_.Find(handle)) DeleteItem(found->get());
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
void TAtomCache::Store(uint32_t handle, const TAtomData& data, uint8_t parts, bool isNew) {
    TTimedScope timer(CacheWriteTimer);
    bool created;
    TCacheItem* item = GetItem(handle, created);
    TAtomRec& rec = item->Rec;
    // Whatever an item of a new atom's handle holds is of an atom that is gone.
    if (isNew) Reset(rec);
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
    if (parts == 0 && !isNew) return;
    try {
        if (isNew)
            atoms_->WriteNewAtom(rec, parts);
        else
            atoms_->WriteAtom(rec, parts);
    } catch (...) {
        DeleteItem(item);
        throw;
    }
}

// TAtomCache: the committed content of recently used atoms, found by handle in one table, with a
// least-recently-used order and an item limit. Reads fill missing parts from the
// atom table; writes go through to it, so the cache never holds what the file lacks.
#pragma once

#include "storage/AtomManager.h"
#include "storage/HandleTable.h"
#include "storage/Timers.h"
#include "storage/Unknown.h"

#include <cstdint>
#include <memory>
#include <vector>

struct IAtomCache : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{0D6055C4-B64C-4931-89CE-FB07A24E0BCE}");
    // Counting bucket by bucket; 0 beyond the end.
    virtual uint32_t ItemHandle(uint32_t index) = 0;
    virtual uint32_t GetCount() = 0;
    virtual uint32_t GetLimit() = 0;
    // Items beyond the limit go at the next Read or Write.
    virtual void SetLimit(uint32_t limit) = 0;
    virtual void Clear() = 0;
    virtual void Remove(uint32_t handle) = 0;
    // The requested parts, read from the atom table when not held. Atom-table errors pass
    // through; a failed read leaves no new item behind.
    virtual void Read(uint32_t handle, uint8_t parts, TAtomData& data) = 0;
    // As Read, but straight from the atom table, keeping nothing: a walk that reads many atoms
    // once would otherwise push out the ones in use. Not a lookup: GetStats counts none.
    virtual void ReadPast(uint32_t handle, uint8_t parts, TAtomContent& data) = 0;
    virtual void GetStats(uint32_t& lookups, uint32_t& hits) = 0;
    // Takes the parts present in data and writes the modified ones (parts) to the atom table.
    virtual void Write(uint32_t handle, const TAtomData& data, uint8_t parts) = 0;
    // Write for an atom whose handle is only reserved: it is made and written in one go.
    virtual void WriteNew(uint32_t handle, const TAtomData& data, uint8_t parts) = 0;

protected:
    ~IAtomCache() = default;
};

struct TCacheItem {
    TAtomRec Rec;
    TCacheItem* Older = nullptr;
    TCacheItem* Newer = nullptr;
};

class TAtomCache final : public TUnknown, public IAtomCache {
public:
    // Reads and writes through atoms (counted). Bits only orders ItemHandle: by the handle's low
    // Bits bits, then by the rest.
    TAtomCache(TRef<IAtomManager> atoms, uint32_t bits = 6, uint32_t limit = 8000);
    ~TAtomCache() override;

    uint32_t ItemHandle(uint32_t index) override;
    uint32_t GetCount() override { return ItemCount; }
    uint32_t GetLimit() override { return Limit; }
    void SetLimit(uint32_t limit) override { Limit = limit; }
    void Clear() override;
    void Remove(uint32_t handle) override;
    void Read(uint32_t handle, uint8_t parts, TAtomData& data) override;
    // On every peek of a walk: compiled into its callers. An item holds what the table holds
    // (writes go through), so the table is read without looking for one.
    void ReadPast(uint32_t handle, uint8_t parts, TAtomContent& data) override {
        TTimedScope timer(CacheReadTimer);
        atoms_->ReadInto(handle, parts, data);
    }
    void GetStats(uint32_t& lookups, uint32_t& hits) override;
    void Write(uint32_t handle, const TAtomData& data, uint8_t parts) override { Store(handle, data, parts, false); }
    void WriteNew(uint32_t handle, const TAtomData& data, uint8_t parts) override { Store(handle, data, parts, true); }

    uint32_t Bits;
    TCacheItem* MostRecent = nullptr;
    uint32_t Hits = 0;
    TCacheItem* LeastRecent = nullptr;
    uint32_t Lookups = 0;
    uint32_t Limit;
    uint32_t ItemCount = 0;

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    static constexpr int CacheReadTimer = 18;
    TCacheItem* GetItem(uint32_t handle, bool& created);
    void Store(uint32_t handle, const TAtomData& data, uint8_t parts, bool isNew);
    void Unlink(TCacheItem* item);
    void PutInFront(TCacheItem* item);
    void DeleteItem(TCacheItem* item);
    // Down to the limit, from the least recent, never the item being served.
    void EvictBeyondLimit(const TCacheItem* spared);

    THandleTable<std::unique_ptr<TCacheItem>> items_;
    std::vector<uint32_t> order_; // the handles in ItemHandle order, made when asked for
    bool orderValid_ = false;
    TRef<TAtomManager> atoms_; // the table's one kind: called without virtual calls
};

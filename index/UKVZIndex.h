// The trie implementation of the index interfaces: TIIndexer over one TAtomTreeIndex, its three
// cursor classes and TIIndexerFactory. Internal: callers reach them through index/KVZIndex.h.
#pragma once

#include "index/KVZIndex.h"
#include "index/UAtomTreeIndex.h"
#include "storage/Capabilities.h"

#include <memory>
#include <string>
#include <string_view>

// Hands the trie object of a TIIndexer to its cursors.
struct IAtomTreeIndexAccess : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{6A972FE0-F1FD-11D4-BBEB-00A0D21ABA80}");
    virtual TAtomTreeIndex* GetIndexObject() = 0;

protected:
    ~IAtomTreeIndexAccess() = default;
};

inline constexpr std::string_view TrieCapabilityText =
    "CURSOR_CLONE = 1;GOTO_LINE_NUMBER = 0;EXTRA_MODIFICATOR = 0;MODIFICATING_CURSOR = 1;"
    "MULTI_CURSORING = 2;NON_UNIQUE_KEYS = 0;KEY_LENGTH = 6;KEY_COUNT = 6;";

class TIIndexer : public TUnknown, public IIndexer, public IAtomTreeIndexAccess, public IIndexWalk {
public:
    // Opens the trie in header (151 when nil; TATIError for a bad header).
    static TRef<TIIndexer> Create(IVirtualAtom* header, int32_t minLen, int32_t maxLen);
    // A new trie made through storage (154 when nil); its header atom comes back in header.
    static TRef<TIIndexer> CreateNew(IVirtualStorage* storage, TRef<IVirtualAtom>& header, int32_t minLen,
                                     int32_t maxLen);

    TRef<IVirtualAtom> AddKey(std::string_view key) override;
    TRef<IVirtualAtom> AddKeyBuf(const void* p, int32_t len) override;
    void InsertKey(std::string_view key, IVirtualAtom* atom) override;
    void InsertKeyBuf(const void* p, int32_t len, IVirtualAtom* atom) override;
    bool KeyExists(std::string_view key) override;
    bool KeyExistsBuf(const void* p, int32_t len) override;
    bool FindKey(std::string_view key, TRef<IVirtualAtom>& atom) override;
    bool FindKeyBuf(const void* p, int32_t len, TRef<IVirtualAtom>& atom) override;
    bool FindKeyAccess(std::string_view key, TAccess access, TRef<IVirtualAtom>& atom) override;
    bool FindKeyBufAccess(const void* p, int32_t len, TAccess access, TRef<IVirtualAtom>& atom) override;
    bool SeekCursor(std::string_view key, TRef<IIndexerCursor>& cursor) override;
    bool SeekCursorBuf(const void* p, int32_t len, TRef<IIndexerCursor>& cursor) override;
    TRef<IIndexerCursor> GetCursor() override;
    bool SeekModifyingCursor(std::string_view key, TRef<IModificatingCursor>& cursor) override;
    bool SeekModifyingCursorBuf(const void* p, int32_t len, TRef<IModificatingCursor>& cursor) override;
    TRef<IModificatingCursor> GetModifyingCursor() override;
    bool DeleteKey(std::string_view key) override;
    bool DeleteKeyBuf(const void* p, int32_t len) override;
    void Clear() override;
    TRef<IVirtualStorage> GetStorage() override;
    TRef<IStorageTransaction> GetTransaction() override;
    TRef<IVirtualAtom> GetIndexAtom() override;

    TAtomTreeIndex* GetIndexObject() override { return Index.get(); }
    void WalkKeys(bool openValues, TAccess access, const TVisit& visit) override;
    void WalkValues(const TValueVisit& visit) override {
        Index->WalkValues(true, [&](std::string_view key, std::span<const uint8_t> value, auto) { visit(key, value); });
    }
    void WalkValueLinks(const TValueLinksVisit& visit) override { Index->WalkValues(true, visit); }
    void FindValues(const std::vector<std::string>& keys, const TValueVisit& visit) override {
        Index->FindValues(keys, visit);
    }
    int32_t GetKeyCount() override { return Index->KeyCount(); }

    TIIndexer();
    ~TIIndexer() override;

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    std::unique_ptr<TCapabilities> Caps;
    std::unique_ptr<TAtomTreeIndex> Index;
};

// A cursor's state is its key text alone (plus whether its last move reached a key); every
// operation positions the shared trie at that key again first.
class TIBidirectionalCursor : public TUnknown, public virtual IBidirectionalCursor {
public:
    TIBidirectionalCursor(IIndexer* indexer, std::string_view startKey);

    bool IsFirst() override;
    bool IsLast() override;
    bool IsEmpty() override;
    int32_t GetCount() override;
    bool First() override;
    bool Last() override;
    bool Next() override;
    bool Prior() override;
    TRef<IVirtualAtom> GetAtom() override;
    TRef<IVirtualAtom> GetAtomAccess(TAccess access) override;
    TRef<IBidirectionalCursor> Clone() override;
    void Close() override;

protected:
    void* GetInterface(const TGUID& iid) override;
    // The trie, or 3 "Access is denied" once closed.
    TAtomTreeIndex& Trie();
    bool ReFind();
    void Remember(bool present);
    // Takes the key the trie's last step reached (onKey) or none.
    void Settle(bool onKey);
    virtual TRef<IBidirectionalCursor> MakeClone(std::string_view startKey);

    static constexpr uint64_t NoVersion = UINT64_MAX;
    std::string Key;
    bool OnKey = false;
    uint64_t KnownVersion = NoVersion;
    uint64_t KnownChanges = 0;
    bool KnownPresent = false;
    TAtomTreeIndex* Index = nullptr;
    TRef<IIndexer> Indexer;
};

class TIIndexerCursor : public TIBidirectionalCursor, public virtual IIndexerCursor {
public:
    using TIBidirectionalCursor::TIBidirectionalCursor;

    TRef<IIndexer> GetIndexer() override;
    int32_t GetKeyLength() override;
    int32_t GetKeyBuf(void* p, int32_t size) override;
    std::string GetKey() override;
    bool SeekBuf(const void* p, int32_t len, uint8_t condition) override;
    bool Seek(std::string_view key, uint8_t condition) override;

protected:
    void* GetInterface(const TGUID& iid) override;
    TRef<IBidirectionalCursor> MakeClone(std::string_view startKey) override;
};

class TIModificatingCursor : public TIIndexerCursor, public virtual IModificatingCursor {
public:
    using TIIndexerCursor::TIIndexerCursor;

    void Delete() override;
    void Insert(std::string_view key, IVirtualAtom* atom) override;
    void InsertBuf(const void* p, int32_t len, IVirtualAtom* atom) override;

protected:
    void* GetInterface(const TGUID& iid) override;
    TRef<IBidirectionalCursor> MakeClone(std::string_view startKey) override;
};

class TIIndexerFactory : public TUnknown, public IIndexerFactory {
public:
    TRef<IIndexer> OpenIndex(IVirtualAtom* atom, std::string_view caps, std::string_view params) override;
    TRef<IIndexer> CreateIndex(IVirtualStorage* storage, TRef<IVirtualAtom>& indexAtom, std::string_view caps,
                               std::string_view params) override;
    TRef<IIndexer> OpenOrCreateIndex(IVirtualAtom* owner, int32_t linkNo, std::string_view caps,
                                     std::string_view params) override;
    bool IsIndex(IVirtualAtom* atom) override;

protected:
    void* GetInterface(const TGUID& iid) override;
};

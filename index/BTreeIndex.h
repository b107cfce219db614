// The B-tree index: byte-string keys (up to 65536 bytes) -> value atoms, pages kept as atoms
// under a 24-byte index atom. Internal to the index engine; callers use IIndexer and the
// B-tree factory (BTreeFactory.h). Its cursor is in BTreeCursor.h.
#pragma once

#include "index/KVZIndex.h"
#include "storage/Capabilities.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The index atom: type identifier, version, page size.
namespace BTreeHeader {
inline constexpr TGUID TypeId = GuidOf("{B3A60230-0BA1-11D5-8F94-000102FAE9E5}");
inline constexpr int32_t Version = 2;
inline constexpr uint32_t Size = 24;
inline constexpr uint32_t IdOffset = 0;
inline constexpr uint32_t VersionOffset = 16;
inline constexpr uint32_t PageSizeOffset = 20;
inline constexpr uint32_t RootLink = 0;
inline constexpr int32_t MinPageSize = 4;
inline constexpr int32_t MaxPageSize = 1024;
inline constexpr int32_t DefaultPageSize = 40;
inline constexpr size_t MaxKeyLength = 65536;
} // namespace BTreeHeader

// A page atom's data: Count, DataEnd, then PageSize (offset, length) pairs, then key bytes.
// Links: 0 .. PageSize-1 value atoms of the keys, PageSize + i child i (keys between key i-1
// and key i).
namespace BTreePage {
inline constexpr uint32_t CountOffset = 0;
inline constexpr uint32_t DataEndOffset = 4;
inline constexpr uint32_t PairsOffset = 8;
inline constexpr uint32_t PairSize = 8;
inline constexpr uint32_t FixedSize = 8;
// Slack of dead key bytes tolerated before a page is compacted.
inline constexpr uint32_t PackSlack = 64;
} // namespace BTreePage

bool IsValidPageSize(int32_t pageSize);

struct TKeyPair {
    uint32_t Offset = 0;
    uint32_t Length = 0;
};

// A page header in memory, with its atom.
struct TOpenIndexAtom {
    TRef<IVirtualAtom> Atom;
    int32_t Count = 0;
    uint32_t DataEnd = 0;
    std::vector<TKeyPair> Pairs;
};

// The entry carried up out of a split, and the unit moved around by merges and rotations.
struct TMoveToPrevLevel {
    std::string Key;
    TRef<IVirtualAtom> Value;
    TRef<IVirtualAtom> Right;
};

inline constexpr std::string_view BTreeCapabilityText =
    "CURSOR_CLONE        = 1;GOTO_LINE_NUMBER    = 1;EXTRA_MODIFICATOR   = 1;MODIFICATING_CURSOR = 0;"
    "MULTI_CURSORING     = 1;NON_UNIQUE_KEYS     = 0;KEY_LENGTH          = 3;KEY_COUNT           = 6";

// Byte-wise unsigned comparison, a prefix first.
int CompareKeys(std::string_view a, std::string_view b);

class TBTreeIndex : public TUnknown, public IIndexer, public IBTreeDump {
public:
    // Opens the tree whose root page is in indexAtom's link rootLink (made when empty); raises
    // 2 "Capability is not supported" when caps is not met.
    TBTreeIndex(IVirtualAtom* indexAtom, uint32_t rootLink, int32_t pageSize, std::string_view caps);
    ~TBTreeIndex() override;

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

    void Dump(std::vector<std::string>& lines) override;

    // Page access shared with the cursor.
    uint32_t HeaderSize() const { return uint32_t(PageSize) * BTreePage::PairSize + BTreePage::FixedSize; }
    // Reads and checks a page header (152 when Count or a pair is out of bounds).
    TOpenIndexAtom ReadPage(TRef<IVirtualAtom> atom) const;
    std::string ReadKey(const TOpenIndexAtom& page, int32_t i) const;
    // Binary search: true and the key's position, or false and the insertion position.
    bool SearchPage(const TOpenIndexAtom& page, std::string_view key, int32_t& pos) const;
    uint32_t ChildLink(int32_t i) const { return uint32_t(PageSize + i); }
    TOpenIndexAtom& RootPage() { return Root; }
    TAccess GetDefaultAccess() const { return DefaultAccess; }

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    class TOpGuard;
    struct TMemPage {
        TRef<IVirtualAtom> Left;
        std::vector<TMoveToPrevLevel> Entries;
    };

    void CheckKeyLength(size_t length) const;
    TOpenIndexAtom NewPage();
    void WritePage(TOpenIndexAtom& page);
    void AppendKey(TOpenIndexAtom& page, int32_t i, std::string_view key);
    void PackPage(TOpenIndexAtom& page);
    TMemPage LoadMem(const TOpenIndexAtom& page);
    void StoreMem(TOpenIndexAtom& page, const TMemPage& mem, const TMemPage* before);
    void InsertEntry(TOpenIndexAtom& page, int32_t p, const TMoveToPrevLevel& entry);
    void RemoveEntry(TOpenIndexAtom& page, int32_t p);
    bool InsertInto(TOpenIndexAtom& page, std::string_view key, IVirtualAtom* value, TMoveToPrevLevel& carried);
    bool DeleteFrom(TOpenIndexAtom& page, std::string_view key, bool& underflow);
    bool TakeLast(TOpenIndexAtom& page, TMoveToPrevLevel& last);
    bool ReplaceByPredecessor(TOpenIndexAtom& page, int32_t p, TOpenIndexAtom& child);
    void Rebalance(TOpenIndexAtom& parent, int32_t ci, TOpenIndexAtom& child);
    bool Underfull(const TOpenIndexAtom& page) const { return page.Count < PageSize / 2; }
    void DumpPage(const TOpenIndexAtom& page, int depth, std::vector<std::string>& lines);
    void ReplaceRoot(TRef<IVirtualAtom> atom);

    std::unique_ptr<TCapabilities> Caps;
    int32_t PageSize;
    TRef<IVirtualStorage> Storage;
    TRef<IStorageTransaction> Transaction;
    TRef<IVirtualStorage> AtomMaker;
    TRef<IVirtualAtom> IndexAtom;
    uint32_t RootLinkNo;
    TOpenIndexAtom Root;
    TAccess DefaultAccess;
};

// Moves the access bits of an open up for a scope and back on every exit.
class TAccessRaise {
public:
    TAccessRaise(IVirtualAtom* atom, TAccess access);
    ~TAccessRaise();
    TAccessRaise(const TAccessRaise&) = delete;
    TAccessRaise& operator=(const TAccessRaise&) = delete;

private:
    IVirtualAtom* Atom;
    TAccess Saved;
};

// The B-tree cursor: walks a TBTreeIndex in key order along a path of pages from the root to
// the current key, and seeks by the five conditions. Internal; callers hold IIndexerCursor.
#pragma once

#include "index/BTreeIndex.h"

#include <vector>

// One level of the path: a page with its header as read when entered, the child entered
// (-1 before any) and the current key (on upper levels the key after the entered child).
struct TEnumIndexPage {
    TOpenIndexAtom Page;
    int32_t Child = -1;
    int32_t Position = 0;
};
using TEnumIndexPages = std::vector<TEnumIndexPage>;

// What every B-tree cursor has: the index it walks (kept alive by the subclass's indexer
// reference) and its state check.
class TBaseBTreeCursor : public TUnknown {
protected:
    explicit TBaseBTreeCursor(TBTreeIndex* index) : Index(index) {}
    // 3 "Access is denied" when closed, or (needPosition) when standing on no key.
    virtual void CheckState(bool needPosition) = 0;

    TBTreeIndex* Index;
};

class TBTreeCursor : public TBaseBTreeCursor, public virtual IIndexerCursor {
public:
    // Holds index (through its IIndexer) and a copy of path.
    TBTreeCursor(TBTreeIndex* index, TEnumIndexPages path);

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

    TRef<IIndexer> GetIndexer() override;
    int32_t GetKeyLength() override;
    int32_t GetKeyBuf(void* p, int32_t size) override;
    std::string GetKey() override;
    bool SeekBuf(const void* p, int32_t len, uint8_t condition) override;
    bool Seek(std::string_view key, uint8_t condition) override;

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    class TPathAccess;

    void CheckState(bool needPosition) override;
    TEnumIndexPage RootLevel();
    bool OpenChild(const TEnumIndexPage& level, int32_t child, TEnumIndexPage& into, int32_t child0, int32_t pos0);
    bool StepForward(TEnumIndexPages& path);
    bool StepBackward(TEnumIndexPages& path);
    void MoveFirst();
    void MoveLast();
    int32_t CountBelow(const TOpenIndexAtom& page);
    const TEnumIndexPage& Current() const { return Path.back(); }

    TRef<IIndexer> Indexer;
    TEnumIndexPages Path;
};

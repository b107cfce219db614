// The B-tree cursor's steps, seeks and key access. Between calls every page on the path is
// held at access 0, so a cursor never blocks a change made through its index.
#include "index/BTreeCursor.h"


#include <algorithm>
#include <cstring>

namespace {
constexpr TAccess ReadAccess = AccessReadOnly;

void Lower(IVirtualAtom* atom) noexcept {
    try {
        if (atom) atom->SetAccess(0);
    } catch (...) {}
}

void RaiseRead(IVirtualAtom* atom) {
    TAccess now = atom->GetAccess();
    if ((now | ReadAccess) != now) atom->SetAccess(now | ReadAccess);
}
} // namespace

// Gives the path's pages read rights for one operation and takes them back on every exit.
class TBTreeCursor::TPathAccess {
public:
    explicit TPathAccess(TBTreeCursor& cursor) : Cursor(cursor) {
        if (!cursor.Index) return;
        RaiseRead(cursor.Index->RootPage().Atom.get());
        for (auto& level : cursor.Path) RaiseRead(level.Page.Atom.get());
    }
    ~TPathAccess() {
        for (auto& level : Cursor.Path) Lower(level.Page.Atom.get());
        if (Cursor.Index) Lower(Cursor.Index->RootPage().Atom.get());
    }
    TPathAccess(const TPathAccess&) = delete;
    TPathAccess& operator=(const TPathAccess&) = delete;

private:
    TBTreeCursor& Cursor;
};

TBTreeCursor::TBTreeCursor(TBTreeIndex* index, TEnumIndexPages path)
    : TBaseBTreeCursor(index), Indexer(static_cast<IIndexer*>(index)), Path(std::move(path)) {}

void* TBTreeCursor::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IBidirectionalCursor, IIndexerCursor>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

void TBTreeCursor::CheckState(bool needPosition) {
    if (!Index || !Indexer) throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied);
    if (needPosition && (Path.empty() || Path.front().Page.Count == 0))
        throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied);
}

TEnumIndexPage TBTreeCursor::RootLevel() { return TEnumIndexPage{Index->RootPage(), -1, 0}; }

// Appends nothing and answers false when level has no child link child.
bool TBTreeCursor::OpenChild(const TEnumIndexPage& level, int32_t child, TEnumIndexPage& into, int32_t child0,
                             int32_t pos0) {
    IVirtualAtom* atom = level.Page.Atom.get();
    uint32_t link = Index->ChildLink(child);
    if (!atom->HasLink(link)) return false;
    into.Page = Index->ReadPage(atom->OpenLinkAccess(link, ReadAccess));
    into.Child = child0 == INT32_MIN ? into.Page.Count : child0;
    into.Position = pos0 == INT32_MIN ? into.Page.Count : pos0;
    return true;
}

bool TBTreeCursor::StepForward(TEnumIndexPages& path) {
    if (path.empty()) return false;
    ++path.back().Position;
    while (!path.empty()) {
        TEnumIndexPage& level = path.back();
        if (level.Child < level.Position) {
            ++level.Child;
            TEnumIndexPage child;
            if (OpenChild(level, level.Child, child, -1, 0)) path.push_back(std::move(child));
            continue;
        }
        if (level.Position < level.Page.Count) return true;
        path.pop_back();
    }
    return false;
}

bool TBTreeCursor::StepBackward(TEnumIndexPages& path) {
    while (!path.empty()) {
        TEnumIndexPage& level = path.back();
        if (level.Child >= level.Position) {
            TEnumIndexPage child;
            if (OpenChild(level, level.Child, child, INT32_MIN, INT32_MIN)) {
                path.push_back(std::move(child));
                continue;
            }
        }
        if (--level.Position >= 0) return true;
        path.pop_back();
        if (!path.empty()) --path.back().Child;
    }
    return false;
}

void TBTreeCursor::MoveFirst() {
    Path.clear();
    Path.push_back(RootLevel());
    for (;;) {
        TEnumIndexPage child;
        if (!OpenChild(Path.back(), 0, child, -1, 0)) return;
        Path.back().Child = 0;
        Path.push_back(std::move(child));
    }
}

void TBTreeCursor::MoveLast() {
    Path.clear();
    Path.push_back(RootLevel());
    for (;;) {
        TEnumIndexPage& level = Path.back();
        level.Child = level.Position = level.Page.Count - 1;
        TEnumIndexPage child;
        if (!OpenChild(level, level.Page.Count, child, -1, 0)) return;
        level.Child = level.Position = level.Page.Count;
        Path.push_back(std::move(child));
    }
}

bool TBTreeCursor::First() {
    CheckState(false);
    TPathAccess access(*this);
    MoveFirst();
    return Path.front().Page.Count > 0;
}

bool TBTreeCursor::Last() {
    CheckState(false);
    TPathAccess access(*this);
    MoveLast();
    return Path.front().Page.Count > 0;
}

bool TBTreeCursor::Next() {
    CheckState(true);
    TPathAccess access(*this);
    if (StepForward(Path)) return true;
    MoveLast();
    return false;
}

bool TBTreeCursor::Prior() {
    CheckState(true);
    TPathAccess access(*this);
    if (StepBackward(Path)) return true;
    MoveFirst();
    return false;
}

// Answered by a trial step on a copy of the path, so any path that stands on the first (last)
// key says so, however the cursor got there.
bool TBTreeCursor::IsFirst() {
    CheckState(true);
    TPathAccess access(*this);
    TEnumIndexPages trial = Path;
    return !StepBackward(trial);
}

bool TBTreeCursor::IsLast() {
    CheckState(true);
    TPathAccess access(*this);
    TEnumIndexPages trial = Path;
    return !StepForward(trial);
}

bool TBTreeCursor::IsEmpty() {
    CheckState(false);
    return Index->RootPage().Count == 0;
}

int32_t TBTreeCursor::CountBelow(const TOpenIndexAtom& page) {
    int32_t count = page.Count;
    for (int32_t i = 0; i <= page.Count; ++i) {
        uint32_t link = Index->ChildLink(i);
        if (page.Atom->HasLink(link)) count += CountBelow(Index->ReadPage(page.Atom->OpenLinkAccess(link, ReadAccess)));
    }
    return count;
}

int32_t TBTreeCursor::GetCount() {
    CheckState(false);
    TPathAccess access(*this);
    return CountBelow(Index->RootPage());
}

TRef<IVirtualAtom> TBTreeCursor::GetAtom() { return GetAtomAccess(Index ? Index->GetDefaultAccess() : 0); }

TRef<IVirtualAtom> TBTreeCursor::GetAtomAccess(TAccess access) {
    CheckState(true);
    TPathAccess guard(*this);
    return Current().Page.Atom->OpenLinkAccess(uint32_t(Current().Position), access);
}

TRef<IBidirectionalCursor> TBTreeCursor::Clone() {
    CheckState(false);
    return TRef<IBidirectionalCursor>(MakeObj<TBTreeCursor>(Index, Path));
}

void TBTreeCursor::Close() {
    for (auto& level : Path) Lower(level.Page.Atom.get());
    Path.clear();
    Indexer = nullptr;
    Index = nullptr;
}

TRef<IIndexer> TBTreeCursor::GetIndexer() { return Indexer; }

int32_t TBTreeCursor::GetKeyLength() {
    CheckState(true);
    return int32_t(Current().Page.Pairs[size_t(Current().Position)].Length);
}

int32_t TBTreeCursor::GetKeyBuf(void* p, int32_t size) {
    if (!p) throw EKVZError(IndexCode::NilPointer, IndexMsg::NilPointer);
    CheckState(true);
    TPathAccess access(*this);
    const TKeyPair& pair = Current().Page.Pairs[size_t(Current().Position)];
    uint32_t n = std::min(uint32_t(std::max(size, 0)), pair.Length);
    if (n == 0) return 0;
    return int32_t(Current().Page.Atom->Read(pair.Offset, {static_cast<uint8_t*>(p), n}));
}

std::string TBTreeCursor::GetKey() {
    CheckState(true);
    TPathAccess access(*this);
    return Index->ReadKey(Current().Page, Current().Position);
}

bool TBTreeCursor::SeekBuf(const void* p, int32_t len, uint8_t condition) {
    std::string_view key = BufferKey(p, len);
    CheckState(false);
    if (condition > SeekGreaterOrEqual)
        throw EKVZError(IndexCode::UnsupportedCondition, IndexMsg::UnsupportedCondition);
    TPathAccess access(*this);
    bool backward = condition == SeekLess || condition == SeekLessOrEqual;
    bool forward = condition == SeekGreater || condition == SeekGreaterOrEqual;
    TEnumIndexPages work{RootLevel()};
    bool found = false;
    for (;;) {
        TEnumIndexPage& level = work.back();
        int32_t pos = 0;
        bool exact = Index->SearchPage(level.Page, key, pos);
        level.Child = level.Position = pos;
        if (exact) {
            if (condition == SeekLess)
                found = StepBackward(work);
            else if (condition == SeekGreater)
                found = StepForward(work);
            else
                found = true;
            break;
        }
        TEnumIndexPage child;
        if (OpenChild(level, pos, child, -1, 0)) {
            work.push_back(std::move(child));
            continue;
        }
        if (backward)
            found = StepBackward(work);
        else if (forward)
            found = pos >= level.Page.Count ? StepForward(work) : true;
        break;
    }
    if (found) Path = std::move(work);
    return found;
}

bool TBTreeCursor::Seek(std::string_view key, uint8_t condition) {
    CheckState(false);
    return SeekBuf(key.data() ? key.data() : "", int32_t(key.size()), condition);
}

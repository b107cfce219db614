// The B-tree index: page reading and checking, search, insertion with split, deletion with
// merge and rotation, compaction and the text dump. Pages are atoms; entries move between
// pages by their links, with every atom involved held open so that none is dropped midway.
#include "index/BTreeIndex.h"

#include "index/BTreeCursor.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr TAccess NoAccess = 0;
constexpr TAccess ReadAccess = AccessReadOnly;
constexpr TAccess WriteAccess = AccessDefault;

[[noreturn]] void NotBTree() { throw EKVZError(IndexCode::NotBTree, IndexMsg::NotBTree); }

TAtomHandle HandleOf(IVirtualAtom* atom) {
    if (!atom) return 0;
    TRef<IAtomInfo> info = Query<IAtomInfo>(atom);
    return info ? info->GetAddress().Handle : 0;
}

} // namespace

bool IsValidPageSize(int32_t pageSize) {
    return pageSize % 2 == 0 && pageSize >= BTreeHeader::MinPageSize && pageSize <= BTreeHeader::MaxPageSize;
}

int CompareKeys(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    if (n) {
        int c = std::memcmp(a.data(), b.data(), n);
        if (c) return c < 0 ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

TAccessRaise::TAccessRaise(IVirtualAtom* atom, TAccess access) : Atom(atom), Saved(atom->GetAccess()) {
    if ((Saved | access) != Saved) atom->SetAccess(Saved | access);
}

TAccessRaise::~TAccessRaise() {
    try {
        Atom->SetAccess(Saved);
    } catch (...) {
        // Lowering rights cannot conflict; a closed atom has nothing to restore.
    }
}

// Raises the root page for one operation and leaves the root and the index atom at access 0,
// so between calls the index blocks no other open.
class TBTreeIndex::TOpGuard {
public:
    TOpGuard(TBTreeIndex& index, TAccess access) : Index(index) {
        TAccess now = index.Root.Atom->GetAccess();
        if ((now | access) != now) index.Root.Atom->SetAccess(now | access);
    }
    ~TOpGuard() {
        for (IVirtualAtom* atom : {Index.Root.Atom.get(), Index.IndexAtom.get()}) {
            try {
                if (atom) atom->SetAccess(NoAccess);
            } catch (...) {}
        }
    }
    TOpGuard(const TOpGuard&) = delete;
    TOpGuard& operator=(const TOpGuard&) = delete;

private:
    TBTreeIndex& Index;
};

// ---------------------------------------------------------------------------------------------
// Construction

TBTreeIndex::TBTreeIndex(IVirtualAtom* indexAtom, uint32_t rootLink, int32_t pageSize, std::string_view caps)
    : Caps(std::make_unique<TCapabilities>(static_cast<IUnknown*>(this), BTreeCapabilityText)), PageSize(pageSize),
      IndexAtom(indexAtom), RootLinkNo(rootLink) {
    if (!IsValidPageSize(pageSize)) NotBTree();
    Storage = indexAtom->GetStorage();
    Transaction = indexAtom->GetTransaction();
    AtomMaker = AtomMakerOf(indexAtom);
    DefaultAccess = TAccess(Storage->GetRights() & AccessDefault);
    TRef<IVirtualAtom> rootAtom;
    {
        TAccessRaise links(indexAtom, AccessReadLinks);
        rootAtom = indexAtom->OpenLinkAccess(rootLink, WriteAccess);
    }
    if (rootAtom) {
        Root = ReadPage(rootAtom);
    } else {
        Root = NewPage();
        TAccessRaise links(indexAtom, WriteAccess);
        indexAtom->SetLink(rootLink, Root.Atom.get());
    }
    Root.Atom->SetAccess(NoAccess);
    IndexAtom->SetAccess(NoAccess);
    if (!caps.empty() && !Caps->CheckCapabilities(caps))
        throw EKVZError(OstraCode::CapabilityNotSupported, OstraMsg::CapabilityNotSupported);
}

TBTreeIndex::~TBTreeIndex() = default;

void* TBTreeIndex::GetInterface(const TGUID& iid) {
    if (iid == ICapabilities::IID) return static_cast<ICapabilities*>(Caps.get());
    if (void* found = FindInterface<IIndexer, IBTreeDump>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

// ---------------------------------------------------------------------------------------------
// Pages

TOpenIndexAtom TBTreeIndex::ReadPage(TRef<IVirtualAtom> atom) const {
    TOpenIndexAtom page;
    page.Atom = std::move(atom);
    uint64_t dataSize = page.Atom->GetDataSize();
    std::vector<uint8_t> header(std::min<uint64_t>(dataSize, HeaderSize()));
    // A fresh page is only 8 bytes long: a short read is normal.
    page.Atom->Read(0, header);
    if (header.size() < BTreePage::FixedSize) NotBTree();
    int32_t count = int32_t(GetLE32(header, BTreePage::CountOffset));
    uint32_t dataEnd = GetLE32(header, BTreePage::DataEndOffset);
    if (count < 0 || count > PageSize) NotBTree();
    if (header.size() < BTreePage::FixedSize + uint64_t(count) * BTreePage::PairSize) NotBTree();
    if (dataEnd < HeaderSize() || dataEnd > std::max<uint64_t>(dataSize, HeaderSize())) NotBTree();
    page.Count = count;
    page.DataEnd = dataEnd;
    page.Pairs.resize(size_t(count));
    for (int32_t i = 0; i < count; ++i) {
        const size_t at = BTreePage::PairsOffset + size_t(i) * BTreePage::PairSize;
        TKeyPair pair{GetLE32(header, at), GetLE32(header, at + 4)};
        if (uint64_t(pair.Offset) + pair.Length > dataSize) NotBTree();
        page.Pairs[size_t(i)] = pair;
    }
    return page;
}

std::string TBTreeIndex::ReadKey(const TOpenIndexAtom& page, int32_t i) const {
    const TKeyPair& pair = page.Pairs[size_t(i)];
    std::string key(pair.Length, '\0');
    if (pair.Length) {
        uint32_t got = page.Atom->Read(pair.Offset, {reinterpret_cast<uint8_t*>(key.data()), key.size()});
        if (got != pair.Length) NotBTree();
    }
    return key;
}

bool TBTreeIndex::SearchPage(const TOpenIndexAtom& page, std::string_view key, int32_t& pos) const {
    int32_t lo = 0;
    int32_t n = page.Count;
    while (n > 0) {
        int32_t half = n / 2;
        int32_t mid = lo + half;
        int c = CompareKeys(key, ReadKey(page, mid));
        if (c == 0) {
            pos = mid;
            return true;
        }
        if (c < 0) {
            n = half;
        } else {
            lo = mid + 1;
            n = n - half - 1;
        }
    }
    pos = lo;
    return false;
}

TOpenIndexAtom TBTreeIndex::NewPage() {
    TOpenIndexAtom page;
    page.Atom = AtomMaker->NewAtom();
    page.Count = 0;
    page.DataEnd = HeaderSize();
    WritePage(page);
    return page;
}

// Writes Count, DataEnd and the live pairs; the rest of the header area is not meaningful.
void TBTreeIndex::WritePage(TOpenIndexAtom& page) {
    std::vector<uint8_t> bytes(BTreePage::FixedSize + size_t(page.Count) * BTreePage::PairSize);
    PutLE32(bytes, BTreePage::CountOffset, uint32_t(page.Count));
    PutLE32(bytes, BTreePage::DataEndOffset, page.DataEnd);
    for (int32_t i = 0; i < page.Count; ++i) {
        const size_t at = BTreePage::PairsOffset + size_t(i) * BTreePage::PairSize;
        PutLE32(bytes, at, page.Pairs[size_t(i)].Offset);
        PutLE32(bytes, at + 4, page.Pairs[size_t(i)].Length);
    }
    page.Atom->Write(0, bytes);
}

void TBTreeIndex::AppendKey(TOpenIndexAtom& page, int32_t i, std::string_view key) {
    if (!key.empty()) page.Atom->Write(page.DataEnd, AsBytes(key));
    page.Pairs[size_t(i)] = {page.DataEnd, uint32_t(key.size())};
    page.DataEnd += uint32_t(key.size());
}

// Rewrites the keys one after another in key order when dead bytes exceed the slack.
void TBTreeIndex::PackPage(TOpenIndexAtom& page) {
    uint64_t live = 0;
    for (int32_t i = 0; i < page.Count; ++i) live += page.Pairs[size_t(i)].Length;
    if (live + HeaderSize() + BTreePage::PackSlack >= page.DataEnd) return;
    std::string keys;
    keys.reserve(size_t(live));
    for (int32_t i = 0; i < page.Count; ++i) keys += ReadKey(page, i);
    uint32_t offset = HeaderSize();
    for (int32_t i = 0; i < page.Count; ++i) {
        page.Pairs[size_t(i)].Offset = offset;
        offset += page.Pairs[size_t(i)].Length;
    }
    page.Atom->SetDataSize(offset);
    if (!keys.empty()) page.Atom->Write(HeaderSize(), AsBytes(keys));
    page.DataEnd = offset;
}

TBTreeIndex::TMemPage TBTreeIndex::LoadMem(const TOpenIndexAtom& page) {
    TMemPage mem;
    mem.Left = page.Atom->OpenLinkAccess(ChildLink(0), NoAccess);
    mem.Entries.resize(size_t(page.Count));
    for (int32_t i = 0; i < page.Count; ++i) {
        auto& entry = mem.Entries[size_t(i)];
        entry.Key = ReadKey(page, i);
        entry.Value = page.Atom->OpenLinkAccess(uint32_t(i), NoAccess);
        entry.Right = page.Atom->OpenLinkAccess(ChildLink(i + 1), NoAccess);
    }
    return mem;
}

// Writes mem into page: keys compacted, header, and every link that differs from before (the
// page's links as loaded; nil for a fresh page). The atoms in mem and before are held open by
// the caller, so a link dropped here never deletes an atom that is about to be linked again.
void TBTreeIndex::StoreMem(TOpenIndexAtom& page, const TMemPage& mem, const TMemPage* before) {
    int32_t count = int32_t(mem.Entries.size());
    std::string keys;
    page.Count = count;
    page.Pairs.assign(size_t(count), {});
    uint32_t offset = HeaderSize();
    for (int32_t i = 0; i < count; ++i) {
        const std::string& key = mem.Entries[size_t(i)].Key;
        page.Pairs[size_t(i)] = {offset, uint32_t(key.size())};
        offset += uint32_t(key.size());
        keys += key;
    }
    page.DataEnd = offset;
    page.Atom->SetDataSize(offset);
    WritePage(page);
    if (!keys.empty()) page.Atom->Write(HeaderSize(), AsBytes(keys));

    size_t slots = size_t(2 * PageSize + 1);
    std::vector<IVirtualAtom*> want(slots, nullptr), had(slots, nullptr);
    auto fill = [&](std::vector<IVirtualAtom*>& links, const TMemPage& m) {
        links[size_t(PageSize)] = m.Left.get();
        for (size_t i = 0; i < m.Entries.size(); ++i) {
            links[i] = m.Entries[i].Value.get();
            links[size_t(PageSize) + i + 1] = m.Entries[i].Right.get();
        }
    };
    fill(want, mem);
    if (before) fill(had, *before);
    uint32_t needed = 0;
    for (size_t i = 0; i < slots; ++i) {
        if (want[i]) needed = uint32_t(i + 1);
        if (HandleOf(want[i]) != HandleOf(had[i])) page.Atom->SetLink(uint32_t(i), want[i]);
    }
    if (page.Atom->GetLinkCount() > needed) page.Atom->SetLinkCount(needed);
}

// Puts entry in at p of a page that has room, keeping the link slot layout.
void TBTreeIndex::InsertEntry(TOpenIndexAtom& page, int32_t p, const TMoveToPrevLevel& entry) {
    IVirtualAtom* atom = page.Atom.get();
    uint32_t lastChild = uint32_t(2 * PageSize);
    if (entry.Right) {
        if (atom->GetLinkCount() > lastChild) atom->DeleteLink(lastChild);
        atom->InsertLink(ChildLink(p + 1), entry.Right.get());
    }
    if (atom->GetLinkCount() >= uint32_t(PageSize)) atom->DeleteLink(uint32_t(PageSize - 1));
    atom->InsertLink(uint32_t(p), entry.Value.get());
    page.Pairs.insert(page.Pairs.begin() + p, TKeyPair{});
    ++page.Count;
    AppendKey(page, p, entry.Key);
    PackPage(page);
    WritePage(page);
}

// Takes entry p (its value link and the child right of it) out of the page, keeping the layout.
void TBTreeIndex::RemoveEntry(TOpenIndexAtom& page, int32_t p) {
    IVirtualAtom* atom = page.Atom.get();
    if (atom->GetLinkCount() > ChildLink(p + 1)) atom->DeleteLink(ChildLink(p + 1));
    uint32_t links = atom->GetLinkCount();
    if (uint32_t(p) < links) {
        atom->DeleteLink(uint32_t(p));
        if (links > uint32_t(PageSize)) atom->InsertLink(uint32_t(PageSize - 1), nullptr);
    }
    page.Pairs.erase(page.Pairs.begin() + p);
    --page.Count;
    PackPage(page);
    WritePage(page);
}

// ---------------------------------------------------------------------------------------------
// Insertion

// Inserts below page; true when page split, with the entry to carry up in carried.
bool TBTreeIndex::InsertInto(TOpenIndexAtom& page, std::string_view key, IVirtualAtom* value,
                             TMoveToPrevLevel& carried) {
    int32_t p = 0;
    if (SearchPage(page, key, p)) {
        page.Atom->SetLink(uint32_t(p), value);
        return false;
    }
    TMoveToPrevLevel entry{std::string(key), TRef<IVirtualAtom>(value), nullptr};
    if (page.Atom->HasLink(ChildLink(p))) {
        TOpenIndexAtom child = ReadPage(page.Atom->OpenLinkAccess(ChildLink(p), WriteAccess));
        if (!InsertInto(child, key, value, entry)) return false;
    }
    if (page.Count < PageSize) {
        InsertEntry(page, p, entry);
        return false;
    }
    TMemPage before = LoadMem(page);
    TMemPage all = before;
    all.Entries.insert(all.Entries.begin() + p, entry);
    size_t mid = size_t(PageSize / 2);
    carried = all.Entries[mid];
    TMemPage left{all.Left, {all.Entries.begin(), all.Entries.begin() + ptrdiff_t(mid)}};
    TMemPage right{carried.Right, {all.Entries.begin() + ptrdiff_t(mid) + 1, all.Entries.end()}};
    TOpenIndexAtom fresh = NewPage();
    StoreMem(fresh, right, nullptr);
    StoreMem(page, left, &before);
    carried.Right = fresh.Atom;
    return true;
}

void TBTreeIndex::ReplaceRoot(TRef<IVirtualAtom> atom) {
    {
        TAccessRaise links(IndexAtom.get(), WriteAccess);
        IndexAtom->SetLink(RootLinkNo, atom.get());
    }
    // A cursor may still hold the old root interface: it must not keep write rights.
    Root.Atom->SetAccess(NoAccess);
    Root = ReadPage(std::move(atom));
}

void TBTreeIndex::CheckKeyLength(size_t length) const {
    if (length > BTreeHeader::MaxKeyLength) throw Exception(StrFormat("Key too long %d bytes", int(length)));
}

void TBTreeIndex::InsertKeyBuf(const void* p, int32_t len, IVirtualAtom* atom) {
    std::string_view key = BufferKey(p, len);
    CheckKeyLength(key.size());
    TOpGuard guard(*this, WriteAccess);
    TMoveToPrevLevel carried;
    if (!InsertInto(Root, key, atom, carried)) return;
    TOpenIndexAtom root = NewPage();
    TMemPage mem{Root.Atom, {carried}};
    StoreMem(root, mem, nullptr);
    ReplaceRoot(root.Atom);
}

void TBTreeIndex::InsertKey(std::string_view key, IVirtualAtom* atom) {
    InsertKeyBuf(key.data() ? key.data() : "", int32_t(key.size()), atom);
}

TRef<IVirtualAtom> TBTreeIndex::AddKeyBuf(const void* p, int32_t len) {
    std::string_view key = BufferKey(p, len);
    CheckKeyLength(key.size());
    TRef<IVirtualAtom> value = AtomMaker->NewAtom();
    InsertKeyBuf(p, len, value.get());
    return value;
}

TRef<IVirtualAtom> TBTreeIndex::AddKey(std::string_view key) {
    return AddKeyBuf(key.data() ? key.data() : "", int32_t(key.size()));
}

// ---------------------------------------------------------------------------------------------
// Deletion

// Repairs child ci of parent (already open as child), which holds one key too few, by a merge
// with a sibling or a rotation through the parent.
void TBTreeIndex::Rebalance(TOpenIndexAtom& parent, int32_t ci, TOpenIndexAtom& child) {
    bool withRight = ci < parent.Count;
    int32_t si = withRight ? ci + 1 : ci - 1;
    int32_t sep = withRight ? ci : ci - 1;
    TOpenIndexAtom sibling = ReadPage(parent.Atom->OpenLinkAccess(ChildLink(si), WriteAccess));
    TOpenIndexAtom& leftPage = withRight ? child : sibling;
    TOpenIndexAtom& rightPage = withRight ? sibling : child;
    TMemPage left = LoadMem(leftPage);
    TMemPage right = LoadMem(rightPage);
    TMoveToPrevLevel separator{ReadKey(parent, sep), parent.Atom->OpenLinkAccess(uint32_t(sep), NoAccess), right.Left};
    std::vector<TMoveToPrevLevel> all = left.Entries;
    all.push_back(separator);
    all.insert(all.end(), right.Entries.begin(), right.Entries.end());
    int32_t d = (sibling.Count - child.Count) / 2;
    if (d < 1) {
        StoreMem(leftPage, TMemPage{left.Left, all}, &left);
        // The separator and the emptied right page leave the parent; the page is dropped when
        // the last open of it closes.
        RemoveEntry(parent, sep);
        return;
    }
    size_t leftCount = size_t(withRight ? child.Count + d : sibling.Count - d);
    TMoveToPrevLevel middle = all[leftCount];
    StoreMem(leftPage, TMemPage{left.Left, {all.begin(), all.begin() + ptrdiff_t(leftCount)}}, &left);
    StoreMem(rightPage, TMemPage{middle.Right, {all.begin() + ptrdiff_t(leftCount) + 1, all.end()}}, &right);
    parent.Atom->SetLink(uint32_t(sep), middle.Value.get());
    AppendKey(parent, sep, middle.Key);
    PackPage(parent);
    WritePage(parent);
}

// Removes the greatest entry below page into last; true when page is left underfull.
bool TBTreeIndex::TakeLast(TOpenIndexAtom& page, TMoveToPrevLevel& last) {
    if (page.Atom->HasLink(ChildLink(page.Count))) {
        TOpenIndexAtom child = ReadPage(page.Atom->OpenLinkAccess(ChildLink(page.Count), WriteAccess));
        if (TakeLast(child, last)) Rebalance(page, page.Count, child);
        return Underfull(page);
    }
    int32_t i = page.Count - 1;
    last.Key = ReadKey(page, i);
    last.Value = page.Atom->OpenLinkAccess(uint32_t(i), NoAccess);
    RemoveEntry(page, i);
    return Underfull(page);
}

// Entry p of an inner page takes the greatest entry below its left child (value link and key);
// true when that child is left underfull.
bool TBTreeIndex::ReplaceByPredecessor(TOpenIndexAtom& page, int32_t p, TOpenIndexAtom& child) {
    TMoveToPrevLevel predecessor;
    bool childUnderflow = TakeLast(child, predecessor);
    page.Atom->SetLink(uint32_t(p), predecessor.Value.get());
    AppendKey(page, p, predecessor.Key);
    PackPage(page);
    WritePage(page);
    return childUnderflow;
}

bool TBTreeIndex::DeleteFrom(TOpenIndexAtom& page, std::string_view key, bool& underflow) {
    underflow = false;
    int32_t p = 0;
    bool found = SearchPage(page, key, p);
    bool hasChild = page.Atom->HasLink(ChildLink(p));
    if (found && !hasChild) {
        RemoveEntry(page, p);
        underflow = Underfull(page);
        return true;
    }
    if (!hasChild) return false;
    TOpenIndexAtom child = ReadPage(page.Atom->OpenLinkAccess(ChildLink(p), WriteAccess));
    bool childUnderflow = false;
    if (found)
        childUnderflow = ReplaceByPredecessor(page, p, child);
    else
        found = DeleteFrom(child, key, childUnderflow);
    if (childUnderflow) Rebalance(page, p, child);
    underflow = Underfull(page);
    return found;
}

bool TBTreeIndex::DeleteKeyBuf(const void* p, int32_t len) {
    std::string_view key = BufferKey(p, len);
    TOpGuard guard(*this, WriteAccess);
    bool underflow = false;
    bool found = DeleteFrom(Root, key, underflow);
    if (Root.Count == 0 && Root.Atom->HasLink(ChildLink(0)))
        ReplaceRoot(Root.Atom->OpenLinkAccess(ChildLink(0), WriteAccess));
    return found;
}

bool TBTreeIndex::DeleteKey(std::string_view key) {
    return DeleteKeyBuf(key.data() ? key.data() : "", int32_t(key.size()));
}

void TBTreeIndex::Clear() {
    TOpGuard guard(*this, WriteAccess);
    Root.Atom->SetLinkCount(0);
    Root.Count = 0;
    Root.Pairs.clear();
    Root.DataEnd = HeaderSize();
    Root.Atom->SetDataSize(0);
    WritePage(Root);
}

// ---------------------------------------------------------------------------------------------
// Lookup

bool TBTreeIndex::FindKeyBufAccess(const void* p, int32_t len, TAccess access, TRef<IVirtualAtom>& atom) {
    atom = nullptr;
    std::string_view key = BufferKey(p, len);
    CheckKeyLength(key.size());
    TOpGuard guard(*this, ReadAccess);
    if (Root.Count == 0) return false;
    TOpenIndexAtom page = Root;
    for (;;) {
        int32_t pos = 0;
        if (SearchPage(page, key, pos)) {
            atom = page.Atom->OpenLinkAccess(uint32_t(pos), access);
            return bool(atom);
        }
        if (!page.Atom->HasLink(ChildLink(pos))) return false;
        page = ReadPage(page.Atom->OpenLinkAccess(ChildLink(pos), ReadAccess));
    }
}

bool TBTreeIndex::FindKeyAccess(std::string_view key, TAccess access, TRef<IVirtualAtom>& atom) {
    return FindKeyBufAccess(key.data() ? key.data() : "", int32_t(key.size()), access, atom);
}

bool TBTreeIndex::FindKeyBuf(const void* p, int32_t len, TRef<IVirtualAtom>& atom) {
    return FindKeyBufAccess(p, len, DefaultAccess, atom);
}

bool TBTreeIndex::FindKey(std::string_view key, TRef<IVirtualAtom>& atom) {
    return FindKeyAccess(key, DefaultAccess, atom);
}

bool TBTreeIndex::KeyExistsBuf(const void* p, int32_t len) {
    std::string_view key = BufferKey(p, len);
    TOpGuard guard(*this, ReadAccess);
    TOpenIndexAtom page = Root;
    for (;;) {
        int32_t pos = 0;
        if (SearchPage(page, key, pos)) return true;
        if (!page.Atom->HasLink(ChildLink(pos))) return false;
        page = ReadPage(page.Atom->OpenLinkAccess(ChildLink(pos), ReadAccess));
    }
}

bool TBTreeIndex::KeyExists(std::string_view key) {
    return KeyExistsBuf(key.data() ? key.data() : "", int32_t(key.size()));
}

// ---------------------------------------------------------------------------------------------
// Cursors

TRef<IIndexerCursor> TBTreeIndex::GetCursor() {
    TRef<TBTreeCursor> cursor = MakeObj<TBTreeCursor>(this, TEnumIndexPages{});
    cursor->First();
    return TRef<IIndexerCursor>(cursor);
}

bool TBTreeIndex::SeekCursorBuf(const void* p, int32_t len, TRef<IIndexerCursor>& cursor) {
    cursor = nullptr;
    TRef<TBTreeCursor> fresh = MakeObj<TBTreeCursor>(this, TEnumIndexPages{});
    if (!fresh->SeekBuf(p, len, SeekExact)) return false;
    cursor = TRef<IIndexerCursor>(fresh);
    return true;
}

bool TBTreeIndex::SeekCursor(std::string_view key, TRef<IIndexerCursor>& cursor) {
    return SeekCursorBuf(key.data() ? key.data() : "", int32_t(key.size()), cursor);
}

bool TBTreeIndex::SeekModifyingCursor(std::string_view, TRef<IModificatingCursor>& cursor) {
    cursor = nullptr;
    throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
}

bool TBTreeIndex::SeekModifyingCursorBuf(const void*, int32_t, TRef<IModificatingCursor>& cursor) {
    cursor = nullptr;
    throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
}

TRef<IModificatingCursor> TBTreeIndex::GetModifyingCursor() {
    throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
}

TRef<IVirtualStorage> TBTreeIndex::GetStorage() { return Storage; }
TRef<IStorageTransaction> TBTreeIndex::GetTransaction() { return Transaction; }
TRef<IVirtualAtom> TBTreeIndex::GetIndexAtom() { return IndexAtom; }

// ---------------------------------------------------------------------------------------------
// Dump

void TBTreeIndex::DumpPage(const TOpenIndexAtom& page, int depth, std::vector<std::string>& lines) {
    std::string indent(size_t(depth), ' ');
    auto dumpChild = [&](int32_t i) {
        if (!page.Atom->HasLink(ChildLink(i))) return false;
        DumpPage(ReadPage(page.Atom->OpenLinkAccess(ChildLink(i), ReadAccess)), depth + 1, lines);
        return true;
    };
    if (page.Atom->HasLink(ChildLink(0))) {
        lines.push_back(indent + "p0");
        dumpChild(0);
    }
    for (int32_t i = 0; i < page.Count; ++i) {
        std::string line = indent + ReadKey(page, i);
        if (!page.Atom->HasLink(uint32_t(i))) line += 'N';
        lines.push_back(line);
        dumpChild(i + 1);
    }
}

void TBTreeIndex::Dump(std::vector<std::string>& lines) {
    TOpGuard guard(*this, ReadAccess);
    DumpPage(Root, 0, lines);
}

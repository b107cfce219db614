// The trie indexer, its cursors and its factory: thin layers over TAtomTreeIndex that add the
// buffer forms, the capability text, the cursor re-find discipline and the factory checks.
#include "index/UKVZIndex.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr TAccess ValueAccess = AccessAll; // default access of found value atoms

[[noreturn]] void Raise(int32_t code, const char* message) { throw EKVZError(code, message); }

} // namespace

std::string_view BufferKey(const void* p, int32_t len) {
    if (!p) Raise(IndexCode::NilPointer, IndexMsg::NilPointer);
    return {static_cast<const char*>(p), size_t(std::max(len, 0))};
}

// ---------------------------------------------------------------------------------------------
// TIIndexer

TIIndexer::TIIndexer() = default;

TIIndexer::~TIIndexer() = default;

TRef<TIIndexer> TIIndexer::Create(IVirtualAtom* header, int32_t minLen, int32_t maxLen) {
    if (!header) Raise(IndexCode::NotAtom, IndexMsg::NotAtom);
    TRef<TIIndexer> indexer = MakeObj<TIIndexer>();
    indexer->Index = std::make_unique<TAtomTreeIndex>(TRef<IVirtualAtom>(header), minLen, maxLen);
    return indexer;
}

TRef<TIIndexer> TIIndexer::CreateNew(IVirtualStorage* storage, TRef<IVirtualAtom>& header, int32_t minLen,
                                     int32_t maxLen) {
    header = nullptr;
    if (!storage) Raise(IndexCode::NotStorage, IndexMsg::NotStorage);
    TRef<TIIndexer> indexer = MakeObj<TIIndexer>();
    indexer->Index = TAtomTreeIndex::CreateNew(storage, header, minLen, maxLen);
    return indexer;
}

void* TIIndexer::GetInterface(const TGUID& iid) {
    if (iid == ICapabilities::IID) {
        // Made at the first query: most indexers are opened for one lookup and never asked.
        if (!Caps) Caps = std::make_unique<TCapabilities>(static_cast<IUnknown*>(this), TrieCapabilityText);
        return static_cast<ICapabilities*>(Caps.get());
    }
    if (void* found = FindInterface<IIndexer, IAtomTreeIndexAccess, IIndexWalk>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TRef<IVirtualAtom> TIIndexer::AddKey(std::string_view key) { return Index->AddNew(key, nullptr); }

TRef<IVirtualAtom> TIIndexer::AddKeyBuf(const void* p, int32_t len) { return AddKey(BufferKey(p, len)); }

void TIIndexer::InsertKey(std::string_view key, IVirtualAtom* atom) {
    // A key without a value atom would be counted but never found.
    if (!atom) Raise(IndexCode::NotAtom, IndexMsg::NotAtom);
    Index->Add(key, atom);
}

void TIIndexer::InsertKeyBuf(const void* p, int32_t len, IVirtualAtom* atom) {
    InsertKey(p ? BufferKey(p, len) : std::string_view(), atom);
}

bool TIIndexer::KeyExists(std::string_view key) { return Index->Contains(key); }

bool TIIndexer::KeyExistsBuf(const void* p, int32_t len) { return KeyExists(BufferKey(p, len)); }

bool TIIndexer::FindKey(std::string_view key, TRef<IVirtualAtom>& atom) {
    return FindKeyAccess(key, ValueAccess, atom);
}

bool TIIndexer::FindKeyBuf(const void* p, int32_t len, TRef<IVirtualAtom>& atom) {
    atom = nullptr;
    return FindKey(BufferKey(p, len), atom);
}

bool TIIndexer::FindKeyAccess(std::string_view key, TAccess access, TRef<IVirtualAtom>& atom) {
    atom = nullptr;
    atom = Index->Find(key, access);
    return bool(atom);
}

bool TIIndexer::FindKeyBufAccess(const void* p, int32_t len, TAccess access, TRef<IVirtualAtom>& atom) {
    atom = nullptr;
    return FindKeyAccess(BufferKey(p, len), access, atom);
}

bool TIIndexer::SeekCursor(std::string_view key, TRef<IIndexerCursor>& cursor) {
    cursor = GetCursor();
    return cursor->Seek(key, SeekExact);
}

bool TIIndexer::SeekCursorBuf(const void* p, int32_t len, TRef<IIndexerCursor>& cursor) {
    cursor = GetCursor();
    return cursor->SeekBuf(p, len, SeekExact);
}

TRef<IIndexerCursor> TIIndexer::GetCursor() { return TRef<IIndexerCursor>(MakeObj<TIIndexerCursor>(this, "")); }

bool TIIndexer::SeekModifyingCursor(std::string_view key, TRef<IModificatingCursor>& cursor) {
    cursor = GetModifyingCursor();
    return cursor->Seek(key, SeekExact);
}

bool TIIndexer::SeekModifyingCursorBuf(const void* p, int32_t len, TRef<IModificatingCursor>& cursor) {
    cursor = GetModifyingCursor();
    return cursor->SeekBuf(p, len, SeekExact);
}

TRef<IModificatingCursor> TIIndexer::GetModifyingCursor() {
    return TRef<IModificatingCursor>(MakeObj<TIModificatingCursor>(this, ""));
}

bool TIIndexer::DeleteKey(std::string_view key) { return Index->Delete(key); }

bool TIIndexer::DeleteKeyBuf(const void* p, int32_t len) { return DeleteKey(BufferKey(p, len)); }

void TIIndexer::Clear() { Index->Clear(); }

void TIIndexer::WalkKeys(bool openValues, TAccess access, const TVisit& visit) {
    Index->Walk(openValues, access, visit);
}

void FindTrieValues(IVirtualStorage* maker, TAtomHandle header, const std::vector<std::string>& keys,
                    const IIndexWalk::TValueVisit& visit) {
    TAtomTreeIndex::FindValuesAt(maker, header, keys, visit);
}

TRef<IVirtualStorage> TIIndexer::GetStorage() { return Index->GetAtomMaker(); }

TRef<IStorageTransaction> TIIndexer::GetTransaction() { return Index->GetTransaction(); }

TRef<IVirtualAtom> TIIndexer::GetIndexAtom() { return Index->GetHeaderAtom(); }

// ---------------------------------------------------------------------------------------------
// Cursors

TIBidirectionalCursor::TIBidirectionalCursor(IIndexer* indexer, std::string_view startKey) : Indexer(indexer) {
    TRef<IAtomTreeIndexAccess> access = Query<IAtomTreeIndexAccess>(indexer);
    if (access) Index = access->GetIndexObject();
    if (!Index) Raise(IndexCode::NotAtom, IndexMsg::NotAtom);
    if (!startKey.empty() && Index->Contains(startKey)) {
        Key.assign(startKey);
        OnKey = true;
        Remember(true);
        return;
    }
    First();
}

void* TIBidirectionalCursor::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IBidirectionalCursor>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TAtomTreeIndex& TIBidirectionalCursor::Trie() {
    if (!Index || !Indexer) Raise(IndexCode::AccessDenied, OstraMsg::AccessDenied);
    return *Index;
}

// Positions the shared trie at this cursor's key again; skipped when nothing has moved this
// object's position since this cursor's own last operation left it there and the trie has not
// changed through any object.
bool TIBidirectionalCursor::ReFind() {
    TAtomTreeIndex& trie = Trie();
    if (trie.GetVersion() == KnownVersion && trie.GetChangeCount() == KnownChanges) return KnownPresent;
    bool present = trie.Contains(Key);
    Remember(present);
    return present;
}

void TIBidirectionalCursor::Remember(bool present) {
    KnownVersion = Index->GetVersion();
    KnownChanges = Index->GetChangeCount();
    KnownPresent = present;
}

void TIBidirectionalCursor::Settle(bool onKey) {
    OnKey = onKey;
    Key = OnKey ? Index->CurrentKey() : std::string();
    if (OnKey)
        Remember(true);
    else
        KnownVersion = NoVersion;
}

bool TIBidirectionalCursor::IsEmpty() {
    if (Trie().KeyCount() == 0) return true;
    return !ReFind();
}

int32_t TIBidirectionalCursor::GetCount() { return Trie().KeyCount(); }

bool TIBidirectionalCursor::First() {
    Settle(Trie().First());
    return !IsEmpty();
}

bool TIBidirectionalCursor::Last() {
    Settle(Trie().Last());
    return !IsEmpty();
}

// A cursor that stepped past an end stands on no key (unless its empty key text names the
// empty key); the test looks at this cursor's own state, not at the shared trie position.
bool TIBidirectionalCursor::Next() {
    if (!OnKey && !ReFind()) return false;
    if (IsEmpty()) return Last();
    Settle(Index->Next());
    return OnKey;
}

bool TIBidirectionalCursor::Prior() {
    if (!OnKey && !ReFind()) return false;
    if (IsEmpty()) return First();
    Settle(Index->Prior());
    return OnKey;
}

bool TIBidirectionalCursor::IsFirst() {
    if (IsEmpty()) return false;
    bool before = Index->Prior();
    ReFind();
    return !before;
}

bool TIBidirectionalCursor::IsLast() {
    if (IsEmpty()) return false;
    bool after = Index->Next();
    ReFind();
    return !after;
}

TRef<IVirtualAtom> TIBidirectionalCursor::GetAtom() { return GetAtomAccess(ValueAccess); }

// IsEmpty has positioned the shared trie at this cursor's key, so the value is the current one.
TRef<IVirtualAtom> TIBidirectionalCursor::GetAtomAccess(TAccess access) {
    if (IsEmpty()) return nullptr;
    return Index->CurrentValue(access);
}

TRef<IBidirectionalCursor> TIBidirectionalCursor::MakeClone(std::string_view startKey) {
    return TRef<IBidirectionalCursor>(MakeObj<TIBidirectionalCursor>(Indexer.get(), startKey));
}

TRef<IBidirectionalCursor> TIBidirectionalCursor::Clone() {
    Trie();
    TRef<IBidirectionalCursor> clone = MakeClone(Key);
    return clone;
}

void TIBidirectionalCursor::Close() {
    Indexer = nullptr;
    Index = nullptr;
}

void* TIIndexerCursor::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IIndexerCursor>(this, iid)) return found;
    return TIBidirectionalCursor::GetInterface(iid);
}

TRef<IBidirectionalCursor> TIIndexerCursor::MakeClone(std::string_view startKey) {
    return TRef<IBidirectionalCursor>(MakeObj<TIIndexerCursor>(Indexer.get(), startKey));
}

TRef<IIndexer> TIIndexerCursor::GetIndexer() { return Indexer; }

int32_t TIIndexerCursor::GetKeyLength() { return IsEmpty() ? -1 : int32_t(Key.size()); }

int32_t TIIndexerCursor::GetKeyBuf(void* p, int32_t size) {
    if (!p) Raise(IndexCode::NilPointer, IndexMsg::NilPointer);
    if (IsEmpty()) return -1;
    size_t n = std::min(size_t(std::max(size, 0)), Key.size());
    std::memcpy(p, Key.data(), n);
    return int32_t(n);
}

std::string TIIndexerCursor::GetKey() { return IsEmpty() ? std::string() : Key; }

bool TIIndexerCursor::SeekBuf(const void* p, int32_t len, uint8_t condition) {
    return Seek(BufferKey(p, len), condition);
}

bool TIIndexerCursor::Seek(std::string_view key, uint8_t condition) {
    if (condition != SeekExact) Raise(IndexCode::UnsupportedCondition, IndexMsg::UnsupportedCondition);
    OnKey = Trie().Contains(key);
    Key = OnKey ? std::string(key) : std::string();
    Remember(OnKey);
    return OnKey;
}

void* TIModificatingCursor::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IModificatingCursor>(this, iid)) return found;
    return TIIndexerCursor::GetInterface(iid);
}

TRef<IBidirectionalCursor> TIModificatingCursor::MakeClone(std::string_view startKey) {
    return TRef<IBidirectionalCursor>(MakeObj<TIModificatingCursor>(Indexer.get(), startKey));
}

void TIModificatingCursor::Delete() {
    if (IsEmpty()) return;
    Indexer->DeleteKey(Key);
    Settle(Index->IsPositioned());
}

void TIModificatingCursor::Insert(std::string_view key, IVirtualAtom* atom) {
    Trie();
    if (atom)
        Indexer->InsertKey(key, atom);
    else
        Indexer->AddKey(key);
    Key.assign(key);
    OnKey = true;
    Remember(true);
}

void TIModificatingCursor::InsertBuf(const void* p, int32_t len, IVirtualAtom* atom) {
    Insert(BufferKey(p, len), atom);
}

// ---------------------------------------------------------------------------------------------
// Factory

namespace {

// Refuses an indexer that does not meet the requirement text (an empty text always holds).
void CheckCaps(IIndexer* indexer, std::string_view caps) {
    if (caps.empty()) return;
    TRef<ICapabilities> capabilities = Query<ICapabilities>(indexer);
    if (!capabilities) Raise(IndexCode::NoCapabilities, IndexMsg::NoCapabilities);
    if (!capabilities->CheckCapabilities(caps)) Raise(IndexCode::IncompatibleVersions, IndexMsg::IncompatibleVersions);
}

} // namespace

void* TIIndexerFactory::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IIndexerFactory>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TRef<IIndexer> TIIndexerFactory::OpenIndex(IVirtualAtom* atom, std::string_view caps, std::string_view) {
    if (!atom) Raise(IndexCode::NotAtom, IndexMsg::NotAtom);
    TRef<IIndexer> indexer(TIIndexer::Create(atom, 0, 0));
    CheckCaps(indexer.get(), caps);
    return indexer;
}

TRef<IIndexer> TIIndexerFactory::CreateIndex(IVirtualStorage* storage, TRef<IVirtualAtom>& indexAtom,
                                             std::string_view caps, std::string_view) {
    indexAtom = nullptr;
    if (!storage) Raise(IndexCode::NotStorage, IndexMsg::NotStorage);
    TRef<IVirtualAtom> header;
    TRef<IIndexer> indexer(TIIndexer::CreateNew(storage, header, 0, 0));
    CheckCaps(indexer.get(), caps);
    indexAtom = header;
    return indexer;
}

// Opens the trie already linked at owner's link (when its header is valid); otherwise makes one
// in owner's transaction (or storage) and links it there.
TRef<IIndexer> TIIndexerFactory::OpenOrCreateIndex(IVirtualAtom* owner, int32_t linkNo, std::string_view caps,
                                                   std::string_view params) {
    if (!owner) Raise(IndexCode::NotAtom, IndexMsg::NotAtom);
    uint32_t link = uint32_t(linkNo);
    if (TRef<IVirtualAtom> linked = owner->OpenLink(link)) {
        if (TAtomTreeIndex::CheckHeader(linked.get()) == ATICode::Ok) return OpenIndex(linked.get(), caps, params);
    }
    TRef<IVirtualAtom> header;
    TRef<IIndexer> indexer = CreateIndex(AtomMakerOf(owner).get(), header, caps, params);
    owner->SetLink(link, header.get());
    return indexer;
}

bool TIIndexerFactory::IsIndex(IVirtualAtom* atom) { return TAtomTreeIndex::CheckHeader(atom) == ATICode::Ok; }

TRef<IIndexerFactory> NewTrieIndexFactory() { return TRef<IIndexerFactory>(MakeObj<TIIndexerFactory>()); }

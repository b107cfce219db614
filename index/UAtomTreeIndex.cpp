// The trie index core: header checks, the growing walk that adds keys, and lookups, ordered
// steps and clearing expressed over the trie reader (TrieReader), which reads the nodes.
#include "index/UAtomTreeIndex.h"

#include "platform/ByteOrder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Messages of the header checks, by code (UTF-8).
constexpr std::array<const char*, 6> ATIMessages = {
    "Усе окей!",          "Это не ATI!",        "Указанный ATI не совместим!",
    "Нет заголовка ATI!", "Непонятная ошибка!", "Не указан Storage!",
};

constexpr TAccess NoAccess = 0;
constexpr TAccess ReadAccess = AccessReadOnly; // read data and links
constexpr TAccess WriteAccess = AccessDefault; // read and write data and links

void Raise(IVirtualAtom* atom, TAccess access) {
    TAccess now = atom->GetAccess();
    if ((now | access) != now) atom->SetAccess(now | access);
}

using TrieNode::IsBranch;
using TrieNode::LinkOfPos;
using TrieNode::PosOfLink;

// Which links of an open node hold a child, for the descent.
struct TOpenHasLink {
    IVirtualAtom* Node;
    bool operator()(uint32_t link) const { return Node->HasLink(link); }
};

uint8_t OwnOf(std::string_view text) { return text.size() > ATINode::OwnPos ? uint8_t(text[ATINode::OwnPos]) : 0; }

std::array<uint8_t, ATIHeader::Size> HeaderBytes(const TATIHeader& header) {
    std::array<uint8_t, ATIHeader::Size> bytes{};
    auto id = header.Id.Bytes();
    std::copy(id.begin(), id.end(), bytes.begin() + ATIHeader::IdOffset);
    bytes[ATIHeader::SignatureOffset] = uint8_t(ATIHeader::Signature.size());
    std::memcpy(bytes.data() + ATIHeader::SignatureOffset + 1, ATIHeader::Signature.data(),
                ATIHeader::Signature.size());
    bytes[ATIHeader::FlagOffset] = header.Flag;
    bytes[ATIHeader::VersionOffset] = header.Version;
    PutLE32(bytes, ATIHeader::CountOffset, uint32_t(header.Count));
    return bytes;
}

std::string ShortString(const uint8_t* at, size_t maxLen) {
    size_t len = std::min<size_t>(at[0], maxLen);
    return std::string(reinterpret_cast<const char*>(at + 1), len);
}

} // namespace

TATIError::TATIError(int32_t code)
    : Exception(code >= 0 && size_t(code) < ATIMessages.size() ? ATIMessages[size_t(code)] : ATIMessages[4]),
      Code(code) {}

// ---------------------------------------------------------------------------------------------
// Prefix cache

TCacheVA::TCacheVA(int32_t minLen, int32_t maxLen)
    : MinLen(std::clamp(minLen, 0, 255)), MaxLen(std::clamp(std::max(minLen, maxLen), 0, 255)) {
    if (MinLen != 0) Entries.resize(size_t(MaxLen - MinLen + 1) * 256);
}

void TCacheVA::Clear() {
    if (Empty) return;
    for (auto& entry : Entries) {
        entry.Prefix.clear();
        entry.Node = nullptr;
    }
    Empty = true;
}

TCacheAtom* TCacheVA::Slot(std::string_view prefix) {
    int32_t len = int32_t(prefix.size());
    if (Entries.empty() || len < MinLen || len > MaxLen || len == 0) return nullptr;
    return &Entries[size_t(len - MinLen) * 256 + uint8_t(prefix.back())];
}

TRef<IVirtualAtom> TCacheVA::Lookup(std::string_view prefix) {
    TCacheAtom* slot = Slot(prefix);
    if (!slot || !slot->Node || slot->Prefix != prefix) return nullptr;
    return slot->Node;
}

void TCacheVA::Store(std::string_view prefix, const TRef<IVirtualAtom>& node) {
    TCacheAtom* slot = Slot(prefix);
    if (!slot || !node) return;
    slot->Prefix.assign(prefix);
    slot->Node = node;
    Empty = false;
}

// ---------------------------------------------------------------------------------------------
// Header

// The header in the stored bytes of either layout; shorter bytes read as if zeros followed.
TATIHeader TAtomTreeIndex::HeaderOf(std::span<const uint8_t> stored) {
    TATIHeader header;
    if (stored.size() == ATIHeader::LegacySize) {
        std::array<uint8_t, ATIHeader::LegacySize> bytes{};
        std::copy(stored.begin(), stored.end(), bytes.begin());
        header.Signature = ShortString(bytes.data() + ATIHeader::LegacySignatureOffset, 4);
        header.Flag = bytes[ATIHeader::LegacyFlagOffset];
        header.Version = bytes[ATIHeader::LegacyVersionOffset];
        header.Count = int32_t(GetLE32(bytes, ATIHeader::LegacyCountOffset));
        header.Id = TGUID::FromBytes(std::span(bytes).subspan(ATIHeader::LegacyIdOffset, TGUID::ByteSize));
        return header;
    }
    std::array<uint8_t, ATIHeader::Size> bytes{};
    std::copy_n(stored.begin(), std::min(stored.size(), bytes.size()), bytes.begin());
    header.Id = TGUID::FromBytes(std::span(bytes).subspan(ATIHeader::IdOffset, TGUID::ByteSize));
    header.Signature = ShortString(bytes.data() + ATIHeader::SignatureOffset, 3);
    header.Flag = bytes[ATIHeader::FlagOffset];
    header.Version = bytes[ATIHeader::VersionOffset];
    header.Count = int32_t(GetLE32(bytes, ATIHeader::CountOffset));
    return header;
}

IVirtualAtom* TAtomTreeIndex::CheckHeaderOrRaise(IVirtualAtom* atom) {
    if (int32_t code = CheckHeader(atom)) throw TATIError(code);
    return atom;
}

TATIHeader TAtomTreeIndex::ReadHeader(IVirtualAtom* atom) {
    TAccessScope read(atom, AccessReadData);
    return HeaderOf(atom->GetBytes());
}

int32_t TAtomTreeIndex::CheckHeader(IVirtualAtom* atom) {
    if (!atom) return ATICode::NoHeader;
    TAccessScope read(atom, AccessReadData);
    return HeaderCode(atom->GetBytes());
}

int32_t TAtomTreeIndex::HeaderCode(std::span<const uint8_t> stored) {
    if (stored.size() != ATIHeader::Size && stored.size() != ATIHeader::LegacySize) return ATICode::NotATI;
    TATIHeader header = HeaderOf(stored);
    if (header.Signature != ATIHeader::Signature) return ATICode::NotATI;
    if (header.Id != ATIHeader::TypeId) return ATICode::Incompatible;
    if (header.Version != ATIHeader::Version) return ATICode::Incompatible;
    return ATICode::Ok;
}

// Read from the header once for each state of the trie: a walk asks at every step, and each
// key added or deleted asks again.
int32_t TAtomTreeIndex::KeyCount() { return CurrentHeader().Count; }

const TATIHeader& TAtomTreeIndex::CurrentHeader() {
    if (HeaderKnown && HeaderAt == Changes.Get()) return Header;
    Header = ReadHeader(HeaderAtom.get());
    HeaderAt = Changes.Get();
    HeaderKnown = true;
    return Header;
}

// Writes the key count and marks the trie changed, knowing the header it wrote.
void TAtomTreeIndex::WriteCount(int32_t count) {
    TATIHeader header = CurrentHeader();
    header.Count = count;
    auto bytes = HeaderBytes(header);
    {
        TAccessScope write(HeaderAtom.get(), WriteAccess);
        // Written over in place; a longer (older) header is cut to this one.
        HeaderAtom->Write(0, bytes);
        HeaderAtom->SetDataSize(uint32_t(bytes.size()));
    }
    Changed();
    Header = header;
    HeaderAt = Changes.Get();
}

// ---------------------------------------------------------------------------------------------
// Construction

TAtomTreeIndex::TAtomTreeIndex(TRef<IVirtualAtom> header, int32_t minLen, int32_t maxLen)
    : Cache(minLen, maxLen), CacheOn(minLen != 0), Changes(CheckHeaderOrRaise(header.get())) {
    SeenChanges = Changes.Get();
    HeaderAtom = header;
    Transaction = header->GetTransaction();
    AtomMaker = AtomMakerOf(header.get());
    {
        TAccessScope links(header.get(), AccessReadLinks);
        RootNode = header->OpenLinkAccess(ATINode::HeaderRootLink, NoAccess);
    }
    if (!RootNode) {
        TRef<IVirtualAtom> root = AtomMaker->NewAtom();
        root->SetText(ATINode::EmptyRoot);
        TAccessScope links(header.get(), WriteAccess);
        header->SetLink(ATINode::HeaderRootLink, root.get());
        RootNode = root;
        Changed();
    } else {
        // Only a root with no own character is repaired, so a read-only file opens untouched.
        TAccessScope read(RootNode.get(), ReadAccess);
        if (RootNode->GetText().size() < ATINode::EmptyRoot.size()) {
            TAccessScope write(RootNode.get(), WriteAccess);
            RootNode->SetText(ATINode::EmptyRoot);
            Changed();
        }
    }
    RootNode->SetAccess(NoAccess);
    HeaderAtom->SetAccess(NoAccess);
    Reader.emplace(*AtomMaker, &Changes);
    Reader->SetRoot(RootNode.get());
    RootHandle = Reader->HandleOf(RootNode.get());
}

// A commit carries a transaction's changes up only once every atom in it is closed, so the
// objects that changed the trie say so once more as they go.
TAtomTreeIndex::~TAtomTreeIndex() {
    if (MadeChanges) Changes.Bump();
}

std::unique_ptr<TAtomTreeIndex> TAtomTreeIndex::CreateNew(IVirtualStorage* storage, TRef<IVirtualAtom>& header,
                                                          int32_t minLen, int32_t maxLen) {
    header = nullptr;
    if (!storage) throw TATIError(ATICode::NoStorage);
    TRef<IVirtualAtom> atom = storage->NewAtom();
    TATIHeader fresh;
    fresh.Id = ATIHeader::TypeId;
    fresh.Flag = 1;
    fresh.Version = ATIHeader::Version;
    auto bytes = HeaderBytes(fresh);
    atom->Write(0, bytes);
    auto index = std::make_unique<TAtomTreeIndex>(atom, minLen, maxLen);
    header = atom;
    return index;
}

// ---------------------------------------------------------------------------------------------
// Held atoms between calls

class TAtomTreeIndex::TIdleGuard {
public:
    explicit TIdleGuard(TAtomTreeIndex& index) : Index(index) {
        ++index.Version;
        index.Sync();
    }
    ~TIdleGuard() { Index.Idle(); }

private:
    TAtomTreeIndex& Index;
};

// The held atoms go back to access 0, so between calls the index blocks no other open.
void TAtomTreeIndex::Idle() noexcept {
    for (IVirtualAtom* atom : {RootNode.get(), HeaderAtom.get()}) {
        try {
            atom->SetAccess(NoAccess);
        } catch (...) {}
    }
}

void TAtomTreeIndex::Sync() {
    if (Changes.Get() == SeenChanges) return;
    SeenChanges = Changes.Get();
    Cache.Clear();
    Reader->ForgetAll();
}

void TAtomTreeIndex::Changed() {
    Changes.Bump();
    SeenChanges = Changes.Get();
    MadeChanges = true;
}

// The atom a link of the trie holds, opened as following the link opens it: on a read-only
// file with at most the rights it grants.
TRef<IVirtualAtom> TAtomTreeIndex::OpenAt(TAtomHandle handle, TAccess access) {
    return Reader->Open(handle, TAccess(access & AtomMaker->GetRights()));
}

// ---------------------------------------------------------------------------------------------
// Growing the trie

TRef<IVirtualAtom> TAtomTreeIndex::NewNode(IVirtualAtom* parent, std::string_view text) {
    TRef<IVirtualAtom> node = AtomMaker->NewAtom();
    node->SetText(text);
    node->SetLink(ATINode::ParentLink, parent);
    return node;
}

// The branch child of node for byte b, made when missing. text is node's text, kept current.
TRef<IVirtualAtom> TAtomTreeIndex::AddChild(IVirtualAtom* node, std::string& text, uint8_t b) {
    std::string key(1, char(b));
    size_t pos = 0;
    if (uint32_t link = TrieNode::ChildFor(text, TOpenHasLink{node}, key, pos))
        return node->OpenLinkAccess(link, WriteAccess);
    Reader->Forget(Reader->HandleOf(node));
    TRef<IVirtualAtom> child = NewNode(node, std::string(1, ATINode::Branch) + char(b));
    uint32_t link = ATINode::FirstChildLink;
    while (node->HasLink(link)) ++link;
    node->SetLink(link, child.get());
    size_t at = PosOfLink(link);
    if (text.size() <= at) text.resize(at + 1, char(b));
    text[at] = char(b);
    node->SetText(text);
    return child;
}

// Grows the trie at node for key[pos..]; returns the node the walk goes on from and moves pos
// to the last byte consumed.
TRef<IVirtualAtom> TAtomTreeIndex::Extend(IVirtualAtom* node, std::string_view key, size_t& pos) {
    Reader->Forget(Reader->HandleOf(node));
    std::string text = node->GetText();
    std::string_view tail = key.substr(pos);
    if (text.size() <= ATINode::FirstChildPos) {
        // A node without children becomes a chain whose edge is the whole tail.
        std::string chain(1, ATINode::Chain);
        chain += char(OwnOf(text));
        chain += tail;
        node->SetText(chain);
        TRef<IVirtualAtom> child = NewNode(node, std::string(1, ATINode::Branch) + key[pos]);
        node->SetLink(ATINode::FirstChildLink, child.get());
        pos = key.size() - 1;
        return child;
    }
    if (IsBranch(text)) return AddChild(node, text, uint8_t(key[pos]));
    std::string edge = text.substr(ATINode::FirstChildPos);
    if (edge == tail) {
        pos = key.size() - 1;
        return TRef<IVirtualAtom>(node);
    }
    if (edge.size() > 1) {
        // Peel the first edge byte off: a new chain takes the rest of the edge and the old child.
        TRef<IVirtualAtom> oldChild = node->OpenLinkAccess(ATINode::FirstChildLink, WriteAccess);
        Reader->Forget(Reader->HandleOf(oldChild.get()));
        TRef<IVirtualAtom> chain = NewNode(node, std::string(1, ATINode::Chain) + edge);
        chain->SetLink(ATINode::FirstChildLink, oldChild.get());
        node->SetLink(ATINode::FirstChildLink, chain.get());
        oldChild->SetLink(ATINode::ParentLink, chain.get());
        std::string childText = oldChild->GetText();
        if (childText.size() > ATINode::OwnPos) {
            childText[ATINode::OwnPos] = edge[1];
            oldChild->SetText(childText);
        }
        edge.resize(1);
    }
    text = std::string(1, ATINode::Branch) + char(OwnOf(text)) + edge;
    node->SetText(text);
    return AddChild(node, text, uint8_t(key[pos]));
}

// One walk with opens for writing, from the deepest node of key's path the learnt nodes reach:
// growing changes only the node where the path ends and what it adds below. A chain split
// clears the prefix cache. The caller has raised the root.
TRef<IVirtualAtom> TAtomTreeIndex::GrowPath(std::string_view key) {
    size_t pos = 0;
    TAtomHandle start = Reader->LearntPath(key, pos);
    TRef<IVirtualAtom> cur = start == RootHandle ? RootNode : OpenAt(start, WriteAccess);
    while (pos < key.size()) {
        std::string text = cur->GetText();
        size_t next = pos;
        IVirtualAtom* node = cur.get();
        uint32_t link = TrieNode::ChildFor(text, TOpenHasLink{node}, key, next);
        TRef<IVirtualAtom> child;
        if (link) {
            child = node->OpenLinkAccess(link, WriteAccess);
            Reader->Learn(Reader->HandleOf(node), text, link, Reader->HandleOf(child.get()));
            pos = next;
        } else {
            if (!IsBranch(text)) Cache.Clear();
            child = Extend(node, key, pos);
            ++pos;
        }
        cur = std::move(child);
    }
    return cur;
}

// ---------------------------------------------------------------------------------------------
// Keys

void TAtomTreeIndex::Add(std::string_view key, IVirtualAtom* atom) { AddNew(key, atom); }

TRef<IVirtualAtom> TAtomTreeIndex::AddNew(std::string_view key, IVirtualAtom* atom) {
    TIdleGuard idle(*this);
    RootNode->SetAccess(AccessAll);
    TRef<IVirtualAtom> node = GrowPath(key);
    TRef<IVirtualAtom> value(atom);
    if (!value) {
        value = AtomMaker->NewAtom();
        value->SetText(key);
    }
    Raise(node.get(), WriteAccess);
    bool had = node->HasLink(ATINode::ValueLink);
    Reader->Forget(Reader->HandleOf(node.get()));
    node->SetLink(ATINode::ValueLink, value.get());
    if (had)
        Changed();
    else
        WriteCount(KeyCount() + 1);
    Reader->SetPosition(key);
    Positioned = true;
    return value;
}

// Where the prefix cache is on, the lookup starts at the node of the longest prefix it holds,
// and a key's node found with a length in its range is kept there.
bool TAtomTreeIndex::Lookup(std::string_view key, TAtomHandle& value) {
    if (!CacheOn) return Reader->Find(key, value);
    for (int32_t a = std::min<int32_t>(int32_t(key.size()), Cache.MaxLen); a >= Cache.MinLen && a > 0; --a)
        if (TRef<IVirtualAtom> node = Cache.Lookup(key.substr(0, size_t(a))))
            return Reader->Find(key, value, Reader->HandleOf(node.get()), size_t(a));
    bool found = Reader->Find(key, value);
    if (found && !key.empty() && int32_t(key.size()) >= Cache.MinLen && int32_t(key.size()) <= Cache.MaxLen)
        Cache.Store(key, OpenAt(Reader->Found(), NoAccess));
    return found;
}

// The value of key, opened with access; the position is left at its node, or where the lookup
// stopped. Only the value is opened.
TRef<IVirtualAtom> TAtomTreeIndex::Find(std::string_view key, TAccess access) {
    TIdleGuard idle(*this);
    RootNode->SetAccess(ReadAccess);
    TAtomHandle at = 0;
    TRef<IVirtualAtom> value;
    Positioned = false;
    if (Lookup(key, at) && at) value = OpenAt(at, access);
    Positioned = bool(value);
    return value;
}

bool TAtomTreeIndex::Contains(std::string_view key) {
    TIdleGuard idle(*this);
    RootNode->SetAccess(ReadAccess);
    TAtomHandle at = 0;
    Positioned = false;
    Positioned = Lookup(key, at) && at;
    return Positioned;
}

bool TAtomTreeIndex::Delete(std::string_view key) {
    TIdleGuard idle(*this);
    RootNode->SetAccess(ReadAccess);
    Positioned = false;
    TAtomHandle value = 0;
    if (!Lookup(key, value)) {
        Reader->ClearPosition();
        return false;
    }
    Cache.Clear();
    bool had = value != 0;
    if (had) {
        TAtomHandle at = Reader->Found();
        TRef<IVirtualAtom> node = Reader->Open(at, ReadAccess);
        Raise(node.get(), AccessAll);
        Reader->Forget(at);
        node->SetLink(ATINode::ValueLink, nullptr);
        WriteCount(KeyCount() - 1);
        node->SetAccess(NoAccess);
    }
    Positioned = Reader->Next();
    return had;
}

// ---------------------------------------------------------------------------------------------
// Ordered walk

const std::string& TAtomTreeIndex::CurrentKey() const {
    static const std::string none;
    return Positioned ? Reader->Key() : none;
}

bool TAtomTreeIndex::Settle(bool onKey) {
    Positioned = onKey;
    return onKey;
}

bool TAtomTreeIndex::Step(bool forward) {
    TIdleGuard idle(*this);
    Cache.Clear();
    Positioned = false;
    return Settle(forward ? Reader->Next() : Reader->Prior());
}

bool TAtomTreeIndex::Next() { return Step(true); }
bool TAtomTreeIndex::Prior() { return Step(false); }

bool TAtomTreeIndex::First() {
    TIdleGuard idle(*this);
    Cache.Clear();
    Positioned = false;
    return Settle(Reader->First());
}

bool TAtomTreeIndex::Last() {
    TIdleGuard idle(*this);
    Cache.Clear();
    Positioned = false;
    return Settle(Reader->Last());
}

TRef<IVirtualAtom> TAtomTreeIndex::CurrentValue(TAccess access) {
    TAtomHandle value = Reader->ValueHere();
    return value ? OpenAt(value, access) : nullptr;
}

void TAtomTreeIndex::StartPass() {
    Idle();
    Cache.Clear();
    Positioned = false;
}

// Values opened as following their links opens them. A change to the trie made by visit
// through another object is taken in: the walk goes on from the key it stood on.
void TAtomTreeIndex::Walk(bool openValues, TAccess access,
                          const TFunctionRef<void(std::string_view key, IVirtualAtom* value)>& visit) {
    if (!openValues) {
        WalkValues(false, [&](std::string_view key, auto, auto) { visit(key, nullptr); });
        return;
    }
    TIdleGuard idle(*this);
    StartPass();
    for (bool onKey = Reader->First(); onKey; onKey = Reader->Next()) {
        TRef<IVirtualAtom> value = OpenAt(Reader->ValueHere(), access);
        visit(Reader->Key(), value.get());
    }
}

void TAtomTreeIndex::WalkValues(bool readValues, const TValueLinksVisit& visit) {
    TIdleGuard idle(*this);
    StartPass();
    for (bool onKey = Reader->First(); onKey; onKey = Reader->Next()) {
        if (readValues) {
            const TAtomContent& value = Reader->Value();
            visit(Reader->Key(), value.Data, value.Links);
        } else {
            visit(Reader->Key(), {}, {});
        }
        Reader->CheckUnchanged();
    }
}

// One pass over every node, depth first, clearing each value link met; the nodes stay, as
// deletion keeps them. Only a node holding a value is opened, to drop it. A damaged trie whose
// links go round, or share nodes beyond what the file holds, ends the pass with the trie's error.
void TAtomTreeIndex::Clear() {
    TIdleGuard idle(*this);
    StartPass();
    Reader->ForgetAll();
    Reader->SetPosition({});
    Reader->StartCount();
    bool changed = false;
    std::vector<TAtomHandle> pending{RootHandle};
    TAtomContent node;
    while (!pending.empty()) {
        TAtomHandle handle = pending.back();
        pending.pop_back();
        Reader->CountNode();
        Reader->Read(handle, node);
        std::string_view text(reinterpret_cast<const char*>(node.Data.data()), node.Data.size());
        auto linkOf = [&node](uint32_t link) { return link < node.Links.size() ? node.Links[link] : 0; };
        if (linkOf(ATINode::ValueLink)) {
            TRef<IVirtualAtom> atom = Reader->Open(handle, AccessReadLinks | AccessWriteLinks);
            Raise(atom.get(), AccessReadLinks | AccessWriteLinks);
            atom->SetLink(ATINode::ValueLink, nullptr);
            changed = true;
        }
        // A chain has its one child in the first child link; its other text bytes are the edge.
        // The children go on the stack last first, so they are cleared in link order.
        size_t end = IsBranch(text) ? text.size() : std::min(text.size(), ATINode::FirstChildPos + 1);
        for (size_t pos = end; pos-- > ATINode::FirstChildPos;)
            if (TAtomHandle child = linkOf(LinkOfPos(pos))) pending.push_back(child);
    }
    if (changed || KeyCount() != 0)
        WriteCount(0);
    else
        Changed();
}

// ---------------------------------------------------------------------------------------------
// Batch lookups

void TAtomTreeIndex::FindValues(const std::vector<std::string>& keys,
                                const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    TIdleGuard idle(*this);
    StartPass();
    Reader->SetPosition({});
    Reader->FindEach(RootHandle, keys, visit);
}

void TAtomTreeIndex::FindValuesAt(
    IVirtualStorage* maker, TAtomHandle header, const std::vector<std::string>& keys,
    const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    TTrieReader reader(*maker);
    TAtomContent content;
    reader.Read(header, content);
    if (int32_t code = HeaderCode(content.Data)) throw TATIError(code);
    // A trie without a root holds no key.
    if (ATINode::HeaderRootLink < content.Links.size())
        if (TAtomHandle root = content.Links[ATINode::HeaderRootLink]) reader.FindEach(root, keys, visit);
}

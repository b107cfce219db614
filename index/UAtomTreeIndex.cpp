// The trie index core: header checks, the path walk that finds and grows the trie, and the
// ordered walk (preorder, children by ascending byte) around the remembered position.
#include "index/UAtomTreeIndex.h"

#include "platform/ByteOrder.h"
#include "storage/AtomPeek.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>

namespace {

// Messages of the header checks, by code (UTF-8).
constexpr std::array<const char*, 6> ATIMessages = {
    "Усе окей!",          "Это не ATI!",        "Указанный ATI не совместим!",
    "Нет заголовка ATI!", "Непонятная ошибка!", "Не указан Storage!",
};

constexpr TAccess NoAccess = 0;
constexpr TAccess ReadAccess = AccessReadOnly; // read data and links
constexpr TAccess WriteAccess = AccessDefault; // read and write data and links

// Raises an open's access for the life of the scope and puts the saved bits back on every exit.
class TAccessScope {
public:
    TAccessScope(IVirtualAtom* atom, TAccess access) : Atom(atom), Saved(atom->GetAccess()) {
        if ((Saved | access) != Saved) atom->SetAccess(Saved | access);
    }
    ~TAccessScope() {
        try {
            Atom->SetAccess(Saved);
        } catch (...) {
            // Lowering rights cannot conflict; a closed atom has nothing left to restore.
        }
    }
    TAccessScope(const TAccessScope&) = delete;
    TAccessScope& operator=(const TAccessScope&) = delete;

private:
    IVirtualAtom* Atom;
    TAccess Saved;
};

void Raise(IVirtualAtom* atom, TAccess access) {
    TAccess now = atom->GetAccess();
    if ((now | access) != now) atom->SetAccess(now | access);
}

bool IsBranch(std::string_view text) { return text.empty() || text[ATINode::KindPos] != ATINode::Chain; }
bool IsChain(std::string_view text) { return !IsBranch(text); }

uint8_t ByteAt(std::string_view text, size_t i) { return uint8_t(text[i]); }

uint32_t LinkOfPos(size_t i) { return uint32_t(i + 2); }
size_t PosOfLink(uint32_t link) { return size_t(link - 2); }

// The child link holding the smallest byte above c (c = -1: any), or 0; hasLink(link) tells
// which links hold a child.
template <class HasLink> uint32_t NextChildLink(const HasLink& hasLink, std::string_view text, int c) {
    uint32_t best = 0;
    int bestByte = 256;
    for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i) {
        int v = ByteAt(text, i);
        if (v > c && v < bestByte && hasLink(LinkOfPos(i))) {
            best = LinkOfPos(i);
            bestByte = v;
        }
    }
    return best;
}
uint32_t NextChildLink(IVirtualAtom* node, std::string_view text, int c) {
    return NextChildLink([node](uint32_t link) { return node->HasLink(link); }, text, c);
}

// The child link holding the greatest byte below c (c = 256: any), or 0.
uint32_t PriorChildLink(IVirtualAtom* node, const std::string& text, int c) {
    uint32_t best = 0;
    int bestByte = -1;
    for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i) {
        int v = ByteAt(text, i);
        if (v < c && v >= bestByte && node->HasLink(LinkOfPos(i))) {
            best = LinkOfPos(i);
            bestByte = v;
        }
    }
    return best;
}

// The link by which parent reaches the child whose own character is own, or 0.
template <class HasLink> uint32_t LinkInParent(const HasLink& hasLink, std::string_view ptext, uint8_t own) {
    for (size_t i = ATINode::FirstChildPos; i < ptext.size(); ++i)
        if (ByteAt(ptext, i) == own && hasLink(LinkOfPos(i))) return LinkOfPos(i);
    return 0;
}
uint32_t LinkInParent(IVirtualAtom* parent, std::string_view ptext, uint8_t own) {
    return LinkInParent([parent](uint32_t link) { return parent->HasLink(link); }, ptext, own);
}

// A node read into memory: its text, the handle in a link (0: none), which links hold a child.
std::string_view NodeText(const TAtomData& node) {
    return {reinterpret_cast<const char*>(node.Data.data()), node.Data.size()};
}
TAtomHandle NodeLink(const TAtomData& node, uint32_t link) { return link < node.Links.size() ? node.Links[link] : 0; }
struct THasLink {
    const TAtomData& Node;
    bool operator()(uint32_t link) const { return NodeLink(Node, link) != 0; }
};

uint8_t OwnOf(std::string_view text) { return text.size() > ATINode::OwnPos ? ByteAt(text, ATINode::OwnPos) : 0; }

// A node's children by byte, for an ordered walk that comes back to the node once per child:
// the bytes that have a linked child, each with the first linked position holding it, as
// NextChildLink and LinkInParent choose them.
class TChildBytes {
public:
    void Build(const TAtomData& node, std::string_view text) {
        Bits = {};
        THasLink hasLink{node};
        for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i) {
            uint8_t v = ByteAt(text, i);
            if (!Has(v) && hasLink(LinkOfPos(i))) {
                Bits[v / 64] |= uint64_t(1) << (v % 64);
                Links[v] = LinkOfPos(i);
            }
        }
    }
    // NextChildLink(node, text, c).
    uint32_t After(int c) const {
        for (int word = (c + 1) / 64; word < 4; ++word) {
            uint64_t bits = Bits[size_t(word)];
            if (word == (c + 1) / 64) bits &= ~uint64_t(0) << ((c + 1) % 64);
            if (bits) return Links[size_t(word * 64 + std::countr_zero(bits))];
        }
        return 0;
    }
    // LinkInParent(node, text, b).
    uint32_t Of(uint8_t b) const { return Has(b) ? Links[b] : 0; }

private:
    bool Has(uint8_t b) const { return Bits[b / 64] >> (b % 64) & 1; }

    std::array<uint64_t, 4> Bits{};
    std::array<uint32_t, 256> Links; // valid where the bit is set
};

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
    Peeker = Query<IAtomPeek>(AtomMaker.get());
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
    RootHandle = HandleOf(RootNode.get());
    StorageID = HeaderAtom->GetStorage()->GetStorageID();
    CurrentNode = RootNode;
    HeaderAtom->SetAccess(NoAccess);
    CurrentKeyText = KeyText();
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

// Every held atom goes back to access 0, so between calls the index blocks no other open.
void TAtomTreeIndex::Idle() noexcept {
    auto lower = [](const TRef<IVirtualAtom>& atom) {
        if (!atom) return;
        try {
            atom->SetAccess(NoAccess);
        } catch (...) {}
    };
    lower(CurrentNode);
    lower(RootNode);
    lower(HeaderAtom);
    lower(RaisedCacheNode);
    RaisedCacheNode = nullptr;
    for (size_t i = IdleAncestors; i < Ancestors.size(); ++i) lower(Ancestors[i]);
    IdleAncestors = Ancestors.size();
    FoundPath.clear();
}

void TAtomTreeIndex::Sync() {
    if (Changes.Get() == SeenChanges) return;
    SeenChanges = Changes.Get();
    Cache.Clear();
    Learnt.Clear();
    Ancestors.clear();
    IdleAncestors = 0;
    AncestorsValid = false;
}

void TAtomTreeIndex::Changed() {
    Changes.Bump();
    SeenChanges = Changes.Get();
    MadeChanges = true;
}

TAtomHandle TAtomTreeIndex::HandleOf(IVirtualAtom* atom) const {
    if (Peeker && atom)
        if (TAtomHandle handle = Peeker->HandleOf(atom)) return handle;
    TRef<IAtomInfo> info = Query<IAtomInfo>(atom);
    return info ? info->GetAddress().Handle : 0;
}

bool TAtomTreeIndex::IsRoot(IVirtualAtom* atom) const { return atom == RootNode.get() || HandleOf(atom) == RootHandle; }

void TAtomTreeIndex::SetCurrent(TRef<IVirtualAtom> node) {
    CurrentHandle = 0;
    if (node && node.get() != RootNode.get() && IsRoot(node.get())) node = RootNode;
    CurrentNode = std::move(node);
    Ancestors.clear();
    IdleAncestors = 0;
    AncestorsValid = false;
}

// The node at handle becomes the current one without being opened.
void TAtomTreeIndex::SetCurrentAt(TAtomHandle handle) {
    if (handle == RootHandle) {
        SetCurrent(RootNode);
        return;
    }
    SetCurrent(nullptr);
    CurrentHandle = handle;
}

const TRef<IVirtualAtom>& TAtomTreeIndex::Current() {
    if (CurrentHandle) CurrentNode = OpenAt(std::exchange(CurrentHandle, 0), NoAccess);
    return CurrentNode;
}

// The atom a link of the trie holds, opened as following the link opens it: on a read-only
// file with at most the rights it grants.
TRef<IVirtualAtom> TAtomTreeIndex::OpenAt(TAtomHandle handle, TAccess access) {
    try {
        return AtomMaker->OpenAtomAccess(TAtomAddress{StorageID, handle, 0}, TAccess(access & AtomMaker->GetRights()));
    } catch (const EKVZError& error) {
        if (error.Code == OstraCode::InvalidAtomAddress) throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
        throw;
    }
}

// The current node with its ancestors from the root (path[0] is the root) when valid.
void TAtomTreeIndex::SetCurrent(TRef<IVirtualAtom> node, std::vector<TRef<IVirtualAtom>>& path, bool valid) {
    SetCurrent(std::move(node));
    if (!valid || !CurrentNode) return;
    if (path.empty() ? CurrentNode.get() != RootNode.get() : path.front().get() != RootNode.get()) return;
    Ancestors = std::move(path);
    IdleAncestors = 0;
    AncestorsValid = true;
}

// The parent of node: the held ancestor when the path is known, else opened through link 1.
TRef<IVirtualAtom> TAtomTreeIndex::Climb(IVirtualAtom* node) {
    if (!AncestorsValid) return OpenParent(node, ReadAccess);
    if (Ancestors.empty()) return nullptr;
    TRef<IVirtualAtom> parent = std::move(Ancestors.back());
    Ancestors.pop_back();
    IdleAncestors = std::min(IdleAncestors, Ancestors.size());
    Raise(parent.get(), ReadAccess);
    return parent;
}

// Moves node down to its child in link, keeping node as an ancestor when the path is known.
// A node linked back to an ancestor ends the walk with an error, found as TPeekWalk finds it.
void TAtomTreeIndex::Descend(TRef<IVirtualAtom>& node, uint32_t link) {
    TRef<IVirtualAtom> child = OpenChild(node.get(), link, ReadAccess);
    if (AncestorsValid) {
        Ancestors.push_back(std::move(node));
        if (HandleOf(child.get()) == HandleOf(Ancestors[std::bit_floor(Ancestors.size() - 1)].get()))
            throw TATIError(ATICode::Unknown);
    }
    node = std::move(child);
}

// ---------------------------------------------------------------------------------------------
// Trie steps

// A child of node. A share violation means the atom is one this index holds raised (the root
// or the current node); that held open is used. Any other failure passes on.
TRef<IVirtualAtom> TAtomTreeIndex::OpenChild(IVirtualAtom* node, uint32_t link, TAccess access) {
    try {
        return node->OpenLinkAccess(link, access);
    } catch (const EKVZError& error) {
        if (error.Code != OstraCode::ShareViolation) throw;
        TRef<IVirtualAtom> plain = node->OpenLinkAccess(link, NoAccess);
        TAtomHandle handle = plain ? HandleOf(plain.get()) : 0;
        if (CurrentNode && handle == HandleOf(CurrentNode.get())) return CurrentNode;
        if (handle == RootHandle) return RootNode;
        throw;
    }
}

// The parent of node (nil at the root); the root comes back as the held root interface.
TRef<IVirtualAtom> TAtomTreeIndex::OpenParent(IVirtualAtom* node, TAccess access) {
    TRef<IVirtualAtom> parent = node->OpenLinkAccess(ATINode::ParentLink, NoAccess);
    if (!parent) return nullptr;
    if (HandleOf(parent.get()) == RootHandle) parent = RootNode;
    Raise(parent.get(), access);
    return parent;
}

// Bounds the learnt nodes. Past MaxLearntNodes no new node is learnt: a table that outgrows the
// processor's caches costs a lookup more misses than reading the nodes from the file, and the
// nodes every lookup passes, near the root, are learnt first. Past MaxLearntBytes (nodes with
// long texts) the table starts afresh.
inline constexpr size_t MaxLearntNodes = size_t(1) << 14;
inline constexpr size_t MaxLearntBytes = size_t(16) << 20;

void TAtomTreeIndex::Learn(IVirtualAtom* node, const std::string& text, uint32_t link, IVirtualAtom* child) {
    if (!child || link < ATINode::FirstChildLink) return;
    Learn(HandleOf(node), text, link, HandleOf(child));
}

void TAtomTreeIndex::Learn(TAtomHandle handle, std::string_view text, uint32_t link, TAtomHandle childHandle) {
    if (!handle || !childHandle || link < ATINode::FirstChildLink) return;
    size_t pos = PosOfLink(link);
    TLearntNode* learnt = LearntEntry(handle, text);
    if (!learnt) return;
    std::span<TAtomHandle> children = Learnt.Children(*learnt);
    if (pos < children.size()) children[pos] = childHandle;
}

TLearntNode* TAtomTreeIndex::LearntEntry(TAtomHandle handle, std::string_view text) {
    if (Learnt.Footprint() > MaxLearntBytes) Learnt = TLearntNodes{};
    if (Learnt.Size() >= MaxLearntNodes && !Learnt.Find(handle)) return nullptr;
    return &Learnt.Entry(handle, text, text.size() > ATINode::FirstChildPos ? text.size() : 0); // a leaf has none
}

void TAtomTreeIndex::Forget(IVirtualAtom* node) {
    if (!Learnt.Empty()) Learnt.Erase(HandleOf(node));
}

TRef<IVirtualAtom> TAtomTreeIndex::LearntNode(std::string_view key, size_t& pos, TAccess access) {
    size_t consumed = 0;
    TAtomHandle at = LearntPath(key, consumed);
    if (at == RootHandle) return nullptr;
    TRef<IVirtualAtom> node = AtomMaker->OpenAtomAccess(TAtomAddress{StorageID, at, 0}, access);
    pos = consumed;
    return node;
}

TAtomHandle TAtomTreeIndex::LearntPath(std::string_view key, size_t& consumed) {
    TAtomHandle at = RootHandle;
    consumed = 0;
    while (consumed < key.size()) {
        const TLearntNode* found = Learnt.Find(at);
        if (!found) break;
        std::string_view text = Learnt.Text(*found);
        std::span<const TAtomHandle> children = Learnt.Children(*found);
        std::string_view rest = key.substr(consumed);
        TAtomHandle next = 0;
        size_t step = 1;
        if (IsBranch(text)) {
            for (size_t i = ATINode::FirstChildPos; i < text.size() && !next; ++i)
                if (uint8_t(text[i]) == uint8_t(rest[0])) next = children[i];
        } else if (text.substr(ATINode::FirstChildPos) == rest) {
            next = children[ATINode::FirstChildPos];
            step = rest.size();
        }
        if (!next) break;
        at = next;
        consumed += step;
    }
    return at;
}

// The link of node's child for byte b, or 0 (as FindChild looks it up).
uint32_t TAtomTreeIndex::ChildLink(IVirtualAtom* node, const std::string& text, uint8_t b) {
    return LinkInParent(node, text, b);
}

TRef<IVirtualAtom> TAtomTreeIndex::FindChild(IVirtualAtom* node, const std::string& text, uint8_t b, TAccess access) {
    if (!IsBranch(text) || text.size() <= ATINode::FirstChildPos) return nullptr;
    for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i)
        if (ByteAt(text, i) == b && node->HasLink(LinkOfPos(i))) return OpenChild(node, LinkOfPos(i), access);
    return nullptr;
}

TRef<IVirtualAtom> TAtomTreeIndex::NewNode(IVirtualAtom* parent, std::string_view text) {
    TRef<IVirtualAtom> node = AtomMaker->NewAtom();
    node->SetText(text);
    node->SetLink(ATINode::ParentLink, parent);
    return node;
}

// The branch child of node for byte b, made when missing. text is node's text, kept current.
TRef<IVirtualAtom> TAtomTreeIndex::AddChild(IVirtualAtom* node, std::string& text, uint8_t b) {
    if (TRef<IVirtualAtom> child = FindChild(node, text, b, WriteAccess)) return child;
    Forget(node);
    TRef<IVirtualAtom> child = NewNode(node, std::string(1, ATINode::Branch) + char(b));
    uint32_t link = ATINode::FirstChildLink;
    while (node->HasLink(link)) ++link;
    node->SetLink(link, child.get());
    size_t pos = PosOfLink(link);
    if (text.size() <= pos) text.resize(pos + 1, char(b));
    text[pos] = char(b);
    node->SetText(text);
    return child;
}

// Grows the trie at node for key[pos..]; returns the node the walk goes on from and moves pos
// to the last byte consumed.
TRef<IVirtualAtom> TAtomTreeIndex::Extend(IVirtualAtom* node, std::string_view key, size_t& pos) {
    Forget(node);
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
        TRef<IVirtualAtom> oldChild = OpenChild(node, ATINode::FirstChildLink, WriteAccess);
        Forget(oldChild.get());
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

// The node of key, grown when create is set; nil when absent (the position is then left where
// the walk stopped). The caller has raised the root.
TRef<IVirtualAtom> TAtomTreeIndex::FindNode(std::string_view key, bool create) {
    FoundPath.clear();
    FoundPathValid = true;
    if (key.empty()) {
        if (create || RootNode->HasLink(ATINode::ValueLink)) return RootNode;
        SetCurrent(RootNode, FoundPath, true);
        return nullptr;
    }
    TAccess access = create ? WriteAccess : ReadAccess;
    TRef<IVirtualAtom> cur = RootNode;
    size_t pos = 0;
    bool cached = false;
    // The learnt part of the path is taken without opening its nodes; a growing walk changes
    // only the node where the path ends and what it adds below, so it may start there too.
    if (!CacheOn) {
        if (TRef<IVirtualAtom> node = LearntNode(key, pos, access)) {
            cur = node;
            FoundPathValid = false;
        }
    }
    if (CacheOn && int32_t(key.size()) >= Cache.MinLen) {
        for (int32_t a = std::min<int32_t>(int32_t(key.size()), Cache.MaxLen); a >= Cache.MinLen && a > 0; --a) {
            if (TRef<IVirtualAtom> node = Cache.Lookup(key.substr(0, size_t(a)))) {
                cur = node;
                pos = size_t(a);
                cached = true;
                FoundPathValid = false;
                RaisedCacheNode = node;
                Raise(node.get(), access);
                break;
            }
        }
    }
    while (pos < key.size()) {
        std::string text = cur->GetText();
        std::string_view rest = key.substr(pos);
        TRef<IVirtualAtom> child;
        if (IsBranch(text)) {
            child = FindChild(cur.get(), text, uint8_t(rest[0]), access);
            if (child) Learn(cur.get(), text, ChildLink(cur.get(), text, uint8_t(rest[0])), child.get());
            if (!child) {
                if (!create) {
                    SetCurrent(cur, FoundPath, FoundPathValid);
                    return nullptr;
                }
                child = Extend(cur.get(), key, pos);
            }
        } else if (std::string_view(text).substr(ATINode::FirstChildPos) == rest) {
            child = OpenChild(cur.get(), ATINode::FirstChildLink, access);
            if (child) Learn(cur.get(), text, ATINode::FirstChildLink, child.get());
            pos = key.size() - 1;
        } else {
            if (!create) {
                SetCurrent(cur, FoundPath, FoundPathValid);
                return nullptr;
            }
            Cache.Clear();
            cached = false;
            child = Extend(cur.get(), key, pos);
        }
        FoundPath.push_back(std::move(cur));
        cur = child;
        size_t reached = pos + 1;
        if (CacheOn && !create && !cached && int32_t(reached) >= Cache.MinLen && int32_t(reached) <= Cache.MaxLen &&
            (reached >= key.size() || int32_t(reached) >= Cache.MaxLen)) {
            if (IsBranch(cur->GetText())) {
                Cache.Store(key.substr(0, reached), cur);
                cached = true;
            }
        }
        pos = reached;
    }
    return cur;
}

// ---------------------------------------------------------------------------------------------
// Keys

void TAtomTreeIndex::Add(std::string_view key, IVirtualAtom* atom) { AddNew(key, atom); }

TRef<IVirtualAtom> TAtomTreeIndex::AddNew(std::string_view key, IVirtualAtom* atom) {
    TIdleGuard idle(*this);
    Idle();
    RootNode->SetAccess(AccessAll);
    // One growing walk: a node kept from a separate lookup walk would collide with it.
    TRef<IVirtualAtom> node = FindNode(key, true);
    TRef<IVirtualAtom> value(atom);
    if (!value) {
        value = AtomMaker->NewAtom();
        value->SetText(key);
    }
    Raise(node.get(), WriteAccess);
    bool had = node->HasLink(ATINode::ValueLink);
    Forget(node.get());
    node->SetLink(ATINode::ValueLink, value.get());
    if (had)
        Changed();
    else
        WriteCount(KeyCount() + 1);
    SetCurrent(node);
    CurrentKeyText.assign(key);
    Positioned = true;
    return value;
}

// The value of key, opened with access; the position is left at its node, or where the walk
// stopped. Where the path can be read as WalkValues reads it, only the value is opened.
TRef<IVirtualAtom> TAtomTreeIndex::Find(std::string_view key, TAccess access) {
    TIdleGuard idle(*this);
    Idle();
    RootNode->SetAccess(ReadAccess);
    TRef<IVirtualAtom> value;
    CurrentKeyText.clear();
    Positioned = false;
    TAtomHandle at = 0;
    if (TRef<IAtomPeek> peek = PeekFor(key)) {
        if (PeekPath(*peek, key, at) && at) value = OpenAt(at, access);
    } else if (TRef<IVirtualAtom> node = FindNode(key, false)) {
        SetCurrent(node, FoundPath, FoundPathValid);
        Raise(node.get(), ReadAccess);
        value = node->OpenLinkAccess(ATINode::ValueLink, access);
    }
    Positioned = bool(value);
    if (Positioned)
        CurrentKeyText.assign(key);
    else
        CurrentKeyText = KeyText();
    return value;
}

bool TAtomTreeIndex::Contains(std::string_view key) {
    TIdleGuard idle(*this);
    Idle();
    RootNode->SetAccess(ReadAccess);
    CurrentKeyText.clear();
    Positioned = false;
    TAtomHandle at = 0;
    if (TRef<IAtomPeek> peek = PeekFor(key)) {
        Positioned = PeekPath(*peek, key, at) && at;
    } else if (TRef<IVirtualAtom> node = FindNode(key, false)) {
        SetCurrent(node, FoundPath, FoundPathValid);
        Raise(node.get(), ReadAccess);
        Positioned = node->HasLink(ATINode::ValueLink);
    }
    if (Positioned)
        CurrentKeyText.assign(key);
    else
        CurrentKeyText = KeyText();
    return Positioned;
}

bool TAtomTreeIndex::Delete(std::string_view key) {
    TIdleGuard idle(*this);
    Idle();
    RootNode->SetAccess(ReadAccess);
    TRef<IVirtualAtom> node = FindNode(key, false);
    bool had = false;
    if (node) {
        Cache.Clear();
        Raise(node.get(), AccessAll);
        had = node->HasLink(ATINode::ValueLink);
        if (had) {
            Forget(node.get());
            node->SetLink(ATINode::ValueLink, nullptr);
            WriteCount(KeyCount() - 1);
        }
        SetCurrent(node, FoundPath, FoundPathValid);
    } else {
        SetCurrent(nullptr);
    }
    Idle();
    Positioned = false;
    std::string next;
    if (CurrentNode) {
        TRef<IVirtualAtom> at = CurrentNode;
        Raise(at.get(), ReadAccess);
        next.assign(key);
        Positioned = StepForward(at, next);
        CurrentNode = at;
    }
    CurrentKeyText = Positioned ? std::move(next) : std::string();
    return had;
}

// ---------------------------------------------------------------------------------------------
// Ordered walk

// A step between neighbouring keys passes each node of a tree at most twice, and the key of a node
// climbs past each of its ancestors once. A damaged file whose links go round would make either go
// on for ever: they end with an error after more moves than the file holds atoms, twice over.
uint64_t TAtomTreeIndex::MoveBound() const {
    TRef<IAtomPeek> peek = Query<IAtomPeek>(AtomMaker.get());
    uint64_t atoms = peek ? peek->AtomCountBound() : UINT64_MAX / 2;
    return 2 * atoms + 2;
}

void TAtomTreeIndex::CountMove(uint64_t& left) {
    if (left-- == 0) throw TATIError(ATICode::Unknown);
}

// The key grows by what the step from a node with text consumes: the child's byte for a
// branch, the whole edge for a chain; climbing takes the same bytes off again.
static void KeyDown(std::string& key, std::string_view text, uint32_t link) {
    if (IsBranch(text))
        key += text[PosOfLink(link)];
    else
        key.append(text.substr(ATINode::FirstChildPos));
}
static void KeyUp(std::string& key, std::string_view parentText) {
    size_t drop = IsBranch(parentText) ? 1 : parentText.size() - ATINode::FirstChildPos;
    key.resize(key.size() - std::min(drop, key.size()));
}

// Moves node (whose key is key) to the next node holding a value in preorder, keeping key; false
// (node at the root) when none.
bool TAtomTreeIndex::StepForward(TRef<IVirtualAtom>& node, std::string& key) {
    std::string text = node->GetText();
    uint64_t left = MoveBound();
    for (;;) {
        uint32_t down = NextChildLink(node.get(), text, -1);
        if (down) {
            CountMove(left);
            KeyDown(key, text, down);
            Descend(node, down);
        } else {
            for (;;) {
                CountMove(left);
                TRef<IVirtualAtom> parent = Climb(node.get());
                if (!parent) return false;
                std::string ptext = parent->GetText();
                KeyUp(key, ptext);
                uint32_t next = 0;
                if (IsBranch(ptext)) {
                    uint32_t k = LinkInParent(parent.get(), ptext, OwnOf(text));
                    if (k >= ATINode::FirstChildLink)
                        next = NextChildLink(parent.get(), ptext, ByteAt(ptext, PosOfLink(k)));
                }
                node = parent;
                text = ptext;
                if (next) {
                    KeyDown(key, text, next);
                    Descend(node, next);
                    break;
                }
            }
        }
        if (node->HasLink(ATINode::ValueLink)) return true;
        text = node->GetText();
    }
}

TRef<IVirtualAtom> TAtomTreeIndex::DescendLast(TRef<IVirtualAtom> node, std::string& key) {
    for (uint64_t left = MoveBound();;) {
        CountMove(left);
        std::string text = node->GetText();
        uint32_t down = PriorChildLink(node.get(), text, 256);
        if (!down) return node;
        KeyDown(key, text, down);
        Descend(node, down);
    }
}

// Moves node (whose key is key) to the previous node holding a value in preorder, keeping key;
// false (node at the root) when none.
bool TAtomTreeIndex::StepBackward(TRef<IVirtualAtom>& node, std::string& key) {
    uint64_t left = MoveBound();
    for (;;) {
        CountMove(left);
        std::string text = node->GetText();
        TRef<IVirtualAtom> parent = Climb(node.get());
        if (!parent) return false;
        std::string ptext = parent->GetText();
        KeyUp(key, ptext);
        uint32_t prior = 0;
        if (IsBranch(ptext)) {
            uint32_t k = LinkInParent(parent.get(), ptext, OwnOf(text));
            if (k >= ATINode::FirstChildLink) prior = PriorChildLink(parent.get(), ptext, ByteAt(ptext, PosOfLink(k)));
        }
        node = parent;
        if (prior) {
            KeyDown(key, ptext, prior);
            Descend(node, prior);
            node = DescendLast(node, key);
        }
        if (node->HasLink(ATINode::ValueLink)) return true;
    }
}

bool TAtomTreeIndex::Step(bool forward) {
    TIdleGuard idle(*this);
    Idle();
    if (forward && StepWalkHere()) {
        Cache.Clear();
        return TakeWalkStep(nullptr);
    }
    StepWalk.reset();
    if (!Current()) return false;
    Cache.Clear();
    TRef<IVirtualAtom> node = CurrentNode;
    Raise(node.get(), ReadAccess);
    std::string key = Positioned ? CurrentKeyText : NodeKey(node.get());
    Positioned = false;
    CurrentKeyText.clear();
    Positioned = forward ? StepForward(node, key) : StepBackward(node, key);
    CurrentNode = node;
    if (Positioned) CurrentKeyText = std::move(key);
    return Positioned;
}

bool TAtomTreeIndex::Next() { return Step(true); }
bool TAtomTreeIndex::Prior() { return Step(false); }

// Where the nodes can be peeked at, the walk from the root reads them without opening them and
// stays for the forward steps that follow.
bool TAtomTreeIndex::First() {
    TIdleGuard idle(*this);
    Idle();
    Cache.Clear();
    if (TRef<IAtomPeek> peek = Query<IAtomPeek>(AtomMaker.get())) return TakeWalkStep(peek.get());
    std::vector<TRef<IVirtualAtom>> none;
    SetCurrent(RootNode, none, true);
    RootNode->SetAccess(ReadAccess);
    TRef<IVirtualAtom> node = RootNode;
    std::string key;
    Positioned = node->HasLink(ATINode::ValueLink) || StepForward(node, key);
    CurrentNode = node;
    CurrentKeyText = Positioned ? std::move(key) : std::string();
    return Positioned;
}

bool TAtomTreeIndex::Last() {
    TIdleGuard idle(*this);
    Idle();
    Cache.Clear();
    RootNode->SetAccess(ReadAccess);
    std::string key;
    std::vector<TRef<IVirtualAtom>> none;
    SetCurrent(RootNode, none, true);
    TRef<IVirtualAtom> node = DescendLast(RootNode, key);
    Positioned = node->HasLink(ATINode::ValueLink) || StepBackward(node, key);
    CurrentNode = node;
    CurrentKeyText = Positioned ? std::move(key) : std::string();
    return Positioned;
}

void TAtomTreeIndex::StartPass() {
    Idle();
    Cache.Clear();
    std::vector<TRef<IVirtualAtom>> none;
    SetCurrent(RootNode, none, true);
    CurrentKeyText.clear();
    Positioned = false;
}

void TAtomTreeIndex::Walk(bool openValues, TAccess access,
                          const TFunctionRef<void(std::string_view key, IVirtualAtom* value)>& visit) {
    if (!openValues && Query<IAtomPeek>(AtomMaker.get())) {
        WalkValues(false, [&](std::string_view key, auto, auto) { visit(key, nullptr); });
        return;
    }
    TIdleGuard idle(*this);
    StartPass();
    RootNode->SetAccess(ReadAccess);
    TRef<IVirtualAtom> node = RootNode;
    std::string key;
    bool onKey = node->HasLink(ATINode::ValueLink) || StepForward(node, key);
    while (onKey) {
        // Held as the current node, so that a visit that raises leaves nothing raised.
        CurrentNode = node;
        TRef<IVirtualAtom> value = openValues ? node->OpenLinkAccess(ATINode::ValueLink, access) : nullptr;
        visit(key, value.get());
        value = nullptr;
        onKey = StepForward(node, key);
    }
    CurrentNode = node;
}

// The ordered walk of Walk over nodes read into memory: each node's text and link handles are
// peeked where nothing in the transaction's chain has the node open, else read through an
// open that is closed again at once. The steps are StepForward's, on the path held here.
// Lookups read their nodes through it too.
class TAtomTreeIndex::TPeekWalk {
public:
    TPeekWalk(TAtomTreeIndex& index, IAtomPeek& peek)
        : Index(&index), Maker(*index.AtomMaker), StorageID(index.StorageID), Peek(&peek), Seen(index.Changes.Get()),
          NodesLeft(peek.AtomCountBound()) {}
    // For a storage that cannot be peeked at: every atom is read through an open.
    explicit TPeekWalk(TAtomTreeIndex& index)
        : Index(&index), Maker(*index.AtomMaker), StorageID(index.StorageID), Seen(index.Changes.Get()) {}
    // For reading a trie that no index object has open, through maker.
    TPeekWalk(IVirtualStorage& maker, IAtomPeek& peek) : Maker(maker), StorageID(maker.GetStorageID()), Peek(&peek) {}

    // Starts at the root; true when it holds a value.
    bool First() {
        Frames.resize(1);
        Children.resize(1);
        Handles.assign(1, Index->RootHandle);
        ReadOpen(Index->RootNode.get(), Frames[0]);
        Children[0].Build(Frames[0], Text(Frames[0]));
        PrefetchBelow(Frames[0], Index->RootHandle);
        Depth = 0;
        return HasLink(Top(), ATINode::ValueLink) || Next();
    }

    // Moves to the next node holding a value; false (back at the root) when none.
    bool Next() {
        for (;;) {
            uint32_t down = Children[Depth].After(-1);
            if (down) {
                Descend(down);
            } else {
                for (;;) {
                    if (Depth == 0) return false;
                    uint8_t own = OwnOf(Text(Top()));
                    --Depth;
                    std::string_view ptext = Text(Top());
                    KeyUp(Key, ptext);
                    uint32_t next = 0;
                    if (IsBranch(ptext)) {
                        uint32_t k = Children[Depth].Of(own);
                        if (k >= ATINode::FirstChildLink) next = Children[Depth].After(ByteAt(ptext, PosOfLink(k)));
                    }
                    if (next) {
                        Descend(next);
                        break;
                    }
                }
            }
            if (HasLink(Top(), ATINode::ValueLink)) return true;
        }
    }

    // The value at the current node.
    const TAtomData& Value() {
        Read(LinkOf(Top(), ATINode::ValueLink), ValueContent);
        return ValueContent;
    }

    bool Unchanged() const { return !Index || Index->Changes.Get() == Seen; }
    // The node the walk stands on.
    TAtomHandle Here() const { return Handles[Depth]; }

    // A change to the trie through any object since the walk began: the nodes held here may be
    // gone. Where the opens of Walk would have refused the change, the walk refuses to go on.
    void CheckUnchanged() const {
        if (Index && Index->Changes.Get() != Seen)
            throw EKVZError(OstraCode::ShareViolation, OstraMsg::AtomShareViolation);
    }

    // The node or value at handle: peeked, or read through an open closed again at once.
    void Read(TAtomHandle handle, TAtomData& into) {
        if (Peek && Peek->PeekLinked(handle, into)) return;
        TRef<IVirtualAtom> atom = Open(handle);
        ReadOpen(atom.get(), into);
    }

    // The atom at handle opened with access (the index's own open of its root, as it is).
    TRef<IVirtualAtom> Open(TAtomHandle handle, TAccess access = ReadAccess) {
        TRef<IVirtualAtom> atom;
        if (Index && handle == Index->RootHandle) {
            atom = Index->RootNode;
        } else {
            try {
                atom = Maker.OpenAtomAccess(TAtomAddress{StorageID, handle, 0}, access);
            } catch (const EKVZError& error) {
                if (error.Code == OstraCode::InvalidAtomAddress)
                    throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
                // The index's current node may be held raised; its open serves.
                if (error.Code != OstraCode::ShareViolation || !Index || !Index->CurrentNode ||
                    handle != Index->HandleOf(Index->CurrentNode.get()))
                    throw;
                atom = Index->CurrentNode;
            }
        }
        return atom;
    }

    // Nodes reached by more than one link (each of them below a node reached so) make a pass
    // that reads more nodes than the file holds; one that gets there ends with the trie's error.
    void CountNode() {
        if (NodesLeft-- == 0) throw TATIError(ATICode::Unknown);
    }

    // The value and children of the node (at handle here) are read next: the memory of those
    // whose handles lie far from its own is asked for at once. A near one's entry lies in table
    // memory the walk has just read, or the processor streams in by itself: asking for it cost
    // more than it saved on a file filled in key order. Where nothing could be asked for, the
    // next HintPause nodes go without.
    void PrefetchBelow(const TAtomData& node, TAtomHandle here) {
        if (!Peek || node.Links.size() <= ATINode::ValueLink) return;
        if (HintsPaused > 0) {
            --HintsPaused;
            return;
        }
        FarLinks.clear();
        for (size_t i = ATINode::ValueLink; i < node.Links.size(); ++i)
            if (TAtomHandle h = node.Links[i]; h && (h > here ? h - here : here - h) > NearHandles)
                FarLinks.push_back(h);
        if (!FarLinks.empty() && !Peek->PrefetchLinked(FarLinks)) HintsPaused = HintPause;
    }

    static void ReadOpen(IVirtualAtom* atom, TAtomData& into) {
        TAccessScope read(atom, ReadAccess);
        into.Data = atom->GetBytes();
        into.Links.assign(atom->GetLinkCount(), 0);
        TRef<IAtomLinks> links = Query<IAtomLinks>(atom);
        if (!links) throw EKVZError(OstraCode::CapabilityNotSupported, OstraMsg::CapabilityNotSupported);
        for (uint32_t i = 0; i < into.Links.size(); ++i) into.Links[i] = links->GetLinkHandle(i);
    }

    std::string Key;

private:
    TAtomData& Top() { return Frames[Depth]; }
    static std::string_view Text(const TAtomData& node) { return NodeText(node); }
    static TAtomHandle LinkOf(const TAtomData& node, uint32_t link) { return NodeLink(node, link); }
    static bool HasLink(const TAtomData& node, uint32_t link) { return LinkOf(node, link) != 0; }

    // A damaged file may link a node back to one of its ancestors: the walk would descend for
    // ever. The path then repeats with some period c from some depth on, so the new node at
    // depth d is compared with the one at the largest power of two below d, which finds any
    // such repeat by depth 2 * max(c, where it starts) at one comparison a step.
    void Descend(uint32_t link) {
        KeyDown(Key, Text(Top()), link);
        TAtomHandle child = LinkOf(Top(), link);
        size_t depth = Depth + 1;
        if (Frames.size() <= depth) {
            Frames.resize(depth + 1);
            Children.resize(depth + 1);
            Handles.resize(depth + 1);
        }
        if (child == Handles[std::bit_floor(depth - 1)] || child == Handles[0]) throw TATIError(ATICode::Unknown);
        CountNode();
        Read(child, Frames[depth]);
        Children[depth].Build(Frames[depth], Text(Frames[depth]));
        PrefetchBelow(Frames[depth], child);
        Handles[depth] = child;
        Depth = depth;
    }

    TAtomTreeIndex* Index = nullptr; // the index object walking, if any
    IVirtualStorage& Maker;
    TGUID StorageID;
    IAtomPeek* Peek = nullptr;
    uint64_t Seen = 0;
    uint64_t NodesLeft = UINT64_MAX; // that the walk may still descend to
    static constexpr uint32_t HintPause = 63;
    uint32_t HintsPaused = 0;
    // Handles within this distance count as near: their entries lie within 32 KB of table.
    static constexpr TAtomHandle NearHandles = 1024;
    std::vector<TAtomHandle> FarLinks; // of the node hinted at last
    // The path from the root: Frames[0 .. Depth]; deeper ones keep their buffers for reuse.
    std::vector<TAtomData> Frames;
    std::vector<TChildBytes> Children; // of the frames
    std::vector<TAtomHandle> Handles;  // of the frames
    size_t Depth = 0;
    TAtomData ValueContent;
};

// One pass over every node, depth first, clearing each value link met; the nodes stay, as
// deletion keeps them. The nodes are read as WalkValues reads them; only a node holding a value
// is opened, to drop it. A damaged trie whose links go round, or share nodes beyond what the
// file holds, ends the pass with the trie's error.
void TAtomTreeIndex::Clear() {
    TIdleGuard idle(*this);
    Idle();
    Cache.Clear();
    Learnt.Clear();
    SetCurrent(RootNode);
    CurrentKeyText.clear();
    Positioned = false;
    TRef<IAtomPeek> peek = Query<IAtomPeek>(AtomMaker.get());
    TPeekWalk reader = peek ? TPeekWalk(*this, *peek) : TPeekWalk(*this);
    bool changed = false;
    std::vector<TAtomHandle> pending{RootHandle};
    TAtomData node;
    while (!pending.empty()) {
        TAtomHandle handle = pending.back();
        pending.pop_back();
        reader.CountNode();
        reader.Read(handle, node);
        if (NodeLink(node, ATINode::ValueLink)) {
            TRef<IVirtualAtom> atom = reader.Open(handle, AccessReadLinks | AccessWriteLinks);
            Raise(atom.get(), AccessReadLinks | AccessWriteLinks);
            atom->SetLink(ATINode::ValueLink, nullptr);
            changed = true;
        }
        // A chain has its one child in the first child link; its other text bytes are the edge.
        // The children go on the stack last first, so they are cleared in link order.
        std::string_view text = NodeText(node);
        size_t end = IsBranch(text) ? text.size() : std::min(text.size(), ATINode::FirstChildPos + 1);
        for (size_t pos = end; pos-- > ATINode::FirstChildPos;)
            if (TAtomHandle child = NodeLink(node, LinkOfPos(pos))) pending.push_back(child);
    }
    if (changed || KeyCount() != 0)
        WriteCount(0);
    else
        Changed();
}

// Whether StepWalk stands where the position is, on a key, over the trie as it was.
bool TAtomTreeIndex::StepWalkHere() {
    if (!StepWalk || !Positioned || !StepWalk->Unchanged()) return false;
    TAtomHandle at = CurrentNode ? HandleOf(CurrentNode.get()) : CurrentHandle;
    return at == StepWalk->Here() && CurrentKeyText == StepWalk->Key;
}

// Begins StepWalk at the first key (with begin) or takes its next step, and leaves the
// position there. A walk that fails is dropped, the position left as it was.
bool TAtomTreeIndex::TakeWalkStep(IAtomPeek* begin) {
    bool onKey;
    try {
        if (begin) StepWalk = std::make_unique<TPeekWalk>(*this, *begin);
        onKey = begin ? StepWalk->First() : StepWalk->Next();
    } catch (...) {
        StepWalk.reset();
        throw;
    }
    SetCurrentAt(StepWalk->Here());
    Positioned = onKey;
    CurrentKeyText = onKey ? StepWalk->Key : std::string();
    return onKey;
}

void TAtomTreeIndex::WalkValues(bool readValues, const TValueLinksVisit& visit) {
    TRef<IAtomPeek> peek = Query<IAtomPeek>(AtomMaker.get());
    if (!peek) {
        TAtomData content;
        Walk(readValues, ReadAccess, [&](std::string_view key, IVirtualAtom* value) {
            content = TAtomData();
            if (value) TPeekWalk::ReadOpen(value, content);
            visit(key, content.Data, content.Links);
        });
        return;
    }
    TIdleGuard idle(*this);
    StartPass();
    TPeekWalk walk(*this, *peek);
    for (bool onKey = walk.First(); onKey; onKey = walk.Next()) {
        if (readValues) {
            const TAtomData& value = walk.Value();
            visit(walk.Key, value.Data, value.Links);
        } else {
            visit(walk.Key, {}, {});
        }
        walk.CheckUnchanged();
    }
}

// The peek for reading the path to key, or nil where FindNode walks it: the prefix cache keeps
// open nodes, and the empty key's node is the root.
TRef<IAtomPeek> TAtomTreeIndex::PeekFor(std::string_view key) {
    return CacheOn || key.empty() ? nullptr : Query<IAtomPeek>(AtomMaker.get());
}

// FindNode(key, false) with the path read as WalkValues reads it, opening nothing: the node
// reached (the key's, or where the walk stopped) becomes the current one unopened, as after a
// lookup that started from learnt nodes. False when the key has no node; else value is the
// handle in its value link (0: none).
bool TAtomTreeIndex::PeekPath(IAtomPeek& peek, std::string_view key, TAtomHandle& value) {
    TPeekWalk reader(*this, peek);
    FoundPath.clear();
    FoundPathValid = false;
    size_t pos = 0;
    TAtomHandle at = LearntPath(key, pos);
    bool found = true;
    TAtomData& node = PathNode;
    if (pos < key.size()) reader.Read(at, node);
    while (pos < key.size()) {
        std::string_view text = NodeText(node), rest = key.substr(pos);
        uint32_t link = 0;
        size_t next = pos;
        if (IsBranch(text)) {
            link = LinkInParent(THasLink{node}, text, uint8_t(rest[0]));
            next = pos + 1;
        } else if (text.substr(ATINode::FirstChildPos) == rest) {
            link = ATINode::FirstChildLink;
            next = key.size();
        }
        TAtomHandle child = link ? NodeLink(node, link) : 0;
        if (!child) {
            found = false;
            break;
        }
        Learn(at, text, link, child);
        pos = next;
        at = child;
        if (pos < key.size()) reader.Read(child, node);
    }
    SetCurrentAt(at);
    if (!found) return false;
    if (const TLearntNode* learnt = Learnt.Find(at); learnt && learnt->ValueKnown) {
        value = learnt->Value;
        return true;
    }
    reader.Read(at, node);
    value = NodeLink(node, ATINode::ValueLink);
    if (TLearntNode* learnt = LearntEntry(at, NodeText(node))) {
        learnt->Value = value;
        learnt->ValueKnown = true;
    }
    return true;
}

// keys in ascending order without repeats: keys itself when they come so (a caller that looks
// the same keys up in many tries sorts them once), else a sorted copy made in storage.
static const std::vector<std::string>& OrderedKeys(const std::vector<std::string>& keys,
                                                   std::vector<std::string>& storage) {
    if (std::adjacent_find(keys.begin(), keys.end(), std::greater_equal<>()) == keys.end()) return keys;
    storage = keys;
    std::sort(storage.begin(), storage.end());
    storage.erase(std::unique(storage.begin(), storage.end()), storage.end());
    return storage;
}

// Depth first from the root, each node taking the sorted keys that run through it: the node's
// own key first, then per child byte the keys that continue with it, in ascending order, so the
// visits come in key order. A chain leads only to the key that ends with its whole edge, as a
// lookup finds it. Nodes and values are read as WalkValues reads them.
void TAtomTreeIndex::FindValues(const std::vector<std::string>& keys,
                                const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    TRef<IAtomPeek> peek = Query<IAtomPeek>(AtomMaker.get());
    if (!peek) {
        std::vector<std::string> sorted;
        for (const std::string& key : OrderedKeys(keys, sorted))
            if (TRef<IVirtualAtom> value = Find(key, ReadAccess)) visit(key, value->GetBytes());
        return;
    }
    TIdleGuard idle(*this);
    StartPass();
    TPeekWalk reader(*this, *peek);
    FindBelow(reader, RootHandle, keys, visit);
}

void TAtomTreeIndex::FindValuesAt(
    IVirtualStorage* maker, TAtomHandle header, const std::vector<std::string>& keys,
    const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    TRef<IAtomPeek> peek = Query<IAtomPeek>(maker);
    if (!peek) {
        TRef<IVirtualAtom> atom = maker->OpenAtomAccess(TAtomAddress{maker->GetStorageID(), header, 0}, ReadAccess);
        TAtomTreeIndex(atom, 0, 0).FindValues(keys, visit);
        return;
    }
    TPeekWalk reader(*maker, *peek);
    TAtomData content;
    reader.Read(header, content);
    if (int32_t code = HeaderCode(content.Data)) throw TATIError(code);
    // A trie without a root holds no key.
    if (TAtomHandle root = NodeLink(content, ATINode::HeaderRootLink)) FindBelow(reader, root, keys, visit);
}

void TAtomTreeIndex::FindBelow(TPeekWalk& reader, TAtomHandle root, const std::vector<std::string>& given,
                               const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    std::vector<std::string> sorted;
    const std::vector<std::string>& keys = OrderedKeys(given, sorted);
    if (keys.empty()) return;
    // The keys [First, Last) run through the node at Node; Depth bytes of them lead there.
    struct TPendingNode {
        TAtomHandle Node;
        size_t Depth;
        size_t First;
        size_t Last;
    };
    std::vector<TPendingNode> pending{{root, 0, 0, keys.size()}};
    std::vector<TPendingNode> children;
    TAtomData node, value;
    while (!pending.empty()) {
        TPendingNode step = pending.back();
        pending.pop_back();
        if (!step.Node) continue;
        reader.Read(step.Node, node);
        size_t first = step.First, depth = step.Depth;
        if (keys[first].size() == depth) {
            if (TAtomHandle at = NodeLink(node, ATINode::ValueLink)) {
                reader.Read(at, value);
                visit(keys[first], value.Data);
                reader.CheckUnchanged();
            }
            ++first;
        }
        if (first == step.Last) continue;
        std::string_view text = NodeText(node);
        if (IsChain(text)) {
            std::string_view edge = text.substr(ATINode::FirstChildPos);
            for (size_t i = first; i < step.Last; ++i)
                if (std::string_view(keys[i]).substr(depth) == edge) {
                    pending.push_back({NodeLink(node, ATINode::FirstChildLink), keys[i].size(), i, i + 1});
                    break;
                }
            continue;
        }
        children.clear();
        for (size_t i = first; i < step.Last;) {
            uint8_t b = ByteAt(keys[i], depth);
            size_t end = i + 1;
            while (end < step.Last && ByteAt(keys[end], depth) == b) ++end;
            if (uint32_t link = LinkInParent(THasLink{node}, text, b))
                children.push_back({NodeLink(node, link), depth + 1, i, end});
            i = end;
        }
        std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
    }
}

std::string TAtomTreeIndex::KeyText() {
    if (!Current()) return {};
    TAccessScope read(CurrentNode.get(), ReadAccess);
    if (!CurrentNode->HasLink(ATINode::ValueLink)) return {};
    return NodeKey(CurrentNode.get());
}

// The key of any node, climbing to the root.
std::string TAtomTreeIndex::NodeKey(IVirtualAtom* start) {
    if (IsRoot(start)) return {};
    TAccessScope read(start, ReadAccess);
    std::string key(1, char(OwnOf(start->GetText())));
    TRef<IVirtualAtom> node(start);
    for (uint64_t left = MoveBound();; --left) {
        if (left == 0) throw TATIError(ATICode::Unknown);
        TRef<IVirtualAtom> parent = node->OpenLinkAccess(ATINode::ParentLink, NoAccess);
        if (!parent) break;
        if (HandleOf(parent.get()) == RootHandle) {
            TAccessScope rootRead(RootNode.get(), ReadAccess);
            std::string rtext = RootNode->GetText();
            if (IsChain(rtext) && rtext.size() >= ATINode::FirstChildPos + 2)
                key = rtext.substr(ATINode::FirstChildPos);
            break;
        }
        parent->SetAccess(ReadAccess);
        std::string ptext = parent->GetText();
        if (IsChain(ptext))
            key = ptext.substr(ATINode::OwnPos);
        else
            key.insert(key.begin(), char(OwnOf(ptext)));
        node = parent;
    }
    return key;
}

TRef<IVirtualAtom> TAtomTreeIndex::CurrentValue(TAccess access) {
    if (!Current()) return nullptr;
    TAccessScope read(CurrentNode.get(), ReadAccess);
    return CurrentNode->OpenLinkAccess(ATINode::ValueLink, access);
}

bool TAtomTreeIndex::CurrentIsEmpty() {
    if (!Current()) return true;
    TAccessScope read(CurrentNode.get(), ReadAccess);
    return !CurrentNode->HasLink(ATINode::ValueLink);
}

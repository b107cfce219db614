// The trie reader: node reads by peek or open, the path with its ordered steps, lookups from the
// learnt nodes, and the batch lookup of many keys in one descent.
#include "index/TrieReader.h"

#include "index/UAtomTreeIndex.h"
#include "storage/KVZError.h"

#include <algorithm>
#include <iterator>

using namespace TrieNode;

namespace {

std::string_view Text(const TAtomContent& node) {
    return {reinterpret_cast<const char*>(node.Data.data()), node.Data.size()};
}
TAtomHandle LinkOf(const TAtomContent& node, uint32_t link) { return link < node.Links.size() ? node.Links[link] : 0; }
struct THasLink {
    const TAtomContent& Node;
    bool operator()(uint32_t link) const { return LinkOf(Node, link) != 0; }
};
uint8_t OwnOf(std::string_view text) { return text.size() > ATINode::OwnPos ? uint8_t(text[ATINode::OwnPos]) : 0; }

// The key grows by what the step from a node with text consumes: the child's byte for a
// branch, the whole edge for a chain; climbing takes the same bytes off again.
void KeyDown(std::string& key, std::string_view text, uint32_t link) {
    if (IsBranch(text))
        key += text[PosOfLink(link)];
    else
        key.append(text.substr(ATINode::FirstChildPos));
}
void KeyUp(std::string& key, std::string_view parentText) {
    size_t drop = IsBranch(parentText) ? 1 : parentText.size() - ATINode::FirstChildPos;
    key.resize(key.size() - std::min(drop, key.size()));
}

void ReadOpen(IVirtualAtom* atom, TAtomContent& into) {
    TAccessScope read(atom, AccessReadOnly);
    into.Data = atom->GetBytes();
    into.Links.assign(atom->GetLinkCount(), 0);
    TRef<IAtomLinks> links = Query<IAtomLinks>(atom);
    if (!links) throw EKVZError(OstraCode::CapabilityNotSupported, OstraMsg::CapabilityNotSupported);
    for (uint32_t i = 0; i < into.Links.size(); ++i) into.Links[i] = links->GetLinkHandle(i);
}

// keys in ascending order without repeats: keys itself when they come so (a caller that looks
// the same keys up in many tries sorts them once), else a sorted copy made in storage.
const std::vector<std::string>& OrderedKeys(const std::vector<std::string>& keys, std::vector<std::string>& storage) {
    if (std::adjacent_find(keys.begin(), keys.end(), std::greater_equal<>()) == keys.end()) return keys;
    storage = keys;
    std::sort(storage.begin(), storage.end());
    storage.erase(std::unique(storage.begin(), storage.end()), storage.end());
    return storage;
}

// Bounds the learnt nodes. Past MaxLearntNodes no new node is learnt: a table that outgrows the
// processor's caches costs a lookup more misses than reading the nodes from the file, and the
// nodes every lookup passes, near the root, are learnt first. Past MaxLearntBytes (nodes with
// long texts) the table starts afresh.
constexpr size_t MaxLearntNodes = size_t(1) << 14;
constexpr size_t MaxLearntBytes = size_t(16) << 20;

// Handles within this distance count as near: their entries lie within 32 KB of table.
constexpr TAtomHandle NearHandles = 1024;

} // namespace

// ---------------------------------------------------------------------------------------------
// Children by byte

[[gnu::always_inline]] inline void TChildBytes::Build(const TAtomContent& node) {
    Bits = {};
    std::string_view text = Text(node);
    for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i) {
        uint8_t v = uint8_t(text[i]);
        if (!Has(v) && LinkOf(node, LinkOfPos(i))) {
            Bits[v / 64] |= uint64_t(1) << (v % 64);
            Links[v] = LinkOfPos(i);
        }
    }
}

uint32_t TChildBytes::After(int c) const {
    for (int word = (c + 1) / 64; word < 4; ++word) {
        uint64_t bits = Bits[size_t(word)];
        if (word == (c + 1) / 64) bits &= ~uint64_t(0) << ((c + 1) % 64);
        if (bits) return Links[size_t(word * 64 + std::countr_zero(bits))];
    }
    return 0;
}

uint32_t TChildBytes::Before(int c) const {
    for (int word = (c - 1) / 64; word >= 0 && c > 0; --word) {
        uint64_t bits = Bits[size_t(word)];
        if (word == (c - 1) / 64 && (c - 1) % 64 != 63) bits &= (uint64_t(1) << ((c - 1) % 64 + 1)) - 1;
        if (bits) return Links[size_t(word * 64 + 63 - std::countl_zero(bits))];
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Reads

TTrieReader::TTrieReader(IVirtualStorage& maker, const TTrieChangeCount* changes)
    : Maker(maker), StorageID(maker.GetStorageID()), Peek(Query<IAtomPeek>(&maker)), Changes(changes) {
    StartCount();
}

void TTrieReader::SetRoot(IVirtualAtom* root) {
    RootOpen = root;
    RootHandle = HandleOf(root);
}

void TTrieReader::ReadOpened(TAtomHandle handle, TAtomContent& into) {
    TRef<IVirtualAtom> atom = Open(handle, AccessReadOnly);
    ReadOpen(atom.get(), into);
}

TRef<IVirtualAtom> TTrieReader::Open(TAtomHandle handle, TAccess access) {
    if (RootOpen && handle == RootHandle) return TRef<IVirtualAtom>(RootOpen);
    try {
        return Maker.OpenAtomAccess(TAtomAddress{StorageID, handle, 0}, access);
    } catch (const EKVZError& error) {
        if (error.Code == OstraCode::InvalidAtomAddress) throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
        throw;
    }
}

TAtomHandle TTrieReader::HandleOf(IVirtualAtom* atom) const {
    if (Peek && atom)
        if (TAtomHandle handle = Peek->HandleOf(atom)) return handle;
    TRef<IAtomInfo> info = Query<IAtomInfo>(atom);
    return info ? info->GetAddress().Handle : 0;
}

// Nodes reached by more than one link (each of them below a node reached so) make a pass read
// more nodes than the file holds.
void TTrieReader::CountNode() {
    if (NodesLeft-- == 0) throw TATIError(ATICode::Unknown);
}

void TTrieReader::RaiseChanged() { throw EKVZError(OstraCode::ShareViolation, OstraMsg::AtomShareViolation); }

// The value and children of the node (at handle here) are read next: the memory of those whose
// handles lie far from its own is asked for at once. A near one's entry lies in table memory
// the walk has just read, or the processor streams in by itself: asking for it cost more than
// it saved on a file filled in key order. Where nothing could be asked for, the next HintPause
// nodes go without.
[[gnu::always_inline]] inline void TTrieReader::PrefetchBelow(const TAtomContent& node, TAtomHandle here) {
    if (!Peek || node.Links.size() <= ATINode::ValueLink) return;
    if (HintsPaused > 0) {
        --HintsPaused;
        return;
    }
    FarLinks.clear();
    for (size_t i = ATINode::ValueLink; i < node.Links.size(); ++i)
        if (TAtomHandle h = node.Links[i]; h && (h > here ? h - here : here - h) > NearHandles) FarLinks.push_back(h);
    if (!FarLinks.empty() && !Peek->PrefetchLinked(FarLinks)) HintsPaused = HintPause;
}

// ---------------------------------------------------------------------------------------------
// The path and its steps

void TTrieReader::StartAtRoot() {
    Frames.resize(std::max<size_t>(Frames.size(), 1));
    Children.resize(Frames.size());
    Handles.resize(Frames.size());
    Handles[0] = RootHandle;
    Depth = 0;
    PathKey.clear();
    Placed = true;
    PathRead = true;
    PathAt = Changes ? Changes->Get() : 0;
    StartCount();
    Read(RootHandle, Frames[0]);
    Children[0].Build(Frames[0]);
    PrefetchBelow(Frames[0], RootHandle);
}

// A damaged file may link a node back to one of its ancestors: the walk would descend for ever.
// The path then repeats with some period c from some depth on, so the new node at depth d is
// compared with the one at the largest power of two below d, which finds any such repeat by
// depth 2 * max(c, where it starts) at one comparison a step. The node is read before the path
// moves, so a failed read leaves the path where it was.
void TTrieReader::Descend(uint32_t link) {
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
    KeyDown(PathKey, Text(Top()), link);
    Children[depth].Build(Frames[depth]);
    PrefetchBelow(Frames[depth], child);
    Handles[depth] = child;
    Depth = depth;
}

void TTrieReader::DescendLast() {
    while (uint32_t down = Children[Depth].Before(256)) Descend(down);
}

void TTrieReader::ReadPath() {
    std::string key = std::move(PathKey);
    StartAtRoot();
    for (size_t pos = 0; pos < key.size();) {
        uint32_t link = ChildFor(Text(Top()), THasLink{Top()}, key, pos);
        if (!link) break;
        Descend(link);
    }
}

void TTrieReader::SetPosition(std::string_view key) {
    PathKey.assign(key);
    Placed = true;
    PathRead = false;
}

bool TTrieReader::First() {
    StartAtRoot();
    return LinkOf(Top(), ATINode::ValueLink) || Next();
}

bool TTrieReader::Last() {
    StartAtRoot();
    DescendLast();
    return LinkOf(Top(), ATINode::ValueLink) || Prior();
}

[[gnu::always_inline]] inline bool TTrieReader::HasPath() {
    if (!Placed) return false;
    if (Stale()) ReadPath();
    return true;
}

[[gnu::always_inline]] inline int TTrieReader::Climb() {
    uint8_t own = OwnOf(Text(Top()));
    --Depth;
    std::string_view ptext = Text(Top());
    KeyUp(PathKey, ptext);
    return IsBranch(ptext) && Children[Depth].Of(own) ? own : -1;
}

bool TTrieReader::Next() {
    if (!HasPath()) return false;
    for (;;) {
        if (uint32_t down = Children[Depth].After(-1)) {
            Descend(down);
        } else {
            for (;;) {
                if (Depth == 0) return false;
                int from = Climb();
                if (uint32_t next = from < 0 ? 0 : Children[Depth].After(from)) {
                    Descend(next);
                    break;
                }
            }
        }
        if (LinkOf(Top(), ATINode::ValueLink)) return true;
    }
}

bool TTrieReader::Prior() {
    if (!HasPath()) return false;
    for (;;) {
        if (Depth == 0) return false;
        int from = Climb();
        if (uint32_t prior = from < 0 ? 0 : Children[Depth].Before(from)) {
            Descend(prior);
            DescendLast();
        }
        if (LinkOf(Top(), ATINode::ValueLink)) return true;
    }
}

TAtomHandle TTrieReader::ValueHere() { return HasPath() ? LinkOf(Top(), ATINode::ValueLink) : 0; }

// ---------------------------------------------------------------------------------------------
// Lookups

// A lookup that misses at a node holding a value checks the node's parent link against the
// path: a damaged file whose parent links go elsewhere ends with the trie's error.
bool TTrieReader::Find(std::string_view key, TAtomHandle& value, TAtomHandle start, size_t pos) {
    value = 0;
    if (Placed && !Stale() && PathKey == key) {
        FoundAt = Handles[Depth];
        value = LinkOf(Top(), ATINode::ValueLink);
        return true;
    }
    TAtomHandle parent = 0;
    TAtomHandle at = start;
    if (!start) {
        at = LearntPath(key, pos);
        parent = LearntParent;
    }
    TAtomContent& node = LookupNode;
    bool found = true;
    while (pos < key.size()) {
        Read(at, node);
        std::string_view text = Text(node);
        size_t next = pos;
        uint32_t link = ChildFor(text, THasLink{node}, key, next);
        if (!link) {
            found = false;
            break;
        }
        TAtomHandle child = LinkOf(node, link);
        Learn(at, text, link, child);
        parent = at;
        at = child;
        pos = next;
    }
    SetPosition(key.substr(0, pos));
    FoundAt = at;
    if (!found) {
        if (LinkOf(node, ATINode::ValueLink) && at != RootHandle && parent &&
            LinkOf(node, ATINode::ParentLink) != parent)
            throw TATIError(ATICode::Unknown);
        return false;
    }
    if (const TLearntNode* learnt = Learnt.Find(at); learnt && learnt->ValueKnown) {
        value = learnt->Value;
        return true;
    }
    Read(at, node);
    value = LinkOf(node, ATINode::ValueLink);
    if (TLearntNode* learnt = LearntEntry(at, Text(node))) {
        learnt->Value = value;
        learnt->ValueKnown = true;
    }
    return true;
}

void TTrieReader::Learn(TAtomHandle handle, std::string_view text, uint32_t link, TAtomHandle child) {
    if (!handle || !child || link < ATINode::FirstChildLink) return;
    size_t pos = PosOfLink(link);
    TLearntNode* learnt = LearntEntry(handle, text);
    if (!learnt) return;
    std::span<TAtomHandle> children = Learnt.Children(*learnt);
    if (pos < children.size()) children[pos] = child;
}

TLearntNode* TTrieReader::LearntEntry(TAtomHandle handle, std::string_view text) {
    if (Learnt.Footprint() > MaxLearntBytes) Learnt = TLearntNodes{};
    if (Learnt.Size() >= MaxLearntNodes && !Learnt.Find(handle)) return nullptr;
    return &Learnt.Entry(handle, text, text.size() > ATINode::FirstChildPos ? text.size() : 0); // a leaf has none
}

TAtomHandle TTrieReader::LearntPath(std::string_view key, size_t& pos) {
    TAtomHandle at = RootHandle;
    LearntParent = 0;
    while (pos < key.size()) {
        const TLearntNode* found = Learnt.Find(at);
        if (!found) break;
        std::span<const TAtomHandle> children = Learnt.Children(*found);
        auto learnt = [&](uint32_t link) {
            return PosOfLink(link) < children.size() && children[PosOfLink(link)] != 0;
        };
        uint32_t link = ChildFor(Learnt.Text(*found), learnt, key, pos);
        if (!link) break;
        LearntParent = at;
        at = children[PosOfLink(link)];
    }
    return at;
}

// Depth first from the root, each node taking the sorted keys that run through it: the node's
// own key first, then per child byte the keys that continue with it, in ascending order, so the
// visits come in key order. A chain leads only to the key that ends with its whole edge, as a
// lookup finds it.
void TTrieReader::FindEach(TAtomHandle root, const std::vector<std::string>& given,
                           const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit) {
    std::vector<std::string> sorted;
    const std::vector<std::string>& keys = OrderedKeys(given, sorted);
    if (keys.empty()) return;
    PathAt = Changes ? Changes->Get() : 0;
    // The keys [First, Last) run through the node at Node; Depth bytes of them lead there.
    struct TPendingNode {
        TAtomHandle Node;
        size_t Depth;
        size_t First;
        size_t Last;
    };
    std::vector<TPendingNode> pending{{root, 0, 0, keys.size()}};
    std::vector<TPendingNode> children;
    TAtomContent& node = LookupNode;
    while (!pending.empty()) {
        TPendingNode step = pending.back();
        pending.pop_back();
        if (!step.Node) continue;
        Read(step.Node, node);
        size_t first = step.First, depth = step.Depth;
        if (keys[first].size() == depth) {
            if (TAtomHandle at = LinkOf(node, ATINode::ValueLink)) {
                Read(at, ValueContent);
                visit(keys[first], ValueContent.Data);
                CheckUnchanged();
            }
            ++first;
        }
        if (first == step.Last) continue;
        std::string_view text = Text(node);
        children.clear();
        for (size_t i = first; i < step.Last;) {
            size_t end = i + 1;
            if (IsBranch(text))
                while (end < step.Last && keys[end][depth] == keys[i][depth]) ++end;
            size_t pos = depth;
            if (uint32_t link = ChildFor(text, THasLink{node}, keys[i], pos))
                children.push_back({LinkOf(node, link), pos, i, end});
            i = end;
        }
        std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
    }
}

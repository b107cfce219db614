// The one reader of a trie's nodes: the rule that picks the child for the next key byte, a path
// from the root with ordered steps both ways, the check that ends a walk round a damaged file,
// and the nodes that earlier lookups learnt. It reads and never writes: growing and clearing
// the trie are the index's (UAtomTreeIndex).
#pragma once

#include "index/LearntNodes.h"
#include "index/TrieChangeCount.h"
#include "platform/FunctionRef.h"
#include "storage/AtomPeek.h"
#include "storage/Corvane.h"

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Node atom links and text layout. Text: kind, own character, then child bytes (branch) or
// the compressed edge (chain). The child for the byte at text index i is in link i + 2.
namespace ATINode {
inline constexpr uint32_t HeaderRootLink = 1;
inline constexpr uint32_t ParentLink = 1;
inline constexpr uint32_t ValueLink = 2;
inline constexpr uint32_t FirstChildLink = 4;
inline constexpr char Branch = '-';
inline constexpr char Chain = '+';
inline constexpr size_t KindPos = 0;
inline constexpr size_t OwnPos = 1;
inline constexpr size_t FirstChildPos = 2;
inline constexpr std::string_view EmptyRoot = "- ";
} // namespace ATINode

namespace TrieNode {
inline bool IsBranch(std::string_view text) { return text.empty() || text[ATINode::KindPos] != ATINode::Chain; }
inline uint32_t LinkOfPos(size_t i) { return uint32_t(i + 2); }
inline size_t PosOfLink(uint32_t link) { return size_t(link - 2); }

// The descent: the link of the child that key continues with at pos in the node with text
// (hasLink(link) tells which links hold a child), pos moved past the bytes it takes; 0 when
// the trie holds no such child. A branch's child for a byte is the first linked position
// holding it; a chain leads only to the key that ends with its whole edge.
template <class HasLink>
[[gnu::always_inline]] inline uint32_t ChildFor(std::string_view text, const HasLink& hasLink, std::string_view key,
                                                size_t& pos) {
    std::string_view rest = key.substr(pos);
    if (IsBranch(text)) {
        for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i)
            if (text[i] == rest[0] && hasLink(LinkOfPos(i))) {
                ++pos;
                return LinkOfPos(i);
            }
        return 0;
    }
    if (text.substr(ATINode::FirstChildPos) != rest || !hasLink(ATINode::FirstChildLink)) return 0;
    pos = key.size();
    return ATINode::FirstChildLink;
}
} // namespace TrieNode

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

// A node's children by byte, for an ordered walk that comes back to the node once per child:
// the bytes that have a linked child, each with the first linked position holding it, as the
// descent chooses them.
class TChildBytes {
public:
    void Build(const TAtomContent& node);
    // The link of the child with the smallest byte above c (c = -1: any), or 0.
    uint32_t After(int c) const;
    // The link of the child with the greatest byte below c (c = 256: any), or 0.
    uint32_t Before(int c) const;
    // The link of the child for byte b, or 0.
    uint32_t Of(uint8_t b) const { return Has(b) ? Links[b] : 0; }

private:
    bool Has(uint8_t b) const { return Bits[b / 64] >> (b % 64) & 1; }

    std::array<uint64_t, 4> Bits{};
    std::array<uint32_t, 256> Links; // valid where the bit is set
};

class TTrieReader {
public:
    // Reads through maker. changes, when given, is the trie's change count, which tells when
    // the path read here is stale.
    explicit TTrieReader(IVirtualStorage& maker, const TTrieChangeCount* changes = nullptr);
    // The trie's root node, whose open serves for reading it and for opening it.
    void SetRoot(IVirtualAtom* root);

    // The node or value at handle: peeked, or read through an open closed again at once.
    void Read(TAtomHandle handle, TAtomContent& into) {
        if (!Peek || !Peek->PeekLinked(handle, into)) ReadOpened(handle, into);
    }
    // The atom at handle opened with access (the root as rootOpen, as it is); a handle that
    // names no atom is a broken link.
    TRef<IVirtualAtom> Open(TAtomHandle handle, TAccess access);
    // The handle of an open atom.
    TAtomHandle HandleOf(IVirtualAtom* atom) const;
    // Counts a node read by a pass over the trie: one that reads more nodes than the file
    // holds is going round a damaged trie and ends with the trie's error.
    void CountNode();
    void StartCount() { NodesLeft = Peek ? Peek->AtomCountBound() : UINT64_MAX; }

    // The path: a position in the trie (the key of a node), with the nodes from the root to it
    // read when a step needs them. Steps go in key order, which is the nodes' preorder.
    // Starts at the root; true when it or a later node holds a value.
    bool First();
    // Starts at the last node; true when it or an earlier node holds a value.
    bool Last();
    // Moves to the next (previous) node holding a value; false, back at the root, when none.
    // False with no position.
    bool Next();
    bool Prior();
    // The position at the node of key, read when a step needs it.
    void SetPosition(std::string_view key);
    // No position: steps find nothing until a lookup or a walk sets one.
    void ClearPosition() { Placed = false; }
    bool HasPosition() const { return Placed; }
    // The key of the position.
    const std::string& Key() const { return PathKey; }
    // The value link of the node at the position, read now (0: none, or no position).
    TAtomHandle ValueHere();
    // The value at the position, read after a step.
    const TAtomContent& Value() {
        Read(Frames[Depth].Links[ATINode::ValueLink], ValueContent);
        return ValueContent;
    }

    // A lookup: the position moves to the deepest node of key's path (the key's own node when
    // the trie has it), starting from the learnt nodes (or at start, the node of key's first
    // pos bytes, when given) and learning what it reads. True when key's node exists; value is
    // then the handle in its value link (0: none).
    bool Find(std::string_view key, TAtomHandle& value, TAtomHandle start = 0, size_t pos = 0);
    // The node where the last lookup stopped.
    TAtomHandle Found() const { return FoundAt; }

    // Each of keys that the trie below root holds, with its value's data, in key order; one
    // descent that reads only the nodes on the paths to keys. visit must not change the trie.
    void FindEach(TAtomHandle root, const std::vector<std::string>& keys,
                  const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit);

    // A change to the trie through any object since the path was read: the nodes held here may
    // be gone. Where opens would have refused the change, the walk refuses to go on.
    void CheckUnchanged() const {
        if (Changes && Changes->Get() != PathAt) [[unlikely]]
            RaiseChanged();
    }

    // What lookups learnt; growing the trie forgets a node it changes, and a change through
    // another object forgets everything.
    void Learn(TAtomHandle node, std::string_view text, uint32_t link, TAtomHandle child);
    void Forget(TAtomHandle node) {
        if (!Learnt.Empty()) Learnt.Erase(node);
    }
    void ForgetAll() { Learnt.Clear(); }
    // The deepest node of key's path that the learnt nodes reach (the root when none); pos moves
    // past the bytes taken.
    TAtomHandle LearntPath(std::string_view key, size_t& pos);

private:
    [[noreturn]] static void RaiseChanged();
    void ReadOpened(TAtomHandle handle, TAtomContent& into);
    TAtomContent& Top() { return Frames[Depth]; }
    bool Stale() const { return !PathRead || (Changes && Changes->Get() != PathAt); }
    // The path read anew down to the position's node (as far as the trie holds it).
    void ReadPath();
    // Whether there is a position, its path read anew when stale.
    bool HasPath();
    // Moves up to the parent, taking the node's bytes off the key; the byte by which the parent
    // reaches the node among its children, or -1 where it has no siblings (a chain's child).
    int Climb();
    void StartAtRoot();
    void Descend(uint32_t link);
    void DescendLast();
    void PrefetchBelow(const TAtomContent& node, TAtomHandle here);
    TLearntNode* LearntEntry(TAtomHandle handle, std::string_view text);

    IVirtualStorage& Maker;
    TGUID StorageID;
    TRef<IAtomPeek> Peek; // the maker's, where it has one
    TAtomHandle RootHandle = 0;
    IVirtualAtom* RootOpen = nullptr;
    TAtomHandle FoundAt = 0;
    const TTrieChangeCount* Changes;
    uint64_t NodesLeft = UINT64_MAX;

    // The position: its key, and whether a path was read for it at change count PathAt.
    std::string PathKey;
    bool Placed = true;
    bool PathRead = false;
    uint64_t PathAt = 0;
    // The path from the root: Frames[0 .. Depth]; deeper ones keep their buffers for reuse.
    std::vector<TAtomContent> Frames;
    std::vector<TChildBytes> Children; // of the frames
    std::vector<TAtomHandle> Handles;  // of the frames
    size_t Depth = 0;
    TAtomContent ValueContent;
    TAtomContent LookupNode; // the node a lookup reads, kept so that its buffers serve the next

    static constexpr uint32_t HintPause = 63;
    uint32_t HintsPaused = 0;
    std::vector<TAtomHandle> FarLinks; // of the node hinted at last

    TLearntNodes Learnt;
    TAtomHandle LearntParent = 0; // of the node LearntPath returned last (0: none)
};

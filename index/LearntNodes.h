// What lookups learnt of a trie's nodes, by handle: an open-addressing table over nodes kept in
// one array, their texts and children in two pools, so that learning a node takes no heap
// block of its own and forgetting them all frees nothing.
#pragma once

#include "storage/Corvane.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

struct TLearntNode {
    TAtomHandle Handle = 0;
    // The handle in the value link, once a lookup ended at the node.
    TAtomHandle Value = 0;
    bool ValueKnown = false;

private:
    friend class TLearntNodes;
    // Places in the pools; a node keeps its room when it is learnt again or reused.
    uint32_t TextAt = 0, TextLength = 0, TextRoom = 0;
    uint32_t ChildAt = 0, ChildCount = 0, ChildRoom = 0;
};

class TLearntNodes {
public:
    bool Empty() const { return Count == 0; }
    size_t Size() const { return Count; }
    // The node at handle, or nil when nothing was learnt of it.
    TLearntNode* Find(TAtomHandle handle);
    // The node at handle with text; started afresh when it is new or its text changed. The
    // reference holds until the next Entry.
    TLearntNode& Entry(TAtomHandle handle, std::string_view text, size_t childCount);
    void Erase(TAtomHandle handle);
    // Forgets every node; the memory stays for the nodes learnt next.
    void Clear();

    std::string_view Text(const TLearntNode& node) const { return {TextPool.data() + node.TextAt, node.TextLength}; }
    // The handles of the children met, by text position (0 when not yet met); none for a leaf.
    std::span<TAtomHandle> Children(const TLearntNode& node) {
        return {ChildPool.data() + node.ChildAt, node.ChildCount};
    }
    // Bytes held: a long session starts afresh past a bound.
    size_t Footprint() const;

private:
    size_t Home(TAtomHandle handle) const { return size_t((uint32_t(handle) * 0x9E3779B1u) >> Shift); }
    // The slot holding handle, or the empty slot where it would go.
    size_t SlotOf(TAtomHandle handle) const;
    void Grow();

    // Node numbers plus one by slot, 0 where empty; a power of two, at most half full.
    std::vector<uint32_t> Slots;
    unsigned Shift = 32;
    std::vector<TLearntNode> Nodes;
    std::vector<uint32_t> FreeNodes;
    size_t Count = 0;
    std::vector<char> TextPool;
    std::vector<TAtomHandle> ChildPool;
};

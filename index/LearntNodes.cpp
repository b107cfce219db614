// The learnt nodes of one trie reader (TrieReader): an open-addressing table by handle over
// pooled texts and children, so that a lookup passes the nodes near the root without reading
// them. Holds no atoms and knows nothing of the file.
#include "index/LearntNodes.h"

#include <algorithm>
#include <bit>

size_t TLearntNodes::SlotOf(TAtomHandle handle) const {
    size_t mask = Slots.size() - 1;
    size_t slot = Home(handle);
    while (Slots[slot] && Nodes[Slots[slot] - 1].Handle != handle) slot = (slot + 1) & mask;
    return slot;
}

TLearntNode* TLearntNodes::Find(TAtomHandle handle) {
    if (Count == 0) return nullptr;
    uint32_t number = Slots[SlotOf(handle)];
    return number ? &Nodes[number - 1] : nullptr;
}

TLearntNode& TLearntNodes::Entry(TAtomHandle handle, std::string_view text, size_t childCount) {
    if ((Count + 1) * 2 > Slots.size()) Grow();
    size_t slot = SlotOf(handle);
    TLearntNode* node;
    if (Slots[slot]) {
        node = &Nodes[Slots[slot] - 1];
        if (Text(*node) == text) return *node;
    } else {
        uint32_t number;
        if (!FreeNodes.empty()) {
            number = FreeNodes.back();
            FreeNodes.pop_back();
        } else {
            number = uint32_t(Count);
            if (number == Nodes.size()) Nodes.emplace_back();
        }
        Slots[slot] = number + 1;
        ++Count;
        node = &Nodes[number];
        node->Handle = handle;
    }
    if (text.size() > node->TextRoom) {
        node->TextAt = uint32_t(TextPool.size());
        node->TextRoom = uint32_t(text.size());
        TextPool.resize(TextPool.size() + text.size());
    }
    std::copy(text.begin(), text.end(), TextPool.begin() + node->TextAt);
    node->TextLength = uint32_t(text.size());
    if (childCount > node->ChildRoom) {
        node->ChildAt = uint32_t(ChildPool.size());
        node->ChildRoom = uint32_t(childCount);
        ChildPool.resize(ChildPool.size() + childCount);
    }
    std::fill_n(ChildPool.begin() + node->ChildAt, childCount, 0);
    node->ChildCount = uint32_t(childCount);
    node->Value = 0;
    node->ValueKnown = false;
    return *node;
}

// The slots after the emptied one move back over it while their home lies at or before it, so
// that every handle stays reachable from its home without gaps.
void TLearntNodes::Erase(TAtomHandle handle) {
    if (Count == 0) return;
    size_t mask = Slots.size() - 1;
    size_t hole = SlotOf(handle);
    if (!Slots[hole]) return;
    FreeNodes.push_back(Slots[hole] - 1);
    Slots[hole] = 0;
    --Count;
    for (size_t next = (hole + 1) & mask; Slots[next]; next = (next + 1) & mask) {
        size_t home = Home(Nodes[Slots[next] - 1].Handle);
        // Whether home lies cyclically in (hole, next]: then the entry must stay.
        bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (stays) continue;
        Slots[hole] = Slots[next];
        Slots[next] = 0;
        hole = next;
    }
}

void TLearntNodes::Clear() {
    std::fill(Slots.begin(), Slots.end(), 0);
    FreeNodes.clear();
    Count = 0;
}

size_t TLearntNodes::Footprint() const {
    return Slots.capacity() * sizeof(uint32_t) + Nodes.capacity() * sizeof(TLearntNode) + TextPool.capacity() +
           ChildPool.capacity() * sizeof(TAtomHandle);
}

void TLearntNodes::Grow() {
    size_t size = std::max<size_t>(Slots.size() * 2, 64);
    Slots.assign(size, 0);
    Shift = 32 - unsigned(std::countr_zero(size));
    size_t mask = size - 1;
    // Nodes [0, Count + free) may hold learnt ones; the free ones are skipped.
    std::vector<bool> free(Nodes.size(), false);
    for (uint32_t number : FreeNodes) free[number] = true;
    size_t used = Count + FreeNodes.size();
    for (uint32_t number = 0; number < used; ++number) {
        if (free[number]) continue;
        size_t slot = Home(Nodes[number].Handle);
        while (Slots[slot]) slot = (slot + 1) & mask;
        Slots[slot] = number + 1;
    }
}

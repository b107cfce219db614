// The hole list: an address-ordered map for neighbours and a (size, age)-ordered map for best fit.
#include "storage/HoleList.h"

THoleRec* THoleList::AddHole(std::unique_ptr<THoleRec> hole) {
    hole->Order = nextOrder_++;
    THoleRec* rec = hole.get();
    bySize_.emplace(std::make_pair(rec->Size, rec->Order), rec);
    byAddress_[rec->Address] = std::move(hole);
    return rec;
}

std::unique_ptr<THoleRec> THoleList::RemoveHole(THoleRec* hole) {
    bySize_.erase(std::make_pair(hole->Size, hole->Order));
    auto it = byAddress_.find(hole->Address);
    if (it == byAddress_.end() || it->second.get() != hole) return nullptr;
    std::unique_ptr<THoleRec> owned = std::move(it->second);
    byAddress_.erase(it);
    return owned;
}

std::pair<THoleRec*, THoleRec*> THoleList::FindNeighbours(uint32_t size, uint64_t address) const {
    THoleRec* before = nullptr;
    THoleRec* after = nullptr;
    auto next = byAddress_.upper_bound(address);
    if (next != byAddress_.end() && next->first == address + size) after = next->second.get();
    auto at = byAddress_.lower_bound(address);
    if (at != byAddress_.begin()) {
        THoleRec* prev = std::prev(at)->second.get();
        if (prev->Address + prev->Size == address) before = prev;
    }
    return {before, after};
}

THoleRec* THoleList::BestFit(uint32_t size) const {
    auto it = bySize_.lower_bound(std::make_pair(size, uint64_t(0)));
    return it == bySize_.end() ? nullptr : it->second;
}

THoleRec* THoleList::FindOverlapping(uint64_t begin, uint64_t end) const {
    auto it = byAddress_.lower_bound(end);
    if (it == byAddress_.begin()) return nullptr;
    THoleRec* hole = std::prev(it)->second.get();
    return hole->Address + hole->Size > begin ? hole : nullptr;
}

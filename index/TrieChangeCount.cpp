// The change counts of the tries open in this process, by storage and header handle. An entry
// lives while an index object holds it; one storage's tries never share a count with another's
// unless both files carry one storage ID, which only costs needless re-finds.
#include "index/TrieChangeCount.h"

#include <algorithm>
#include <map>
#include <utility>

namespace {

using TTrieName = std::pair<TGUID, TAtomHandle>;

std::map<TTrieName, std::weak_ptr<uint64_t>>& OpenTries() {
    static std::map<TTrieName, std::weak_ptr<uint64_t>> tries;
    return tries;
}

TTrieName NameOf(IVirtualAtom* header) {
    TRef<IAtomInfo> info = Query<IAtomInfo>(header);
    TAtomHandle handle = info ? info->GetAddress().Handle : 0;
    return {header->GetStorage()->GetStorageID(), handle};
}

} // namespace

TTrieChangeCount::TTrieChangeCount(IVirtualAtom* header) {
    auto& tries = OpenTries();
    TTrieName name = NameOf(header);
    if (name.second == 0) {
        // An atom without an address cannot be shared by name; it counts on its own.
        Count = std::make_shared<uint64_t>(0);
        return;
    }
    std::weak_ptr<uint64_t>& slot = tries[name];
    Count = slot.lock();
    if (Count) return;
    Count = std::make_shared<uint64_t>(0);
    slot = Count;
    // Entries of closed tries are swept when the table has doubled since the last sweep.
    static size_t sweepAt = 64;
    if (tries.size() < sweepAt) return;
    std::erase_if(tries, [](const auto& entry) { return entry.second.expired(); });
    sweepAt = std::max<size_t>(64, tries.size() * 2);
}

// The counter's walks over whole indexes and its key counts (see IndexWalks.h).
#include "counterdb/IndexWalks.h"

#include "storage/Corvane.h"

#include <exception>

namespace {

// Every key of index in order, with its value atom opened read-only (nil when values is off):
// one pass where the index offers it, else a cursor's steps.
void WalkIndex(IIndexer* index, const IIndexWalk::TVisit& visit, bool values = true) {
    if (TRef<IIndexWalk> walk = Query<IIndexWalk>(index)) {
        walk->WalkKeys(values, AccessReadOnly, visit);
        return;
    }
    TRef<IIndexerCursor> cursor = index->GetCursor();
    if (!cursor) return;
    for (bool more = cursor->First(); more; more = cursor->Next()) {
        TRef<IVirtualAtom> value = values ? cursor->GetAtomAccess(AccessReadOnly) : nullptr;
        visit(cursor->GetKey(), value.get());
    }
    cursor->Close();
}

} // namespace

bool FindBuf(IIndexer* index, std::span<const uint8_t> key, TRef<IVirtualAtom>& atom) {
    return index->FindKeyBuf(key.data(), int32_t(key.size()), atom);
}

// One pass that opens next to nothing where the index offers it, else WalkIndex's.
void WalkValues(IIndexer* index, const IIndexWalk::TValueVisit& visit) {
    if (TRef<IIndexWalk> walk = Query<IIndexWalk>(index)) {
        walk->WalkValues(visit);
        return;
    }
    WalkIndex(index, [&](std::string_view key, IVirtualAtom* value) {
        TByteArray bytes = value ? value->GetBytes() : TByteArray();
        visit(key, bytes);
    });
}

void WalkKeys(IIndexer* index, const TFunctionRef<void(std::string_view key)>& visit) {
    auto keyOnly = [&](std::string_view key, IVirtualAtom*) { visit(key); };
    WalkIndex(index, keyOnly, false);
}

size_t KeyCountHint(IIndexer* index) {
    TRef<IIndexWalk> walk = Query<IIndexWalk>(index);
    if (!walk) return 0;
    try {
        int32_t count = walk->GetKeyCount();
        return count > 0 && count <= (1 << 20) ? size_t(count) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

int32_t CountKeys(IIndexer* index) {
    TRef<IIndexerCursor> cursor = index->GetCursor();
    if (!cursor) return -1;
    int32_t count = cursor->GetCount();
    cursor->Close();
    return count;
}

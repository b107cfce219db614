// The B-tree index factory: writes and checks the 24-byte index atom and reads the "PageSize"
// parameter. Internal; callers obtain it as IIndexerFactory (NewBTreeIndexFactory).
#pragma once

#include "index/KVZIndex.h"

class TBtreeFactory : public TUnknown, public IIndexerFactory {
public:
    // 152 "not BTREE index" unless IsIndex(atom).
    TRef<IIndexer> OpenIndex(IVirtualAtom* atom, std::string_view caps, std::string_view params) override;
    // 154 for a nil storage; 19 for a bad PageSize parameter (default 40).
    TRef<IIndexer> CreateIndex(IVirtualStorage* storage, TRef<IVirtualAtom>& indexAtom, std::string_view caps,
                               std::string_view params) override;
    TRef<IIndexer> OpenOrCreateIndex(IVirtualAtom* owner, int32_t linkNo, std::string_view caps,
                                     std::string_view params) override;
    // A readable 24-byte header with this type, version 2, a valid page size, and a root page.
    bool IsIndex(IVirtualAtom* atom) override;

protected:
    void* GetInterface(const TGUID& iid) override;
};

// The counter's one way to an index at a root link (see RootLinks.h).
#include "counterdb/RootLinks.h"

TRef<IIndexer> OpenRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, TEmptyLink empty,
                             IVirtualStorage* maker, const TIndexInit& init) {
    TRef<IVirtualAtom> header = root->OpenLink(link);
    if (header || empty == TEmptyLink::Raise) return factory->OpenIndex(header.get(), "", "");
    if (empty == TEmptyLink::Nil) return nullptr;
    return MakeRootIndex(root, link, factory, maker, init);
}

TRef<IIndexer> MakeRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, IVirtualStorage* maker,
                             const TIndexInit& init) {
    TRef<IVirtualAtom> header;
    TRef<IIndexer> index = factory->CreateIndex(maker, header, "", "");
    root->SetLink(link, header.get());
    if (init) init(index.get());
    return index;
}

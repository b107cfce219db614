// The B-tree index factory: index atom header, page size parameter, open / create / recognise.
#include "index/BTreeFactory.h"

#include "index/BTreeIndex.h"
#include "platform/ByteOrder.h"
#include "storage/ParamList.h"

#include <array>

namespace {

struct THeaderFields {
    TGUID Id;
    int32_t Version = 0;
    int32_t PageSize = 0;
};

// The 24 header bytes, or false when the atom holds fewer.
bool ReadHeaderFields(IVirtualAtom* atom, THeaderFields& fields) {
    TAccessRaise read(atom, AccessReadOnly);
    std::array<uint8_t, BTreeHeader::Size> bytes{};
    if (atom->Read(0, bytes) != BTreeHeader::Size) return false;
    fields.Id = TGUID::FromBytes(std::span(bytes).subspan(BTreeHeader::IdOffset, TGUID::ByteSize));
    fields.Version = int32_t(GetLE32(bytes, BTreeHeader::VersionOffset));
    fields.PageSize = int32_t(GetLE32(bytes, BTreeHeader::PageSizeOffset));
    return true;
}

std::array<uint8_t, BTreeHeader::Size> HeaderBytes(int32_t pageSize) {
    std::array<uint8_t, BTreeHeader::Size> bytes{};
    auto id = BTreeHeader::TypeId.Bytes();
    std::copy(id.begin(), id.end(), bytes.begin() + BTreeHeader::IdOffset);
    auto put = [&](uint32_t at, int32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + uint32_t(i)] = uint8_t(uint32_t(v) >> (8 * i));
    };
    put(BTreeHeader::VersionOffset, BTreeHeader::Version);
    put(BTreeHeader::PageSizeOffset, pageSize);
    return bytes;
}

int32_t PageSizeParameter(std::string_view params) {
    TParamList list(params);
    TParam* param = list.Find("PageSize");
    if (!param) return BTreeHeader::DefaultPageSize;
    int32_t pageSize = 0;
    try {
        pageSize = param->AsInteger();
    } catch (const std::exception&) {
        throw EKVZError(IndexCode::InvalidParameter, IndexMsg::InvalidPageSize);
    }
    if (!IsValidPageSize(pageSize)) throw EKVZError(IndexCode::InvalidParameter, IndexMsg::PageSizeOutOfRange);
    return pageSize;
}

} // namespace

void* TBtreeFactory::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IIndexerFactory>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

bool TBtreeFactory::IsIndex(IVirtualAtom* atom) {
    if (!atom) return false;
    THeaderFields fields;
    if (!ReadHeaderFields(atom, fields)) return false;
    // A page size read from the file sizes every page buffer: an impossible one is no index.
    if (fields.Id != BTreeHeader::TypeId || fields.Version != BTreeHeader::Version || !IsValidPageSize(fields.PageSize))
        return false;
    TAccessRaise links(atom, AccessReadLinks);
    return bool(atom->OpenLinkAccess(BTreeHeader::RootLink, 0));
}

TRef<IIndexer> TBtreeFactory::OpenIndex(IVirtualAtom* atom, std::string_view caps, std::string_view) {
    if (!IsIndex(atom)) throw EKVZError(IndexCode::NotBTree, IndexMsg::NotBTree);
    THeaderFields fields;
    ReadHeaderFields(atom, fields);
    return TRef<IIndexer>(MakeObj<TBTreeIndex>(atom, BTreeHeader::RootLink, fields.PageSize, caps));
}

TRef<IIndexer> TBtreeFactory::CreateIndex(IVirtualStorage* storage, TRef<IVirtualAtom>& indexAtom,
                                          std::string_view caps, std::string_view params) {
    indexAtom = nullptr;
    if (!storage) throw EKVZError(IndexCode::NotStorage, IndexMsg::NotStorage);
    TRef<IVirtualAtom> atom = storage->NewAtom();
    int32_t pageSize = PageSizeParameter(params);
    atom->Write(0, HeaderBytes(pageSize));
    TRef<IIndexer> indexer(MakeObj<TBTreeIndex>(atom.get(), BTreeHeader::RootLink, pageSize, caps));
    indexAtom = atom;
    return indexer;
}

TRef<IIndexer> TBtreeFactory::OpenOrCreateIndex(IVirtualAtom* owner, int32_t linkNo, std::string_view caps,
                                                std::string_view params) {
    if (!owner) throw EKVZError(IndexCode::NotAtom, IndexMsg::NotAtom);
    uint32_t link = uint32_t(linkNo);
    if (TRef<IVirtualAtom> linked = owner->OpenLink(link)) return OpenIndex(linked.get(), caps, params);
    TRef<IVirtualAtom> atom;
    TRef<IIndexer> indexer = CreateIndex(AtomMakerOf(owner).get(), atom, caps, params);
    owner->SetLink(link, atom.get());
    return indexer;
}

TRef<IIndexerFactory> NewBTreeIndexFactory() { return TRef<IIndexerFactory>(MakeObj<TBtreeFactory>()); }

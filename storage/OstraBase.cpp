// Atom images, sharing, nested transactions, changes passed on to parents and the file, and
// cascade delete.
#include "storage/OstraBase.h"

#include "storage/Support.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>

namespace {
constexpr int64_t MaxDataLength = std::numeric_limits<uint32_t>::max();

[[noreturn]] void RaiseAtomAccess() { throw EKVZError(OstraCode::AccessDenied, OstraMsg::AtomAccessDenied); }
[[noreturn]] void RaiseDataTooLong() { throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError); }

uint8_t LinkWidthOf(TAtomHandle handle) {
    if (handle < 0x100) return 1;
    if (handle < 0x10000) return 2;
    if (handle < 0x1000000) return 3;
    return 4;
}

bool Conflicts(int32_t writers, int32_t readers) { return writers > 1 || (writers > 0 && readers > 0); }

void ReportSwallowed(const char* where, const std::exception& error) {
    ShowWarning(std::string(where) + ": " + error.what(), "Ostra-Error");
}

// A failure of the file itself (a read or write of it, or it having failed already) or of
// memory: it may have left a change half made. Other errors (an atom a damaged file lost, an
// atom held open elsewhere) leave the file as it was.
bool OfTheFile(const std::exception& error) {
    const auto* kvz = dynamic_cast<const EKVZError*>(&error);
    return !kvz || kvz->Code == OstraCode::FileIo || kvz->Code == OstraCode::AccessDenied;
}
} // namespace

// ---- share counters ----

TShareCounters& TShareCounters::operator+=(const TShareCounters& other) {
    DataReaders += other.DataReaders;
    LinkReaders += other.LinkReaders;
    DataWriters += other.DataWriters;
    LinkWriters += other.LinkWriters;
    Opens += other.Opens;
    return *this;
}

TShareCounters AccessCounts(TAccess access, int32_t n) {
    TShareCounters c;
    if (access & AccessWriteData)
        c.DataWriters = n;
    else if (access & AccessReadData)
        c.DataReaders = n;
    if (access & AccessWriteLinks)
        c.LinkWriters = n;
    else if (access & AccessReadLinks)
        c.LinkReaders = n;
    c.Opens = n;
    return c;
}

TShareCounters UsageCounts(TAccess usage, int32_t n) {
    TShareCounters c;
    if (usage & AccessStructure) c.Opens = n;
    if (usage & AccessReadData) c.DataReaders = n;
    if (usage & AccessReadLinks) c.LinkReaders = n;
    if (usage & AccessWriteData) c.DataWriters = n;
    if (usage & AccessWriteLinks) c.LinkWriters = n;
    return c;
}

TAccess UsageOf(const TShareCounters& share) {
    TAccess usage = 0;
    if (share.Opens > 0) usage |= AccessStructure;
    if (share.DataWriters > 0) usage |= AccessWriteData;
    if (share.DataReaders > 0) usage |= AccessReadData;
    if (share.LinkWriters > 0) usage |= AccessWriteLinks;
    if (share.LinkReaders > 0) usage |= AccessReadLinks;
    return usage;
}

// ---- images ----

TDataBuffer& TAtomImage::OwnData() {
    if (Data.Shared()) Data = TDataBuffer::Of(Data.data(), Data.size());
    return Data;
}

TLinkBuffer& TAtomImage::OwnLinks() {
    if (Links.Shared()) Links = TLinkBuffer::Of(Links.data(), Links.size());
    return Links;
}

void TAtomImage::AddChild(TAtomImage* child) {
    child->nextSibling_ = firstChild_;
    firstChild_ = child;
}

void TAtomImage::RemoveChild(TAtomImage* child) {
    TAtomImage** link = &firstChild_;
    while (*link != child) link = &(*link)->nextSibling_;
    *link = child->nextSibling_;
    child->nextSibling_ = nullptr;
}

void TAtomImage::TakeChildren(TAtomImage& from) {
    if (!from.firstChild_) return;
    TAtomImage* last = from.firstChild_;
    while (last->nextSibling_) last = last->nextSibling_;
    last->nextSibling_ = firstChild_;
    firstChild_ = std::exchange(from.firstChild_, nullptr);
}

// ---- TAtom ----

TAtom::~TAtom() {
    try {
        Close();
    } catch (const std::exception& error) {
        Base.CloseFailed(error);
    }
}

// A close that fails may have lost a change (passed on as the atom closes) that its caller,
// in a destructor, cannot be told of: the file fails, so that the next call and the commit
// report it and the file goes back to its last commit.
void TOstraBase::CloseFailed(const std::exception& error) noexcept {
    ReportSwallowed("Closing atom", error);
    FileObject->Fail();
}

void TAtom::Close() {
    if (!Image) return;
    Base.CloseAtom(*this);
}

TAtomImage& TAtom::Checked(TAccess bit) {
    if (!Image || (bit && !(Access & bit))) RaiseAtomAccess();
    return *Image;
}

uint32_t TAtom::GetDataLength() { return Checked(AccessReadData).DataLength(); }

uint32_t TAtom::ReadData(uint32_t offset, std::span<uint8_t> buffer) {
    TAtomImage& image = Checked(AccessReadData);
    uint32_t length = image.DataLength();
    if (buffer.empty() || offset >= length) return 0;
    uint32_t count = uint32_t(std::min<uint64_t>(buffer.size(), uint64_t(length) - offset));
    std::memcpy(buffer.data(), image.Data.data() + offset, count);
    return count;
}

void TAtom::SetDataLength(uint32_t length) { Base.SetDataLength(Checked(AccessWriteData), length); }

void TAtom::WriteData(uint32_t offset, std::span<const uint8_t> bytes) {
    Base.WriteData(Checked(AccessWriteData), offset, bytes);
}

void TAtom::SetData(std::span<const uint8_t> bytes) { Base.SetData(Checked(AccessWriteData), bytes); }

uint32_t TAtom::GetLinkCount() { return Checked(AccessReadLinks).LinkCount(); }

TAtomHandle TAtom::GetLink(uint32_t index) { return Checked(AccessReadLinks).LinkAt(index); }

void TAtom::SetLink(uint32_t index, TAtomHandle handle) { Base.SetLink(Checked(AccessWriteLinks), index, handle); }

void TAtom::InsertLink(uint32_t index, TAtomHandle handle) {
    Base.InsertLink(Checked(AccessWriteLinks), index, handle);
}

void TAtom::DeleteLink(uint32_t index) { Base.DeleteLink(Checked(AccessWriteLinks), index); }

void TAtom::SetLinkCount(uint32_t count) { Base.SetLinkCount(Checked(AccessWriteLinks), count); }

TAtomImage& TAtom::Changed() {
    TAtomImage& image = Checked(0);
    if (image.OwnerTransaction == Transaction) return image;
    Base.TakeOwnImage(*this);
    return *Image;
}

void TAtom::AddExtRefs(int32_t delta) { Base.AddExtRefs(Changed(), delta); }

void TAtom::AddLinkRefs(int32_t delta) { Base.AddLinkRefs(Changed(), delta); }

void TAtom::SetAccess(TAccess access) {
    Checked(0);
    if (access == Access) return;
    // A reader that stays one keeps the image it borrowed, as long as no transaction of its chain
    // has made an image of the atom since: the counts there are the same. Once one has, that
    // image holds what the transaction sees (another open may have changed it), and the borrowed
    // image counts its writes.
    bool keeps = !(access & (AccessWriteData | AccessWriteLinks)) && Base.MayBorrow(*Transaction, Image->AtomHandle);
    TAtomImage& image = keeps ? *Image : Changed();
    TShareCounters delta = AccessCounts(access, +1);
    delta += AccessCounts(Access, -1);
    Base.ChangeShare(image, delta);
    Access = access;
}

// A borrowed image holds the counts themselves; an image of the transaction, the change.
void TAtom::GetRefCounts(int32_t& linkRefs, int32_t& extRefs) {
    const TAtomImage* image = &Checked(0);
    if (image->OwnerTransaction != Transaction) image = Transaction->ImageTable.Get(image->AtomHandle);
    linkRefs = image ? image->LinkRefs : 0;
    extRefs = image ? image->ExtRefs : 0;
}

// ---- enumerator ----

TAtomHandle TAtomEnumerator::Next() {
    while (Base.Atoms().InRange(Position)) {
        TAtomHandle handle = Position++;
        if (Base.AtomExists(ID, handle)) return handle;
    }
    return 0;
}

// ---- transactions ----

TBaseTransaction::TBaseTransaction(TOstraBase& base, uint32_t id, TBaseTransaction* parent)
    : Base(base), ID(id), Parent(parent) {}

bool TBaseTransaction::HasOpenBelow() const {
    if (OpenHere > 0) return true;
    return std::any_of(Children.begin(), Children.end(), [](const TBaseTransaction* c) { return c->HasOpenBelow(); });
}

// ---- image tables ----

// Falling handles: a walk may drop the image it was handed, and a commit writes the atom
// table's entries in one sweep. The handles of a large transaction lie close together (new
// atoms take the free entries in order), so where they are dense they are put in order by a
// sweep over a bitmap of their range, not by sorting.
std::vector<TAtomHandle> TImageTable::HandlesBackward() const {
    std::vector<TAtomHandle> handles;
    handles.reserve(Images.Count());
    Images.ForEach([&](TAtomHandle h, TAtomImage*) { handles.push_back(h); });
    if (handles.size() < 256) {
        std::sort(handles.begin(), handles.end(), std::greater<>());
        return handles;
    }
    auto [low, high] = std::minmax_element(handles.begin(), handles.end());
    TAtomHandle first = *low;
    size_t range = size_t(*high - first) + 1;
    if (range / 16 > handles.size()) {
        std::sort(handles.begin(), handles.end(), std::greater<>());
        return handles;
    }
    std::vector<uint64_t> present((range + 63) / 64);
    for (TAtomHandle h : handles) present[(h - first) / 64] |= uint64_t(1) << ((h - first) % 64);
    size_t at = 0; // each handle is in the table once
    for (size_t word = present.size(); word-- > 0;)
        for (uint64_t bits = present[word]; bits; bits &= ~(uint64_t(1) << (63 - std::countl_zero(bits))))
            handles[at++] = first + TAtomHandle(word * 64 + size_t(63 - std::countl_zero(bits)));
    return handles;
}

uint32_t TTransactionList::Allocate(std::unique_ptr<TBaseTransaction> transaction) {
    uint32_t id = transaction->ID;
    if (!FreeIDs.empty()) {
        FreeIDs.pop_back();
        Items[id] = std::move(transaction);
    } else {
        Items.push_back(std::move(transaction));
    }
    return id;
}

void TTransactionList::Release(uint32_t id) {
    Items[id].reset();
    FreeIDs.push_back(id);
}

void TTransactionList::RaiseInvalid() { throw EInvalidTrID(); }

// ---- the base ----

TOstraBase::TOstraBase(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes, bool writeThrough)
    : FileObject(std::make_unique<TOstraFile>(fileName, mode, classes, writeThrough)) {
    AtomManager = TRef<IAtomManager>(FileObject->AtomManager());
    AtomCache = MakeObj<TAtomCache>(AtomManager, AtomCacheBits, AtomCacheLimit);
    Root = &Transactions.Get(Transactions.Allocate(std::make_unique<TBaseTransaction>(*this, 0, nullptr)));
    if (FileObject->IsNew()) CreatePredefinedAtoms();
}

void TOstraBase::CreatePredefinedAtoms() {
    for (int i = 0; i < 2; ++i) {
        TAtom atom(*this);
        NewAtom(0, 0, atom);
        atom.AddLinkRefs(+1);
        atom.Close();
    }
}

TOstraBase::~TOstraBase() {
    try {
        while (Root && !Root->Children.empty()) AbortTransaction(*Root->Children.front());
    } catch (const std::exception& error) {
        ReportSwallowed("Closing storage", error);
    }
    try {
        if (Root) FreeTransaction(*Root);
    } catch (const std::exception& error) {
        ReportSwallowed("Closing storage", error);
    }
    AtomCache.reset();
    AtomManager.reset();
    FileObject.reset();
}

TAtomImage* TOstraBase::NewImage(TAtomHandle handle, TAtomImage* parent, TBaseTransaction& owner, bool isNew) {
    std::unique_ptr<TAtomImage> image;
    if (SpareImages.empty()) {
        image = std::make_unique<TAtomImage>(handle, parent, &owner, isNew);
    } else {
        image = std::move(SpareImages.back());
        SpareImages.pop_back();
        image->AtomHandle = handle;
        image->ParentImage = parent;
        image->IsNewAtom = isNew;
        image->OwnerTransaction = &owner;
    }
    if (parent) parent->AddChild(image.get());
    try {
        owner.ImageTable.Put(handle, image.get());
    } catch (...) {
        if (parent) parent->RemoveChild(image.get());
        RecycleImage(image.release());
        throw;
    }
    return image.release(); // owned by the image table from here; freed by FreeImage
}

namespace {
constexpr size_t SpareLimit = 4096;

// The base's buffers between the cache and the images keep their room for the next atom, up to
// this size; a larger one goes back to the heap.
constexpr size_t KeptBufferBytes = 16384;
void TrimBuffers(TAtomData& data) {
    if (data.Data.capacity() > KeptBufferBytes) std::vector<uint8_t>().swap(data.Data);
    if (data.Links.capacity() * sizeof(uint32_t) > KeptBufferBytes) std::vector<uint32_t>().swap(data.Links);
}
} // namespace

// Leaves the image as a fresh one would be.
void TOstraBase::RecycleImage(TAtomImage* image) noexcept {
    std::unique_ptr<TAtomImage> owned(image);
    if (SpareImages.size() >= SpareLimit) return;
    image->Data.reset();
    image->Links.reset();
    image->LinkWidth = 1;
    image->Share = TShareCounters{};
    image->Usage = 0;
    image->ModifiedParts = 0;
    image->LinkRefs = image->ExtRefs = 0;
    image->LoadedParts = 0;
    image->BeingDeleted = false;
    SpareImages.push_back(std::move(owned));
}

void TOstraBase::FreeImage(TAtomImage* image) {
    struct TRecycle {
        TOstraBase& Base;
        TAtomImage* Image;
        ~TRecycle() { Base.RecycleImage(Image); }
    } recycle{*this, image};
    if (TAtomImage* parent = image->ParentImage) {
        ChangeShare(*parent, UsageCounts(image->Usage, -1));
        parent->RemoveChild(image);
    }
    while (TAtomImage* child = image->FirstChild()) FreeImage(child);
    TBaseTransaction& owner = *image->OwnerTransaction;
    if (!owner.Destroying || owner.ImageTable.Get(image->AtomHandle) == image)
        owner.ImageTable.Put(image->AtomHandle, nullptr);
}

TAtomImage* TOstraBase::GetImage(TBaseTransaction& t, TAtomHandle handle) {
    if (TAtomImage* image = t.ImageTable.Get(handle)) return image;
    TAtomImage* parent = t.Parent ? GetImage(*t.Parent, handle) : nullptr;
    return NewImage(handle, parent, t, false);
}

void TOstraBase::ChangeShare(TAtomImage& image, const TShareCounters& delta) {
    if (delta.IsZero()) return;
    TShareCounters share = image.Share;
    share += delta;
    if (Conflicts(share.DataWriters, share.DataReaders) || Conflicts(share.LinkWriters, share.LinkReaders))
        throw EKVZError(OstraCode::ShareViolation, OstraMsg::AtomShareViolation);
    SetUsage(image, UsageWith(image, share));
    image.Share = share;
}

TAccess TOstraBase::UsageWith(const TAtomImage& image, const TShareCounters& share) {
    TAccess usage = UsageOf(share);
    if (image.ModifiedParts) usage |= AccessStructure;
    if (image.ModifiedParts & AtomPartData) usage = TAccess((usage & ~AccessReadData) | AccessWriteData);
    if (image.ModifiedParts & AtomPartLinks) usage = TAccess((usage & ~AccessReadLinks) | AccessWriteLinks);
    return usage;
}

void TOstraBase::SetUsage(TAtomImage& image, TAccess usage) {
    if (usage == image.Usage) return;
    if (TAtomImage* parent = image.ParentImage) {
        TShareCounters delta = UsageCounts(TAccess(usage & ~image.Usage), +1);
        delta += UsageCounts(TAccess(image.Usage & ~usage), -1);
        ChangeShare(*parent, delta);
    }
    uint8_t needed = 0;
    if (usage & AccessStructure) needed |= AtomPartCounts;
    if (usage & (AccessReadData | AccessWriteData)) needed |= AtomPartData;
    if (usage & (AccessReadLinks | AccessWriteLinks)) needed |= AtomPartLinks;
    if (image.ParentImage) {
        if (!(needed & AtomPartData) && (image.LoadedParts & AtomPartData)) {
            image.Data.reset();
            image.LoadedParts &= uint8_t(~AtomPartData);
        }
        if (!(needed & AtomPartLinks) && (image.LoadedParts & AtomPartLinks)) {
            image.Links.reset();
            image.LinkWidth = 1;
            image.LoadedParts &= uint8_t(~AtomPartLinks);
        }
    }
    uint8_t missing = uint8_t(needed & ~image.LoadedParts);
    if (missing) LoadParts(image, missing);
    image.Usage = usage;
}

void TOstraBase::LoadParts(TAtomImage& image, uint8_t parts) {
    if (TAtomImage* parent = image.ParentImage) {
        if (parts & AtomPartCounts) image.LinkRefs = image.ExtRefs = 0;
        if (parts & AtomPartLinks) {
            image.Links = parent->Links;
            image.LinkWidth = parent->LinkWidth;
        }
        if (parts & AtomPartData) image.Data = parent->Data;
    } else if (image.IsNewAtom) {
        if (parts & AtomPartCounts) image.LinkRefs = image.ExtRefs = 0;
        if (parts & AtomPartLinks) {
            image.Links.reset();
            image.LinkWidth = 1;
        }
        if (parts & AtomPartData) image.Data.reset();
    } else {
        // The counts of a stored atom are read to change them, and a count that falls to zero
        // deletes the atom, which then reads its links: one read brings both.
        if (parts & AtomPartCounts) parts |= uint8_t(AtomPartLinks & ~image.LoadedParts);
        TAtomData& data = ReadBuffer;
        data.Links.clear();
        data.Data.clear();
        AtomCache->Read(image.AtomHandle, parts, data);
        if (parts & AtomPartCounts) {
            image.LinkRefs = int32_t(data.LinkRefs);
            image.ExtRefs = int32_t(data.ExtRefs);
        }
        if (parts & AtomPartLinks) {
            image.Links = data.Links.empty() ? nullptr : TLinkBuffer::Of(data.Links.data(), data.Links.size());
            image.LinkWidth = data.LinkWidth;
        }
        if (parts & AtomPartData)
            image.Data = data.Data.empty() ? nullptr : TDataBuffer::Of(data.Data.data(), data.Data.size());
        TrimBuffers(data);
    }
    image.LoadedParts |= parts;
}

// A reader in a transaction below the root whose chain holds no image of the atom yet would
// get a copy that only mirrors the root's image: it uses the root's image itself. It counts as
// a reader there, which is what the copy's usage would have added, so the sharing rule sees
// the same counts. Whatever would change the atom through such an open first gives it an
// image of its own transaction (TakeOwnImage).
TAtomImage* TOstraBase::ImageForReading(TBaseTransaction& t, TAtomHandle handle) {
    if (!MayBorrow(t, handle)) return GetImage(t, handle);
    if (TAtomImage* image = Root->ImageTable.Get(handle)) return image;
    return NewImage(handle, nullptr, *Root, false);
}

bool TOstraBase::MayBorrow(TBaseTransaction& t, TAtomHandle handle) {
    for (TBaseTransaction* level = &t; level != Root; level = level->Parent)
        if (!level || level->ImageTable.Get(handle)) return false;
    return true;
}

void TOstraBase::TakeOwnImage(TAtom& atom) {
    TAtomImage* borrowed = atom.Image;
    // The chain made here ends at the borrowed image, which the open keeps alive meanwhile.
    TAtomImage* own = GetImage(*atom.Transaction, borrowed->AtomHandle);
    try {
        ChangeShare(*own, AccessCounts(atom.Access, +1));
    } catch (...) {
        Settle(*own->OwnerTransaction, own);
        throw;
    }
    atom.Image = own;
    // Fewer readers: this cannot conflict. The own image's usage keeps the borrowed one open.
    ChangeShare(*borrowed, AccessCounts(atom.Access, -1));
}

void TOstraBase::OpenImage(TBaseTransaction& t, TAtomImage* image, TAccess access, TAtom& into) {
    if (access & (AccessWriteData | AccessWriteLinks)) CheckWritable();
    ChangeShare(*image, AccessCounts(access, +1));
    into.Image = image;
    into.Access = access;
    into.Transaction = &t;
    t.OpenHere += 1;
}

void TOstraBase::NewAtom(uint32_t id, TAccess access, TAtom& into) {
    CheckWritable();
    TBaseTransaction& t = Transactions.Get(id);
    TAtomHandle handle = AtomManager->NewHandle();
    TAtomImage* image = NewImage(handle, nullptr, t, true);
    try {
        OpenImage(t, image, access, into);
    } catch (...) {
        Settle(t, image);
        throw;
    }
}

void TOstraBase::OpenAtom(uint32_t id, TAtomHandle handle, TAccess access, TAtom& into) {
    TBaseTransaction& t = Transactions.Get(id);
    bool writes = access & (AccessWriteData | AccessWriteLinks);
    TAtomImage* image = writes ? GetImage(t, handle) : ImageForReading(t, handle);
    try {
        OpenImage(t, image, access, into);
    } catch (...) {
        try {
            Settle(*image->OwnerTransaction, image);
        } catch (const std::exception& error) {
            ReportSwallowed("Opening atom", error);
        }
        throw;
    }
}

void TOstraBase::CloseAtom(TAtom& atom) {
    TAtomImage* image = std::exchange(atom.Image, nullptr);
    atom.Transaction->OpenHere -= 1;
    TBaseTransaction& owner = *image->OwnerTransaction;
    try {
        ChangeShare(*image, AccessCounts(atom.Access, -1));
    } catch (...) {
        Settle(owner, image);
        throw;
    }
    Settle(owner, image);
}

// ---- settling ----

bool TOstraBase::IsDueForDeletion(const TAtomImage& image) {
    return !image.ParentImage && image.Share.Opens == 0 && (image.LoadedParts & AtomPartCounts) &&
           image.LinkRefs == 0 && image.ExtRefs == 0 && !image.BeingDeleted && !FileObject->ReadOnly();
}

bool TOstraBase::SettleKeepingDeletion(TBaseTransaction& t, TAtomImage* image) {
    TBaseTransaction* previous = image->OwnerTransaction;
    if (previous != &t) {
        if (!previous->Destroying || previous->ImageTable.Get(image->AtomHandle) == image)
            previous->ImageTable.Put(image->AtomHandle, nullptr);
        t.ImageTable.Put(image->AtomHandle, image);
        image->OwnerTransaction = &t;
    }
    // An atom on its way out stays until its deletion finishes.
    if (image->BeingDeleted) return false;
    if (IsDueForDeletion(*image)) return true;
    if (t.Parent) {
        if (image->Share.Opens == 0 && !image->IsNewAtom && image->ModifiedParts == 0) {
            TAtomImage* parent = image->ParentImage;
            FreeImage(image);
            if (parent) Settle(*t.Parent, parent);
        }
        return false;
    }
    if (image->Share.Opens == 0) {
        // A file that gave up its commit takes nothing more; the image goes all the same.
        if (!FileObject->Failed()) PassOnChanges(*image);
        FreeImage(image);
    }
    return false;
}

void TOstraBase::Settle(TBaseTransaction& t, TAtomImage* image) {
    if (SettleKeepingDeletion(t, image)) DeleteAtom(image);
}

void TOstraBase::PassOnChanges(TAtomImage& image) {
    TAtomImage* parent = image.ParentImage;
    if (!parent) {
        if (image.IsNewAtom || image.ModifiedParts) StoreToFile(image);
        return;
    }
    uint8_t modified = image.ModifiedParts;
    if (!modified) return;
    if (modified & AtomPartCounts) {
        AddExtRefs(*parent, image.ExtRefs);
        AddLinkRefs(*parent, image.LinkRefs);
    }
    if (modified & AtomPartData) parent->Data = image.Data;
    if (modified & AtomPartLinks) {
        parent->Links = image.Links;
        parent->LinkWidth = image.LinkWidth;
    }
    parent->ModifiedParts |= modified;
    parent->LoadedParts |= modified;
    image.ModifiedParts = 0;
}

void TOstraBase::StoreToFile(TAtomImage& image) {
    CheckWritable();
    if (image.IsNewAtom && !image.ModifiedParts) {
        AtomManager->NewAtom(image.AtomHandle);
        image.IsNewAtom = false;
    }
    if (!image.ModifiedParts) return;
    TAtomData& data = WriteBuffer;
    data.LinkRefs = data.ExtRefs = 0;
    if (image.LoadedParts & AtomPartCounts) {
        data.LinkRefs = uint32_t(image.LinkRefs);
        data.ExtRefs = uint32_t(image.ExtRefs);
    }
    data.Links.clear();
    if ((image.LoadedParts & AtomPartLinks) && image.Links) data.Links.assign(image.Links.begin(), image.Links.end());
    data.LinkWidth = image.LinkWidth;
    data.Data.clear();
    if ((image.LoadedParts & AtomPartData) && image.Data) data.Data.assign(image.Data.begin(), image.Data.end());
    data.Parts = image.LoadedParts;
    if (image.IsNewAtom)
        AtomCache->WriteNew(image.AtomHandle, data, image.ModifiedParts);
    else
        AtomCache->Write(image.AtomHandle, data, image.ModifiedParts);
    image.IsNewAtom = false;
    TrimBuffers(data);
    image.ModifiedParts = 0;
    SetUsage(image, UsageOf(image.Share));
}

void TOstraBase::MergeIntoParent(TAtomImage& image) {
    TAtomImage* parent = image.ParentImage;
    PassOnChanges(image);
    TShareCounters delta = UsageCounts(image.Usage, -1);
    for (TAtomImage* child = image.FirstChild(); child; child = child->NextSibling()) {
        delta += UsageCounts(child->Usage, +1);
        child->ParentImage = parent;
    }
    parent->TakeChildren(image);
    // The image gives up its usage here; FreeImage later has nothing more to return.
    image.Usage = 0;
    ChangeShare(*parent, delta);
    image.Data.reset();
    image.Links.reset();
    image.LinkWidth = 1;
    image.LoadedParts = image.ModifiedParts = 0;
    image.Share = TShareCounters{};
}

// ---- data and links ----

void TOstraBase::SetDataLength(TAtomImage& image, uint32_t length) {
    CheckWritable();
    if (length == 0)
        image.Data.reset();
    else if (length != image.DataLength())
        image.OwnData().Resize(length); // new bytes are zero
    image.ModifiedParts |= AtomPartData;
    image.LoadedParts |= AtomPartData;
}

void TOstraBase::WriteData(TAtomImage& image, uint32_t offset, std::span<const uint8_t> bytes) {
    CheckWritable();
    if (bytes.empty()) return;
    int64_t end = int64_t(offset) + int64_t(bytes.size());
    if (end > MaxDataLength) RaiseDataTooLong();
    if (end > int64_t(image.DataLength())) SetDataLength(image, uint32_t(end));
    std::memcpy(image.OwnData().data() + offset, bytes.data(), bytes.size());
    image.ModifiedParts |= AtomPartData;
}

// A new array made of the bytes where the old one is shared or missing: nothing of the old is
// copied, and nothing zeroed first.
void TOstraBase::SetData(TAtomImage& image, std::span<const uint8_t> bytes) {
    CheckWritable();
    if (int64_t(bytes.size()) > MaxDataLength) RaiseDataTooLong();
    if (bytes.empty())
        image.Data.reset();
    else if (!image.Data || image.Data.Shared())
        image.Data = TDataBuffer::Of(bytes.data(), bytes.size());
    else
        image.Data.Assign(bytes.data(), bytes.size());
    image.ModifiedParts |= AtomPartData;
    image.LoadedParts |= AtomPartData;
}

void TOstraBase::SetLink(TAtomImage& image, uint32_t index, TAtomHandle handle) {
    CheckWritable();
    if (index >= image.LinkCount()) {
        if (int64_t(index) + 1 > int64_t(AtomTable::MaxLinkCount)) RaiseDataTooLong();
        image.OwnLinks().Resize(size_t(index) + 1);
        image.ModifiedParts |= AtomPartLinks;
    }
    TAtomHandle old = image.LinkAt(index);
    if (handle != old) {
        image.LinkWidth = std::max(image.LinkWidth, LinkWidthOf(handle));
        if (handle) ChangeLinkRef(*image.OwnerTransaction, handle, +1);
        if (old) ReleaseLink(*image.OwnerTransaction, old);
        image.OwnLinks()[index] = handle;
        image.ModifiedParts |= AtomPartLinks;
    }
    image.LoadedParts |= AtomPartLinks;
}

void TOstraBase::InsertLink(TAtomImage& image, uint32_t index, TAtomHandle handle) {
    CheckWritable();
    if (index > image.LinkCount()) return SetLink(image, index, handle);
    if (int64_t(image.LinkCount()) + 1 > int64_t(AtomTable::MaxLinkCount)) RaiseDataTooLong();
    image.LinkWidth = std::max(image.LinkWidth, LinkWidthOf(handle));
    if (handle) ChangeLinkRef(*image.OwnerTransaction, handle, +1);
    image.OwnLinks().Insert(index, handle);
    image.ModifiedParts |= AtomPartLinks;
    image.LoadedParts |= AtomPartLinks;
}

void TOstraBase::DeleteLink(TAtomImage& image, uint32_t index) {
    CheckWritable();
    if (index >= image.LinkCount()) return;
    if (TAtomHandle old = image.LinkAt(index)) ReleaseLink(*image.OwnerTransaction, old);
    image.OwnLinks().Erase(index);
    image.ModifiedParts |= AtomPartLinks;
}

void TOstraBase::SetLinkCount(TAtomImage& image, uint32_t count) {
    CheckWritable();
    if (count > AtomTable::MaxLinkCount) RaiseDataTooLong();
    for (uint32_t i = count; i < image.LinkCount(); ++i)
        if (image.LinkAt(i)) SetLink(image, i, 0);
    if (count != image.LinkCount()) image.OwnLinks().Resize(count);
    if (count == 0) {
        image.Links.reset();
        image.LinkWidth = 1;
    }
    image.ModifiedParts |= AtomPartLinks;
    image.LoadedParts |= AtomPartLinks;
}

void TOstraBase::AddLinkRefs(TAtomImage& image, int32_t delta) {
    CheckWritable();
    image.LinkRefs += delta;
    if (!image.ParentImage && image.LinkRefs < 0) image.LinkRefs = 0;
    if (!image.ParentImage || image.LinkRefs || image.ExtRefs)
        image.ModifiedParts |= AtomPartCounts;
    else
        image.ModifiedParts &= uint8_t(~AtomPartCounts);
}

void TOstraBase::AddExtRefs(TAtomImage& image, int32_t delta) {
    CheckWritable();
    image.ExtRefs += delta;
    if (!image.ParentImage && image.ExtRefs < 0) image.ExtRefs = 0;
    if (!image.ParentImage || image.LinkRefs || image.ExtRefs)
        image.ModifiedParts |= AtomPartCounts;
    else
        image.ModifiedParts &= uint8_t(~AtomPartCounts);
}

// The count changes as through an open for the counts alone, which no other open conflicts
// with: the image is used as with that open while the count changes, and as the change leaves
// it after, its share untouched.
TAtomImage* TOstraBase::ChangeLinkRefDeferred(TBaseTransaction& t, TAtomHandle handle, int32_t delta) {
    TAtomImage* target = GetImage(t, handle);
    bool raised = false;
    try {
        TShareCounters opened = target->Share;
        opened += UsageCounts(AccessStructure, +1);
        SetUsage(*target, UsageWith(*target, opened));
        raised = true;
        AddLinkRefs(*target, delta);
        raised = false;
        SetUsage(*target, UsageWith(*target, target->Share));
    } catch (...) {
        if (raised) {
            try {
                SetUsage(*target, UsageWith(*target, target->Share));
            } catch (const std::exception& error) {
                ReportSwallowed("Changing link count", error);
            }
        }
        Settle(t, target);
        throw;
    }
    return SettleKeepingDeletion(t, target) ? target : nullptr;
}

void TOstraBase::ChangeLinkRef(TBaseTransaction& t, TAtomHandle handle, int32_t delta) {
    if (TAtomImage* doomed = ChangeLinkRefDeferred(t, handle, delta)) DeleteAtom(doomed);
}

// Lowering a target's count, and deleting what it leaves unlinked, go on past an atom that
// cannot take part (lost to damage, or held open). A failure of the file may have left a count
// or a deletion half made, which no commit may keep: the file fails, so that the next call and
// the commit report it and the file goes back to its last commit.
void TOstraBase::PassOver(const char* where, const std::exception& error) noexcept {
    if (!OfTheFile(error)) return;
    ReportSwallowed(where, error);
    FileObject->Fail();
}

// Lowering a target's count never fails the operation that drops the link.
void TOstraBase::ReleaseLink(TBaseTransaction& t, TAtomHandle handle) {
    try {
        ChangeLinkRef(t, handle, -1);
    } catch (const std::exception& error) {
        PassOver("Changing link count", error);
    }
}

// Deletes the image's atom and, depth first, every atom that only it kept alive. An explicit
// stack stands in for recursion so that a long chain cannot exhaust the call stack; the order
// (each atom's links in turn, an atom after the atoms it released) is that of the recursion.
void TOstraBase::DeleteAtom(TAtomImage* image) {
    std::vector<TDeletionFrame> stack = std::move(SpareDeletionStack);
    stack.clear();
    auto start = [&](TAtomImage* doomed) {
        doomed->BeingDeleted = true;
        try {
            SetUsage(*doomed, AccessReadLinks);
        } catch (const std::exception& error) {
            // Without its links the atom still goes; its targets keep their counts.
            PassOver("Deleting atom", error);
        }
        stack.push_back({doomed, 0});
    };
    start(image);
    while (!stack.empty()) {
        TDeletionFrame& frame = stack.back();
        TAtomImage* current = frame.Image;
        if (frame.NextLink < current->LinkCount()) {
            TAtomHandle target = current->LinkAt(frame.NextLink++);
            if (!target) continue;
            TAtomImage* doomed = nullptr;
            try {
                doomed = ChangeLinkRefDeferred(*current->OwnerTransaction, target, -1);
            } catch (const std::exception& error) {
                PassOver("Changing link count", error);
            }
            if (doomed) start(doomed);
            continue;
        }
        stack.pop_back();
        FinishDeletion(current);
    }
    SpareDeletionStack = std::move(stack);
}

void TOstraBase::FinishDeletion(TAtomImage* image) {
    TAtomHandle handle = image->AtomHandle;
    bool isNew = image->IsNewAtom;
    FreeImage(image);
    try {
        if (isNew) {
            AtomManager->RecycleHandle(handle);
        } else {
            AtomManager->Delete(handle);
            AtomCache->Remove(handle);
        }
    } catch (const std::exception& error) {
        // Reported whatever it was; passed over as the cascade's other failures are.
        ReportSwallowed("Deleting atom", error);
        if (OfTheFile(error)) FileObject->Fail();
    }
}

// ---- transactions ----

uint32_t TOstraBase::StartTransaction(uint32_t parentId) {
    TBaseTransaction& parent = Transactions.Get(parentId);
    uint32_t id = Transactions.Allocate(std::make_unique<TBaseTransaction>(*this, Transactions.NextID(), &parent));
    parent.Children.push_back(&Transactions.Get(id));
    return id;
}

void TOstraBase::Commit(uint32_t id) {
    TBaseTransaction& t = Transactions.Get(id);
    if (t.ID == 0) throw EKVZError(OstraCode::TransactionState, OstraMsg::CannotCommit);
    if (t.OpenHere > 0) throw EKVZError(OstraCode::TransactionState, OstraMsg::CannotCommitOpened);
    bool intoRoot = t.Parent == Root;
    if (!intoRoot) return MergeTransaction(t);
    // Into the root the changes go to the file: a failure half-way leaves the tables in memory
    // ahead of the file, so the file gives up everything since its last commit.
    try {
        MergeTransaction(t);
        FileObject->Commit();
    } catch (...) {
        FileObject->Fail();
        throw;
    }
}

void TOstraBase::MergeTransaction(TBaseTransaction& t) {
    TBaseTransaction& parent = *t.Parent;
    t.ForEachImageBackward([&](TAtomImage* image) {
        if (image->IsNewAtom && !image->ParentImage)
            Settle(parent, image);
        else
            MergeIntoParent(*image);
    });
    t.ForEachImageBackward([&](TAtomImage* image) {
        TAtomImage* former = image->ParentImage;
        FreeImage(image);
        if (former) Settle(parent, former);
    });
    for (TBaseTransaction* child : t.Children) {
        child->Parent = &parent;
        parent.Children.push_back(child);
    }
    t.Children.clear();
    FreeTransaction(t);
}

void TOstraBase::Abort(uint32_t id) {
    TBaseTransaction& t = Transactions.Get(id);
    if (t.ID == 0) throw EKVZError(OstraCode::TransactionState, OstraMsg::CannotAbort);
    if (t.HasOpenBelow()) throw EKVZError(OstraCode::TransactionState, OstraMsg::CannotAbortOpened);
    AbortTransaction(t);
}

void TOstraBase::AbortTransaction(TBaseTransaction& t) {
    while (!t.Children.empty()) AbortTransaction(*t.Children.front());
    t.ForEachImageBackward([&](TAtomImage* image) {
        if (image->IsNewAtom && !image->ParentImage) AtomManager->RecycleHandle(image->AtomHandle);
        TAtomImage* former = image->ParentImage;
        FreeImage(image);
        if (former) Settle(*t.Parent, former);
    });
    FreeTransaction(t);
}

void TOstraBase::FreeTransaction(TBaseTransaction& t) {
    t.Destroying = true;
    t.ForEachImageBackward([&](TAtomImage* image) {
        TAtomImage* former = image->ParentImage;
        FreeImage(image);
        if (former && t.Parent) Settle(*t.Parent, former);
    });
    t.ImageTable.Clear();
    if (t.Parent) {
        auto& siblings = t.Parent->Children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), &t));
    }
    for (TBaseTransaction* child : t.Children) child->Parent = nullptr;
    if (&t == Root) Root = nullptr;
    Transactions.Release(t.ID);
}

bool TOstraBase::AtomExists(uint32_t id, TAtomHandle handle) {
    for (TBaseTransaction* t = &Transactions.Get(id); t; t = t->Parent) {
        TAtomImage* image = t->ImageTable.Get(handle);
        if (image && image->IsNewAtom) return true;
    }
    return AtomManager->Exists(handle);
}

std::unique_ptr<TAtomEnumerator> TOstraBase::EnumAtoms(uint32_t id) {
    Transactions.Get(id);
    return std::make_unique<TAtomEnumerator>(*this, id);
}

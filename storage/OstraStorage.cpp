// The public storage, transaction, atom and enumerator objects, and the registry of live storages.
#include "storage/OstraStorage.h"

#include "storage/Support.h"

#include <algorithm>
#include <functional>
#include <typeinfo>

namespace {
std::vector<TOstraStorage*>& LiveStorages() {
    static std::vector<TOstraStorage*> live;
    return live;
}

std::function<void(std::string_view)>& UnfreedStorageHook() {
    static std::function<void(std::string_view)> hook;
    return hook;
}

[[noreturn]] void RaiseAccessDenied() { throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied); }
[[noreturn]] void RaiseNotSupported() {
    throw EKVZError(OstraCode::CapabilityNotSupported, OstraMsg::CapabilityNotSupported);
}

void Report(const char* where, const std::exception& error) {
    ShowWarning(std::string(where) + ": " + error.what(), "Ostra-Error");
}

template <class T> void Unlist(std::vector<T*>& list, T* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it != list.end()) list.erase(it);
}
} // namespace

void SetUnfreedStorageHook(std::function<void(std::string_view)> hook) { UnfreedStorageHook() = std::move(hook); }

void ReportAndCloseLiveStorages() {
    std::vector<TOstraStorage*> live = std::move(LiveStorages());
    LiveStorages().clear();
    if (live.empty()) return;
    std::string text = "TOstraStorage: " + std::to_string(live.size()) + " object(s) not destroyed";
    if (UnfreedStorageHook())
        UnfreedStorageHook()(text);
    else
        ShowWarning(text, "Ostra-Error");
    for (TOstraStorage* storage : live) storage->ForceClose();
}

// ---- storage ----

TOstraStorage::TOstraStorage(const std::string& FileName, TOpenMode Mode, std::span<const TGUID> Classes,
                             std::string_view RequiredCaps, bool WriteThrough, int32_t Cache)
    : Base(std::make_unique<TOstraBase>(FileName, Mode, Classes, WriteThrough)), StorageID(Base->File().StorageID()) {
    DefaultAccess = Mode == TOpenMode::ReadOnly ? AccessReadOnly : AccessDefault;
    {
        TRef<TCapabilities> capabilities =
            MakeObj<TCapabilities>(static_cast<IUnknown*>(this), StorageCapabilityText());
        Capabilities = capabilities.get();
        CapabilitiesOwner = TRef<IInnerUnknown>(capabilities->Inner());
    }
    if (!Capabilities->CheckCapabilities(RequiredCaps)) RaiseNotSupported();
    if (Cache != 0) Base->Cache().SetLimit(uint32_t(Cache));
    LiveStorages().push_back(this);
    Registered = true;
}

TOstraStorage::~TOstraStorage() {
    if (Registered) Unlist(LiveStorages(), this);
    FirstOpenAtom = nullptr;
    StorageTransactions.clear();
    Capabilities = nullptr;
    CapabilitiesOwner.reset();
    Base.reset();
}

void* TOstraStorage::GetInterface(const TGUID& iid) {
    if (iid == ICapabilities::IID) return static_cast<ICapabilities*>(Capabilities);
    if (void* found = FindInterface<IStorageInfo, IVirtualStorage, IAtomPeek>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

void TOstraStorage::RaiseDenied() { RaiseAccessDenied(); }

bool TOstraStorage::IsReadOnly() { return CheckedBase().File().ReadOnly(); }

TAtomAddress TOstraStorage::MakeAddress(TAtomHandle Handle) {
    TAtomAddress address;
    address.StorageID = GetStorageID();
    address.Handle = Handle;
    return address;
}

void TOstraStorage::CheckAddress(const TAtomAddress& Address) {
    if (Address.StorageID != GetStorageID()) RaiseNotSupported();
}

TRef<IVirtualAtom> TOstraStorage::MakeAtom(bool IsNew, TAccess Access, TAtomHandle Handle, uint32_t ID,
                                           TStorageTransaction* Transaction) {
    TOstraBase& base = CheckedBase();
    TRef<TVirtualAtom> atom = MakeObj<TVirtualAtom>(*this, base, Transaction);
    if (IsNew)
        base.NewAtom(ID, Access, atom->ObjectAtom);
    else
        base.OpenAtom(ID, Handle, Access, atom->ObjectAtom);
    atom->Register();
    return TRef<IVirtualAtom>(atom.get());
}

void TOstraStorage::RaiseBrokenLink(const EKVZError& error) {
    if (error.Code != OstraCode::InvalidAtomAddress) throw;
    throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
}

bool TOstraStorage::PrefetchLinked(std::span<const TAtomHandle> Handles) noexcept {
    return Base && !Base->File().Failed() && Base->Atoms().Prefetch(Handles);
}

// Every atom takes an entry of the atom table in the file.
uint64_t TOstraStorage::AtomCountBound() { return CheckedBase().File().DataSize() / sizeof(TAtomEntry) + 1; }

void TOstraStorage::ForceClose() {
    Registered = false;
    std::vector<TVirtualAtom*> atoms;
    for (TVirtualAtom* atom = FirstOpenAtom; atom; atom = atom->NextOpen) atoms.push_back(atom);
    for (TVirtualAtom* atom : atoms) {
        try {
            atom->Close();
        } catch (const std::exception& error) {
            Report("Closing atom", error);
        }
    }
    std::vector<TStorageTransaction*> transactions = StorageTransactions;
    for (TStorageTransaction* transaction : transactions) {
        try {
            if (transaction->TransactionID != 0 && !transaction->Dead) transaction->Abort();
        } catch (const std::exception& error) {
            Report("Aborting transaction", error);
        }
    }
    Base.reset();
    // What is left of the public transactions is finished: it now answers "Access is denied".
    std::function<void(TStorageTransaction*)> finish = [&](TStorageTransaction* transaction) {
        transaction->TransactionID = 0;
        transaction->Rights = 0;
        for (TStorageTransaction* child : transaction->ChildTransactions) finish(child);
    };
    for (TStorageTransaction* transaction : transactions) finish(transaction);
}

TRef<IVirtualAtom> TOstraStorage::NewAtom() { return NewAtomAccess(AccessDefault); }

TRef<IVirtualAtom> TOstraStorage::NewAtomAccess(TAccess Access) { return MakeAtom(true, Access, 0, 0, nullptr); }

TRef<IVirtualAtom> TOstraStorage::OpenRoot() { return OpenAtomAccess(GetRootAddress(), DefaultAccess); }

TRef<IVirtualAtom> TOstraStorage::OpenRootAccess(TAccess Access) {
    if (IsReadOnly()) Access &= DefaultAccess;
    return OpenAtomAccess(GetRootAddress(), Access);
}

TRef<IVirtualAtom> TOstraStorage::OpenAtom(const TAtomAddress& Address) {
    return OpenAtomAccess(Address, DefaultAccess);
}

TRef<IVirtualAtom> TOstraStorage::OpenAtomAccess(const TAtomAddress& Address, TAccess Access) {
    CheckAddress(Address);
    return MakeAtom(false, Access, Address.Handle, 0, nullptr);
}

void TOstraStorage::Flush() { CheckedBase().File().Commit(); }

TRef<IStorageTransaction> TOstraStorage::StartTransaction() {
    uint32_t id = CheckedBase().StartTransaction(0);
    return MakeObj<TStorageTransaction>(*this, nullptr, id, GetRights());
}

TTransactionArray TOstraStorage::GetTransactions() {
    TTransactionArray out;
    for (TStorageTransaction* transaction : StorageTransactions) out.emplace_back(transaction);
    return out;
}

TRef<IEnumVirtualAtoms> TOstraStorage::EnumAtoms(TAccess Access) {
    return MakeObj<TStorageAtomEnumerator>(Access, CheckedBase().EnumAtoms(0), *this, TRef<IVirtualStorage>(this));
}

TAccess TOstraStorage::GetRights() { return IsReadOnly() ? AccessReadOnly : AccessAll; }

TGUID TOstraStorage::GetDataClass() { return CheckedBase().File().DataClass(); }

TGUID TOstraStorage::GetStorageID() {
    CheckedBase();
    return StorageID;
}

std::string TOstraStorage::GetLocation() { return "file://" + CheckedBase().File().FullPath(); }

TAtomAddress TOstraStorage::GetRootAddress() { return MakeAddress(RootAtomHandle); }

TAtomAddress TOstraStorage::GetSecondRootAddress() { return MakeAddress(SecondRootAtomHandle); }

TRef<IVirtualAtom> TOstraStorage::OpenSecondRoot() { return OpenSecondRootAccess(AccessDefault); }

TRef<IVirtualAtom> TOstraStorage::OpenSecondRootAccess(TAccess Access) {
    return MakeAtom(false, Access, SecondRootAtomHandle, 0, nullptr);
}

uint32_t TOstraStorage::GetFormatVersion() { return Base ? Base->File().FormatVersion() : 0; }

uint32_t TOstraStorage::GetMinReaderVersion() { return Base ? Base->File().MinReaderVersion() : 0; }

TDateTime TOstraStorage::GetCreated() { return Base ? Base->File().GetCreated() : 0; }

TDateTime TOstraStorage::GetModified() { return Base ? Base->File().GetModified() : 0; }

int32_t TOstraStorage::GetCacheCount() { return Base ? int32_t(Base->Cache().GetCount()) : 0; }

int32_t TOstraStorage::GetCacheLimit() { return Base ? int32_t(Base->Cache().GetLimit()) : 0; }

void TOstraStorage::SetCacheLimit(int32_t Limit) {
    if (Base) Base->Cache().SetLimit(uint32_t(Limit));
}

void TOstraStorage::GetCacheStats(int64_t& Lookups, int64_t& Hits) {
    if (!Base) return;
    uint32_t lookups = 0, hits = 0;
    Base->Cache().GetStats(lookups, hits);
    Lookups = lookups;
    Hits = hits;
}

void TOstraStorage::GetSizes(int64_t& DataSize, int64_t& FileSize) {
    if (!Base) return;
    DataSize = int64_t(Base->File().DataSize());
    FileSize = int64_t(Base->File().GetFileSize());
}

// ---- transactions ----

TStorageTransaction::TStorageTransaction(TOstraStorage& Storage, TStorageTransaction* Parent, uint32_t ID,
                                         TAccess Rights)
    : Rights(Rights), TransactionID(ID), Storage(Storage), ParentTransaction(Parent) {
    if (Parent) {
        Parent->ChildTransactions.push_back(this);
        Holder = TRef<IUnknown>(static_cast<IStorageTransaction*>(Parent));
    } else {
        Storage.StorageTransactions.push_back(this);
        Holder = TRef<IUnknown>(static_cast<IVirtualStorage*>(&Storage));
    }
}

TStorageTransaction::~TStorageTransaction() {
    if (TransactionID != 0 && !Dead) {
        try {
            Abort();
        } catch (const std::exception& error) {
            Report("Releasing transaction", error);
        }
    }
    for (TStorageTransaction* child : ChildTransactions) child->ParentTransaction = nullptr;
    if (ParentTransaction)
        Unlist(ParentTransaction->ChildTransactions, this);
    else
        Unlist(Storage.StorageTransactions, this);
}

void* TStorageTransaction::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IStorageTransaction, IVirtualStorage, IStorageInfo, IAtomPeek>(this, iid))
        return found;
    return TUnknown::GetInterface(iid);
}

void TStorageTransaction::KillDescendants() {
    for (TStorageTransaction* child : ChildTransactions) {
        if (child->TransactionID != 0) {
            child->Dead = true;
            child->TransactionID = 0;
            child->Rights = 0;
        }
        child->KillDescendants();
    }
}

TRef<IVirtualAtom> TStorageTransaction::NewAtom() { return NewAtomAccess(AccessDefault); }

TRef<IVirtualAtom> TStorageTransaction::NewAtomAccess(TAccess Access) {
    CheckAlive();
    if (!(Rights & AccessStructure)) RaiseAccessDenied();
    return Storage.MakeAtom(true, Access, 0, ActiveID(), this);
}

TRef<IVirtualAtom> TStorageTransaction::OpenRoot() {
    return OpenAtomAccess(Storage.GetRootAddress(), Storage.DefaultAccess);
}

TRef<IVirtualAtom> TStorageTransaction::OpenRootAccess(TAccess Access) {
    if (Storage.IsReadOnly()) Access &= Storage.DefaultAccess;
    return OpenAtomAccess(Storage.GetRootAddress(), Access);
}

TRef<IVirtualAtom> TStorageTransaction::OpenAtom(const TAtomAddress& Address) {
    return OpenAtomAccess(Address, Storage.DefaultAccess);
}

TRef<IVirtualAtom> TStorageTransaction::OpenAtomAccess(const TAtomAddress& Address, TAccess Access) {
    uint32_t id = ActiveID();
    Storage.CheckAddress(Address);
    return Storage.MakeAtom(false, Access, Address.Handle, id, this);
}

TRef<IStorageTransaction> TStorageTransaction::StartTransaction() {
    uint32_t id = Storage.CheckedBase().StartTransaction(ActiveID());
    return MakeObj<TStorageTransaction>(Storage, this, id, Storage.GetRights());
}

TTransactionArray TStorageTransaction::GetTransactions() {
    TTransactionArray out;
    for (TStorageTransaction* child : ChildTransactions) out.emplace_back(child);
    return out;
}

TRef<IEnumVirtualAtoms> TStorageTransaction::EnumAtoms(TAccess Access) {
    uint32_t id = ActiveID();
    return MakeObj<TStorageAtomEnumerator>(Access, Storage.CheckedBase().EnumAtoms(id), Storage,
                                           TRef<IVirtualStorage>(static_cast<IStorageTransaction*>(this)));
}

void TStorageTransaction::Commit() {
    CheckAlive();
    TOstraBase& base = Storage.CheckedBase();
    try {
        base.Commit(TransactionID);
    } catch (...) {
        // The file gave up this commit and its ID is gone: nothing of it may be used again.
        if (base.File().Failed()) {
            Rights = 0;
            TransactionID = 0;
            KillDescendants();
        }
        throw;
    }
    Rights = 0;
    TransactionID = 0;
}

void TStorageTransaction::Abort() {
    CheckAlive();
    Storage.CheckedBase().Abort(TransactionID);
    Rights = 0;
    TransactionID = 0;
    KillDescendants();
}

TRef<IVirtualStorage> TStorageTransaction::GetStorage() { return TRef<IVirtualStorage>(&Storage); }

TRef<IStorageTransaction> TStorageTransaction::GetParent() { return TRef<IStorageTransaction>(ParentTransaction); }

TRef<IVirtualAtom> TStorageTransaction::OpenSecondRoot() { return OpenSecondRootAccess(AccessDefault); }

TRef<IVirtualAtom> TStorageTransaction::OpenSecondRootAccess(TAccess Access) {
    return Storage.MakeAtom(false, Access, SecondRootAtomHandle, ActiveID(), this);
}

// ---- atoms ----

TVirtualAtom::TVirtualAtom(TOstraStorage& Storage, TOstraBase& Base, TStorageTransaction* Transaction)
    : ObjectAtom(Base), Storage(Storage), Transaction(static_cast<IStorageTransaction*>(Transaction)) {
    // A transaction holds its storage; only an atom opened on the storage itself must.
    if (!Transaction) StorageRef = TRef<IVirtualStorage>(&Storage);
}

void TVirtualAtom::Register() {
    NextOpen = Storage.FirstOpenAtom;
    if (NextOpen) NextOpen->PreviousOpen = this;
    Storage.FirstOpenAtom = this;
}

TVirtualAtom::~TVirtualAtom() {
    try {
        Close();
    } catch (const std::exception& error) {
        ObjectAtom.Base.CloseFailed(error);
    }
}

void* TVirtualAtom::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IAtomInfo, IVirtualAtom, IAtomLinks>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TAtomStream* TVirtualAtom::GetStream() {
    if (!Stream && ObjectAtom.Image) Stream = std::make_unique<TAtomStream>(*this);
    return Stream.get();
}

TAtom& TVirtualAtom::Open() {
    if (!ObjectAtom.Image) RaiseAccessDenied();
    return ObjectAtom;
}

// The atom as one of ours, or nil. Every atom is linked and compared through this, and the class
// is final: a look at the type does what a dynamic cast would, far cheaper.
static TVirtualAtom* OursOrNil(IVirtualAtom* Atom) {
    return typeid(*Atom) == typeid(TVirtualAtom) ? static_cast<TVirtualAtom*>(Atom) : nullptr;
}

TAtomHandle TOstraStorage::HandleOf(IVirtualAtom* Atom) {
    TVirtualAtom* ours = Atom ? OursOrNil(Atom) : nullptr;
    return ours ? ours->Open().GetAtomHandle() : 0;
}

void TVirtualAtom::Close() {
    if (!ObjectAtom.Image) return;
    (PreviousOpen ? PreviousOpen->NextOpen : Storage.FirstOpenAtom) = NextOpen;
    if (NextOpen) NextOpen->PreviousOpen = PreviousOpen;
    PreviousOpen = NextOpen = nullptr;
    Stream.reset();
    ObjectAtom.Close();
}

TAtomHandle TVirtualAtom::TargetHandle(IVirtualAtom* Atom) {
    if (auto* ours = OursOrNil(Atom)) {
        TAtomHandle handle = ours->Open().GetAtomHandle();
        if (&ours->Storage != &Storage) RaiseNotSupported();
        return handle;
    }
    TAtomAddress address = Atom->AddReference();
    try {
        Atom->RemoveReference();
    } catch (const std::exception& error) {
        Report("Linking atom", error);
    }
    Storage.CheckAddress(address);
    return address.Handle;
}

bool TVirtualAtom::HasLink(uint32_t Index) { return Open().GetLink(Index) != 0; }

TRef<IVirtualAtom> TVirtualAtom::OpenLink(uint32_t Index) { return OpenLinkAccess(Index, Storage.DefaultAccess); }

TRef<IVirtualAtom> TVirtualAtom::OpenLinkAccess(uint32_t Index, TAccess Access) {
    TAtomHandle handle = Open().GetLink(Index);
    if (handle == 0) return nullptr;
    if (Storage.IsReadOnly()) Access &= Storage.DefaultAccess;
    try {
        if (Transaction) return Transaction->OpenAtomAccess(Storage.MakeAddress(handle), Access);
        return Storage.OpenAtomAccess(Storage.MakeAddress(handle), Access);
    } catch (const EKVZError& error) {
        if (error.Code != OstraCode::InvalidAtomAddress) throw;
        throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
    }
}

void TVirtualAtom::SetLink(uint32_t Index, IVirtualAtom* Atom) {
    TAtom& atom = Open();
    atom.SetLink(Index, Atom ? TargetHandle(Atom) : 0);
}

void TVirtualAtom::InsertLink(uint32_t Index, IVirtualAtom* Atom) {
    TAtom& atom = Open();
    atom.InsertLink(Index, Atom ? TargetHandle(Atom) : 0);
}

void TVirtualAtom::DeleteLink(uint32_t Index) { Open().DeleteLink(Index); }

uint32_t TVirtualAtom::Read(uint32_t Offset, std::span<uint8_t> Buffer) { return Open().ReadData(Offset, Buffer); }

uint32_t TVirtualAtom::Write(uint32_t Offset, std::span<const uint8_t> Buffer) {
    Open().WriteData(Offset, Buffer);
    return uint32_t(Buffer.size());
}

bool TVirtualAtom::IsSameAtom(IVirtualAtom* Atom) {
    TAtom& atom = Open();
    if (!Atom) return false;
    TAtomAddress other;
    if (auto* ours = OursOrNil(Atom)) {
        other = ours->GetAddress();
    } else {
        other = Atom->AddReference();
        try {
            Atom->RemoveReference();
        } catch (const std::exception& error) {
            Report("Comparing atoms", error);
        }
    }
    return other.StorageID == Storage.GetStorageID() && other.Handle == atom.GetAtomHandle() && other.Reserved == 0;
}

TAtomAddress TVirtualAtom::AddReference() {
    TAtom& atom = Open();
    if (!Storage.IsReadOnly()) atom.AddExtRefs(+1);
    return Storage.MakeAddress(atom.GetAtomHandle());
}

void TVirtualAtom::RemoveReference() {
    TAtom& atom = Open();
    if (!Storage.IsReadOnly()) atom.AddExtRefs(-1);
}

TRef<IVirtualAtom> TVirtualAtom::CopyTo(IVirtualStorage* Target, TAccess Access) {
    TAtomAddress address = Storage.MakeAddress(Open().GetAtomHandle());
    if (!Target) return Storage.OpenAtomAccess(address, Access);
    return Target->OpenAtomAccess(address, Access);
}

uint32_t TVirtualAtom::GetLinkCount() { return Open().GetLinkCount(); }

TByteArray TVirtualAtom::GetBytes() {
    TAtom& atom = Open();
    TByteArray bytes(atom.GetDataLength());
    atom.ReadData(0, bytes);
    return bytes;
}

std::string TVirtualAtom::GetText() {
    TAtom& atom = Open();
    std::string text(atom.GetDataLength(), '\0');
    atom.ReadData(0, {reinterpret_cast<uint8_t*>(text.data()), text.size()});
    return text;
}

uint32_t TVirtualAtom::GetDataSize() { return Open().GetDataLength(); }

TRef<IVirtualStorage> TVirtualAtom::GetStorage() { return TRef<IVirtualStorage>(&Storage); }

TRef<IStorageTransaction> TVirtualAtom::GetTransaction() { return Transaction; }

TAccess TVirtualAtom::GetAccess() { return Open().Access; }

void TVirtualAtom::SetLinkCount(uint32_t Count) { Open().SetLinkCount(Count); }

void TVirtualAtom::SetBytes(std::span<const uint8_t> Bytes) { Open().SetData(Bytes); }

void TVirtualAtom::SetText(std::string_view Text) { SetBytes(AsBytes(Text)); }

void TVirtualAtom::SetDataSize(uint32_t Length) { Open().SetDataLength(Length); }

void TVirtualAtom::SetAccess(TAccess Access) {
    TAtom& atom = Open();
    if (Storage.IsReadOnly()) Access &= Storage.DefaultAccess;
    if (Access != atom.Access) atom.SetAccess(Access);
}

void TVirtualAtom::GetRefCounts(int32_t& LinkRefs, int32_t& ExtRefs) { Open().GetRefCounts(LinkRefs, ExtRefs); }

TAtomAddress TVirtualAtom::GetAddress() { return Storage.MakeAddress(Open().GetAtomHandle()); }

// ---- enumerator ----

TStorageAtomEnumerator::TStorageAtomEnumerator(TAccess Access, std::unique_ptr<TAtomEnumerator> Handles,
                                               TOstraStorage& Storage, TRef<IVirtualStorage> Opener)
    : Access(Access), Handles(std::move(Handles)), Storage(Storage), Opener(std::move(Opener)) {}

void* TStorageAtomEnumerator::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IEnumVirtualAtoms>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TRef<IEnumVirtualAtoms> TStorageAtomEnumerator::Clone() {
    auto handles = std::make_unique<TAtomEnumerator>(*Handles);
    return MakeObj<TStorageAtomEnumerator>(Access, std::move(handles), Storage, Opener);
}

TRef<IVirtualAtom> TStorageAtomEnumerator::Next() {
    Storage.CheckedBase();
    // A transaction that finished since gave its ID back: the walk must not reach whoever has it now.
    if (auto* transaction = dynamic_cast<TStorageTransaction*>(Opener.get()))
        if (transaction->ActiveID() != Handles->ID) RaiseAccessDenied();
    while (TAtomHandle handle = Handles->Next()) {
        try {
            return Opener->OpenAtomAccess(Storage.MakeAddress(handle), Access);
        } catch (const std::exception&) {
            // An atom that cannot be opened now is skipped.
        }
    }
    return nullptr;
}

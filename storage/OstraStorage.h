// The public storage objects over the object layer: the storage (TOstraStorage), its public
// transactions, the open atom (TVirtualAtom) and the atom enumerator, plus the process-wide
// registry of live storages that is reported and closed at program end.
#pragma once

#include "storage/AtomPeek.h"
#include "storage/Capabilities.h"
#include "storage/Corvane.h"
#include "storage/OstraBase.h"

#include <memory>
#include <string>
#include <vector>

class TStorageTransaction;
class TVirtualAtom;

class TOstraStorage : public TUnknown, public IStorageInfo, public IVirtualStorage, public IAtomPeek {
public:
    // Opens the file; raises open errors (201-207), or 2 when RequiredCaps are not met.
    TOstraStorage(const std::string& FileName, TOpenMode Mode, std::span<const TGUID> Classes,
                  std::string_view RequiredCaps, bool WriteThrough, int32_t Cache);
    ~TOstraStorage() override;

    // IVirtualStorage
    TRef<IVirtualAtom> NewAtom() override;
    TRef<IVirtualAtom> NewAtomAccess(TAccess Access) override;
    TRef<IVirtualAtom> OpenRoot() override;
    TRef<IVirtualAtom> OpenRootAccess(TAccess Access) override;
    TRef<IVirtualAtom> OpenAtom(const TAtomAddress& Address) override;
    TRef<IVirtualAtom> OpenAtomAccess(const TAtomAddress& Address, TAccess Access) override;
    void Flush() override;
    TRef<IStorageTransaction> StartTransaction() override;
    TTransactionArray GetTransactions() override;
    TRef<IEnumVirtualAtoms> EnumAtoms(TAccess Access) override;
    TAccess GetRights() override;
    TGUID GetDataClass() override;
    TGUID GetStorageID() override;
    std::string GetLocation() override;

    // IStorageInfo
    TAtomAddress GetRootAddress() override;
    TAtomAddress GetSecondRootAddress() override;
    TRef<IVirtualAtom> OpenSecondRoot() override;
    TRef<IVirtualAtom> OpenSecondRootAccess(TAccess Access) override;
    uint32_t GetFormatVersion() override;
    uint32_t GetMinReaderVersion() override;
    TDateTime GetCreated() override;
    TDateTime GetModified() override;
    int32_t GetCacheCount() override;
    int32_t GetCacheLimit() override;
    void SetCacheLimit(int32_t Limit) override;
    void GetCacheStats(int64_t& Lookups, int64_t& Hits) override;
    void GetSizes(int64_t& DataSize, int64_t& FileSize) override;

    // IAtomPeek
    bool PeekLinked(TAtomHandle Handle, TAtomContent& Into) override { return Peek(0, Handle, Into); }
    bool PrefetchLinked(std::span<const TAtomHandle> Handles) noexcept override;
    uint64_t AtomCountBound() override;
    TAtomHandle HandleOf(IVirtualAtom* Atom) override;

    // The object layer; raises 3 "Access is denied" after the forced close at program end.
    TOstraBase& CheckedBase() {
        if (!Base || Base->File().Failed()) [[unlikely]]
            RaiseDenied();
        return *Base;
    }
    [[noreturn]] static void RaiseDenied();
    bool IsReadOnly();
    TAtomAddress MakeAddress(TAtomHandle Handle);
    // Raises 2 unless the address names an atom of this storage.
    void CheckAddress(const TAtomAddress& Address);
    // Opens (or creates) an atom in the object-layer transaction ID for the public transaction.
    TRef<IVirtualAtom> MakeAtom(bool IsNew, TAccess Access, TAtomHandle Handle, uint32_t ID,
                                TStorageTransaction* Transaction);
    // PeekLinked in the object-layer transaction ID. On every peek of a walk: compiled into
    // its callers.
    bool Peek(uint32_t ID, TAtomHandle Handle, TAtomContent& Into) {
        try {
            return CheckedBase().PeekAtom(ID, Handle, Into);
        } catch (const EKVZError& error) {
            RaiseBrokenLink(error);
        }
    }
    // Raises the error a peek met as following a link raises it: a handle naming no atom is a
    // broken link. Called from a handler, so that anything else is raised again as it is.
    [[noreturn]] static void RaiseBrokenLink(const EKVZError& error);
    // Closes every open atom, aborts every top-level transaction and closes the file.
    void ForceClose();

    TAccess DefaultAccess = AccessDefault;
    std::vector<TStorageTransaction*> StorageTransactions; // not counted
    TVirtualAtom* FirstOpenAtom = nullptr;                 // the open atoms, a list through them; not counted

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    std::unique_ptr<TOstraBase> Base;
    TGUID StorageID; // the file's, read once: every atom address carries it
    TCapabilities* Capabilities = nullptr;
    TRef<IInnerUnknown> CapabilitiesOwner;
    bool Registered = false;
};

class TStorageTransaction : public TUnknown, public IStorageTransaction, public IStorageInfo, public IAtomPeek {
public:
    TStorageTransaction(TOstraStorage& Storage, TStorageTransaction* Parent, uint32_t ID, TAccess Rights);
    // Aborts an active transaction (reporting, never raising, what the abort raises).
    ~TStorageTransaction() override;

    // IVirtualStorage, working in this transaction
    TRef<IVirtualAtom> NewAtom() override;
    TRef<IVirtualAtom> NewAtomAccess(TAccess Access) override;
    TRef<IVirtualAtom> OpenRoot() override;
    TRef<IVirtualAtom> OpenRootAccess(TAccess Access) override;
    TRef<IVirtualAtom> OpenAtom(const TAtomAddress& Address) override;
    TRef<IVirtualAtom> OpenAtomAccess(const TAtomAddress& Address, TAccess Access) override;
    void Flush() override {}
    TRef<IStorageTransaction> StartTransaction() override;
    TTransactionArray GetTransactions() override;
    TRef<IEnumVirtualAtoms> EnumAtoms(TAccess Access) override;
    TAccess GetRights() override { return Rights; }
    TGUID GetDataClass() override { return Storage.GetDataClass(); }
    TGUID GetStorageID() override { return Storage.GetStorageID(); }
    std::string GetLocation() override { return Storage.GetLocation(); }

    // IStorageTransaction
    void Commit() override;
    void Abort() override;
    TRef<IVirtualStorage> GetStorage() override;
    uint32_t GetTransactionID() override { return TransactionID; }
    TRef<IStorageTransaction> GetParent() override;

    // IStorageInfo (forwarded to the storage, the second root opened in this transaction)
    TAtomAddress GetRootAddress() override { return Storage.GetRootAddress(); }
    TAtomAddress GetSecondRootAddress() override { return Storage.GetSecondRootAddress(); }
    TRef<IVirtualAtom> OpenSecondRoot() override;
    TRef<IVirtualAtom> OpenSecondRootAccess(TAccess Access) override;
    uint32_t GetFormatVersion() override { return Storage.GetFormatVersion(); }
    uint32_t GetMinReaderVersion() override { return Storage.GetMinReaderVersion(); }
    TDateTime GetCreated() override { return Storage.GetCreated(); }
    TDateTime GetModified() override { return Storage.GetModified(); }
    int32_t GetCacheCount() override { return Storage.GetCacheCount(); }
    int32_t GetCacheLimit() override { return Storage.GetCacheLimit(); }
    void SetCacheLimit(int32_t Limit) override { Storage.SetCacheLimit(Limit); }
    void GetCacheStats(int64_t& Lookups, int64_t& Hits) override { Storage.GetCacheStats(Lookups, Hits); }
    void GetSizes(int64_t& DataSize, int64_t& FileSize) override { Storage.GetSizes(DataSize, FileSize); }

    // IAtomPeek
    bool PeekLinked(TAtomHandle Handle, TAtomContent& Into) override {
        Storage.CheckedBase();
        return Storage.Peek(ActiveID(), Handle, Into);
    }
    bool PrefetchLinked(std::span<const TAtomHandle> Handles) noexcept override {
        return Storage.PrefetchLinked(Handles);
    }
    uint64_t AtomCountBound() override { return Storage.AtomCountBound(); }
    TAtomHandle HandleOf(IVirtualAtom* Atom) override { return Storage.HandleOf(Atom); }

    // Marks this transaction's descendants dead: their object-layer IDs were released.
    void KillDescendants();
    // The object-layer ID; raises EInvalidTrID when dead, 3 "Access is denied" when finished.
    uint32_t ActiveID() {
        CheckAlive();
        if (TransactionID == 0) [[unlikely]]
            TOstraStorage::RaiseDenied();
        return TransactionID;
    }

    TAccess Rights;
    uint32_t TransactionID;
    bool Dead = false;
    TOstraStorage& Storage;
    TStorageTransaction* ParentTransaction;
    std::vector<TStorageTransaction*> ChildTransactions; // not counted

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    // Raises EInvalidTrID for a dead transaction.
    void CheckAlive() {
        if (Dead) [[unlikely]]
            throw EInvalidTrID();
    }
    TRef<IUnknown> Holder; // the parent transaction, or the storage
};

class TVirtualAtom final : public TUnknown, public IAtomInfo, public IVirtualAtom, public IAtomLinks {
public:
    // One is made for every open.
    KESTROW_POOLED_OBJECT(TVirtualAtom)

    // A closed atom; MakeAtom opens it.
    TVirtualAtom(TOstraStorage& Storage, TOstraBase& Base, TStorageTransaction* Transaction);
    // Closes the atom; reports (never raises) what closing raises.
    ~TVirtualAtom() override;

    // IVirtualAtom
    bool HasLink(uint32_t Index) override;
    TRef<IVirtualAtom> OpenLink(uint32_t Index) override;
    TRef<IVirtualAtom> OpenLinkAccess(uint32_t Index, TAccess Access) override;
    void SetLink(uint32_t Index, IVirtualAtom* Atom) override;
    void InsertLink(uint32_t Index, IVirtualAtom* Atom) override;
    void DeleteLink(uint32_t Index) override;
    uint32_t Read(uint32_t Offset, std::span<uint8_t> Buffer) override;
    uint32_t Write(uint32_t Offset, std::span<const uint8_t> Buffer) override;
    bool IsSameAtom(IVirtualAtom* Atom) override;
    TAtomAddress AddReference() override;
    void RemoveReference() override;
    void Close() override;
    TRef<IVirtualAtom> CopyTo(IVirtualStorage* Target, TAccess Access) override;
    uint32_t GetLinkCount() override;
    TByteArray GetBytes() override;
    std::string GetText() override;
    uint32_t GetDataSize() override;
    TAtomStream* GetStream() override;
    TRef<IVirtualStorage> GetStorage() override;
    TRef<IStorageTransaction> GetTransaction() override;
    TAccess GetAccess() override;
    void SetLinkCount(uint32_t Count) override;
    void SetBytes(std::span<const uint8_t> Bytes) override;
    void SetText(std::string_view Text) override;
    void SetDataSize(uint32_t Length) override;
    void SetAccess(TAccess Access) override;

    // IAtomInfo
    void GetRefCounts(int32_t& LinkRefs, int32_t& ExtRefs) override;
    TAtomAddress GetAddress() override;

    // IAtomLinks
    TAtomHandle GetLinkHandle(uint32_t Index) override { return Open().GetLink(Index); }

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    friend class TOstraStorage;
    // Enters the atom, just opened, in the storage's list of open atoms.
    void Register();

    // The object-layer open; raises 3 "Access is denied" once closed.
    TAtom& Open();
    // The handle of Atom (of this storage, else 2), without touching its counts when it is one of ours.
    TAtomHandle TargetHandle(IVirtualAtom* Atom);

    std::unique_ptr<TAtomStream> Stream; // made at the first GetStream
    TAtom ObjectAtom;                    // closed once Image is null
    TVirtualAtom* PreviousOpen = nullptr;
    TVirtualAtom* NextOpen = nullptr;
    TOstraStorage& Storage;
    TRef<IVirtualStorage> StorageRef; // held when there is no transaction
    TRef<IStorageTransaction> Transaction;
};

class TStorageAtomEnumerator : public TUnknown, public IEnumVirtualAtoms {
public:
    TStorageAtomEnumerator(TAccess Access, std::unique_ptr<TAtomEnumerator> Handles, TOstraStorage& Storage,
                           TRef<IVirtualStorage> Opener);

    TRef<IEnumVirtualAtoms> Clone() override;
    TRef<IVirtualAtom> Next() override;
    void Reset() override { Handles->Reset(); }

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    TAccess Access;
    std::unique_ptr<TAtomEnumerator> Handles;
    TOstraStorage& Storage;
    TRef<IVirtualStorage> Opener;
};

// The registry of live storages: reported ("TOstraStorage: N object(s) not destroyed") and
// closed by force at program end.
void ReportAndCloseLiveStorages();

// The public face of the storage engine: the interfaces the index engine, the counter database
// and the programs use (storage, transaction, atom, enumerator, factory), the atom address, the
// access bits, the open modes and the process-wide factory. Everything else in storage/ is internal.
#pragma once

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Guid.h"
#include "platform/MemoryStream.h"
#include "storage/KVZError.h"
#include "storage/Unknown.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Access bits of an open, of a transaction's rights and of an image's usage.
using TAccess = uint8_t;
inline constexpr TAccess AccessReadData = 1;
inline constexpr TAccess AccessReadLinks = 2;
inline constexpr TAccess AccessWriteData = 4;
inline constexpr TAccess AccessWriteLinks = 8;
inline constexpr TAccess AccessStructure = 16;
// The default access of a writable storage, all a read-only file allows, a writable storage's rights.
inline constexpr TAccess AccessDefault = 15;
inline constexpr TAccess AccessReadOnly = 3;
inline constexpr TAccess AccessAll = 31;

// How a storage file is opened; the values are those of the parameter text's "Mode".
enum class TOpenMode : uint8_t {
    ReadOnly = 0,     // read an existing file
    Open = 1,         // read and write an existing file
    OpenOrCreate = 2, // open, or create when missing (an empty file is initialised too)
    Create = 3,       // create a new file; fail when it exists
};

// Atom handles: 1-based, 0 meaning no atom.
using TAtomHandle = uint32_t;
inline constexpr TAtomHandle RootAtomHandle = 1;
inline constexpr TAtomHandle SecondRootAtomHandle = 2;

// How an atom is named to callers: the storage's ID, the handle and a reserved zero word.
struct TAtomAddress {
    TGUID StorageID;
    TAtomHandle Handle = 0;
    uint32_t Reserved = 0;

    static constexpr size_t ByteSize = 24;
    // The 24 bytes: the GUID in file layout, then handle and reserved word little-endian.
    std::array<uint8_t, ByteSize> Bytes() const;
    static TAtomAddress FromBytes(std::span<const uint8_t> bytes);

    friend bool operator==(const TAtomAddress&, const TAtomAddress&) = default;
};
static_assert(sizeof(TAtomAddress) == 24);

using TByteArray = std::vector<uint8_t>;

inline std::span<const uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Raised for a transaction ID that names no live transaction (not an EKVZError).
class EInvalidTrID : public Exception {
public:
    EInvalidTrID() : Exception(OstraMsg::InvalidTransactionId) {}
};

struct IVirtualAtom;
struct IStorageTransaction;
struct IEnumVirtualAtoms;
class TAtomStream;

using TTransactionArray = std::vector<TRef<IStorageTransaction>>;

// What a storage or an index supports: named integer levels.
struct ICapabilities : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{F51BB15C-97DA-479A-BC43-7480A04494B7}");
    // Every entry as "Name=Value", joined by Separator.
    virtual std::string GetCapability(std::string_view Separator) = 0;
    // The level of Name, or -1 when absent; an invalid name raises ECapListError.
    virtual int32_t GetCapabilityInt(std::string_view Name) = 0;
    // True when every "NAME=level" of Requirements is met; a syntax error raises ECapListError.
    virtual bool CheckCapabilities(std::string_view Requirements) = 0;

protected:
    ~ICapabilities() = default;
};

// A storage, or (through IStorageTransaction) one transaction of it. Atoms are returned open;
// the caller's reference keeps them open.
struct IVirtualStorage : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{5A12A901-7DD7-11D4-A788-000021D7A140}");
    // A new atom opened with access 15 (or Access). It is deleted when closed unless linked or
    // referenced first.
    virtual TRef<IVirtualAtom> NewAtom() = 0;
    virtual TRef<IVirtualAtom> NewAtomAccess(TAccess Access) = 0;
    // Atom 1 with the default access (15, or 3 on a read-only file).
    virtual TRef<IVirtualAtom> OpenRoot() = 0;
    virtual TRef<IVirtualAtom> OpenRootAccess(TAccess Access) = 0;
    // An address of another storage raises 2; a handle that names no atom raises 5.
    virtual TRef<IVirtualAtom> OpenAtom(const TAtomAddress& Address) = 0;
    virtual TRef<IVirtualAtom> OpenAtomAccess(const TAtomAddress& Address, TAccess Access) = 0;
    virtual void Flush() = 0;
    // A child transaction; releasing it while active aborts it.
    virtual TRef<IStorageTransaction> StartTransaction() = 0;
    virtual TTransactionArray GetTransactions() = 0;
    // Walks the existing atoms, opening each with Access; atoms that cannot be opened are skipped.
    virtual TRef<IEnumVirtualAtoms> EnumAtoms(TAccess Access) = 0;
    virtual TAccess GetRights() = 0;
    virtual TGUID GetDataClass() = 0;
    virtual TGUID GetStorageID() = 0;
    // "file://" followed by the file's absolute path.
    virtual std::string GetLocation() = 0;

protected:
    ~IVirtualStorage() = default;
};

// A transaction: the storage operations working inside it, plus commit, abort and navigation.
struct IStorageTransaction : IVirtualStorage {
    static constexpr TGUID IID = GuidOf("{5A12A902-7DD7-11D4-A788-000021D7A140}");
    // Raises 7 while an atom is open in this transaction, or when already finished.
    virtual void Commit() = 0;
    // Raises 7 while an atom is open in it or below, or when already finished.
    virtual void Abort() = 0;
    virtual TRef<IVirtualStorage> GetStorage() = 0;
    // 0 once committed or aborted.
    virtual uint32_t GetTransactionID() = 0;
    // The transaction it was started from, or nullptr.
    virtual TRef<IStorageTransaction> GetParent() = 0;

protected:
    ~IStorageTransaction() = default;
};

// Facts about the storage file and control of its atom cache.
struct IStorageInfo : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{3554DAA3-16DB-11D5-A98C-000021D7A140}");
    virtual TAtomAddress GetRootAddress() = 0;
    virtual TAtomAddress GetSecondRootAddress() = 0;
    virtual TRef<IVirtualAtom> OpenSecondRoot() = 0;
    virtual TRef<IVirtualAtom> OpenSecondRootAccess(TAccess Access) = 0;
    virtual uint32_t GetFormatVersion() = 0;
    virtual uint32_t GetMinReaderVersion() = 0;
    virtual TDateTime GetCreated() = 0;
    virtual TDateTime GetModified() = 0;
    virtual int32_t GetCacheCount() = 0;
    virtual int32_t GetCacheLimit() = 0;
    virtual void SetCacheLimit(int32_t Limit) = 0;
    virtual void GetCacheStats(int64_t& Lookups, int64_t& Hits) = 0;
    // The header's DataSize and the file's current length.
    virtual void GetSizes(int64_t& DataSize, int64_t& FileSize) = 0;

protected:
    ~IStorageInfo() = default;
};

// Walks the atoms of a storage or transaction, handing each out open.
struct IEnumVirtualAtoms : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{5A12A900-7DD7-11D4-A788-000021D7A140}");
    virtual TRef<IEnumVirtualAtoms> Clone() = 0;
    // The next atom that opens, or nullptr at the end.
    virtual TRef<IVirtualAtom> Next() = 0;
    virtual void Reset() = 0;

protected:
    ~IEnumVirtualAtoms() = default;
};

// One open of one atom. After Close every operation but GetStorage, GetTransaction and
// GetStream raises 3 "Access is denied"; a missing access bit raises 3 "Atom access is denied".
struct IVirtualAtom : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{5A12A903-7DD7-11D4-A788-000021D7A140}");
    virtual bool HasLink(uint32_t Index) = 0;
    // The linked atom opened in the same transaction, nullptr for an empty link; a link to an
    // atom that is gone raises 10 "Broken link (atom does not exist)".
    virtual TRef<IVirtualAtom> OpenLink(uint32_t Index) = 0;
    virtual TRef<IVirtualAtom> OpenLinkAccess(uint32_t Index, TAccess Access) = 0;
    // Atom nullptr stores an empty link. Setting beyond the end extends the links with empty ones.
    virtual void SetLink(uint32_t Index, IVirtualAtom* Atom) = 0;
    virtual void InsertLink(uint32_t Index, IVirtualAtom* Atom) = 0;
    virtual void DeleteLink(uint32_t Index) = 0;
    // Copies up to Buffer.size() bytes from Offset; returns the number copied.
    virtual uint32_t Read(uint32_t Offset, std::span<uint8_t> Buffer) = 0;
    // Writes the bytes at Offset, growing the data (with zeros) as needed; returns the count.
    virtual uint32_t Write(uint32_t Offset, std::span<const uint8_t> Buffer) = 0;
    virtual bool IsSameAtom(IVirtualAtom* Atom) = 0;
    // Raises the atom's reference count (not on a read-only file) and returns its address.
    virtual TAtomAddress AddReference() = 0;
    virtual void RemoveReference() = 0;
    // Ends the open at once; a second Close does nothing.
    virtual void Close() = 0;
    // Opens this same atom again through Target (nullptr: this atom's storage).
    virtual TRef<IVirtualAtom> CopyTo(IVirtualStorage* Target, TAccess Access) = 0;
    virtual uint32_t GetLinkCount() = 0;
    virtual TByteArray GetBytes() = 0;
    virtual std::string GetText() = 0;
    virtual uint32_t GetDataSize() = 0;
    // The atom's own stream (owned by the atom, nullptr after Close).
    virtual TAtomStream* GetStream() = 0;
    virtual TRef<IVirtualStorage> GetStorage() = 0;
    // The transaction it was opened in, or nullptr at the storage level.
    virtual TRef<IStorageTransaction> GetTransaction() = 0;
    virtual TAccess GetAccess() = 0;
    virtual void SetLinkCount(uint32_t Count) = 0;
    virtual void SetBytes(std::span<const uint8_t> Bytes) = 0;
    virtual void SetText(std::string_view Text) = 0;
    virtual void SetDataSize(uint32_t Length) = 0;
    // Raises 4 "Atom share violation" (keeping the old access) when the new access conflicts.
    virtual void SetAccess(TAccess Access) = 0;

protected:
    ~IVirtualAtom() = default;
};

// Reference counts and address of an open atom.
struct IAtomInfo : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{BF18FBA0-B500-11D4-A04C-8C0D2742A111}");
    // The counts at the storage level; inside a transaction the changes made so far.
    virtual void GetRefCounts(int32_t& LinkRefs, int32_t& ExtRefs) = 0;
    virtual TAtomAddress GetAddress() = 0;

protected:
    ~IAtomInfo() = default;
};

enum class TSeekOrigin : int32_t { Beginning = 0, Current = 1, End = 2 };

// The data of an open atom as a stream. Owned by the atom; works only while the atom is open
// and with the access bits its operations need (reading and sizing 1, writing and SetSize 4).
class TAtomStream : public TStream {
public:
    explicit TAtomStream(IVirtualAtom& owner) : OwnerAtom(owner) {}
    TAtomStream(const TAtomStream&) = delete;
    TAtomStream& operator=(const TAtomStream&) = delete;

    // Reads at the position and advances by the count read.
    size_t Read(std::span<uint8_t> Buffer) override;
    // Writes at the position and advances; a position below 0 or past 2^32 - 1 raises.
    void Write(std::span<const uint8_t> Data) override;
    uint64_t Size() const override;
    void SetSize(uint64_t NewSize) override;
    uint64_t Position() const override { return FPosition < 0 ? 0 : uint64_t(FPosition); }
    void Seek(uint64_t NewPosition) override { FPosition = int64_t(NewPosition); }
    // Moves the position relative to an origin, without bounds; returns the new position.
    int64_t Seek(int64_t Offset, TSeekOrigin Origin);

private:
    IVirtualAtom& OwnerAtom;
    int64_t FPosition = 0;
};

// Hands out storages.
struct IStorageFactory : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{5A12A904-7DD7-11D4-A788-000021D7A140}");
    // Opens or creates the storage file at Location (a path, optionally "file://"); Params is
    // the parameter text ("Mode:CREATE; Class:{...}"). ServerType must be 0 or odd (else 16).
    // Raises 19 for a bad parameter text, 201-207 for open errors, 2 for unmet RequiredCaps.
    virtual TRef<IVirtualStorage> CreateStorage(uint16_t ServerType, uint32_t Reserved, std::string_view Location,
                                                std::string_view RequiredCaps, std::string_view Params) = 0;
    // Always nullptr.
    virtual TRef<IVirtualStorage> CreateStorageAlt() = 0;

protected:
    ~IStorageFactory() = default;
};

// The process-wide factory; nullptr before StartStorageEngine and after StopStorageEngine.
TRef<IStorageFactory> StorageFactory();

// Program start: fills the process-wide factory and starts the engine's timers. Call once
// before anything opens a storage.
void StartStorageEngine();
// Program end: clears the factory, reports storages still alive ("TOstraStorage: N object(s)
// not destroyed") and closes them by force without committing their open transactions, then
// frees the timers.
void StopStorageEngine();

// Where the report of storages never freed goes (default: a warning on stderr captioned
// "Ostra-Error"). nullptr restores the default.
void SetUnfreedStorageHook(std::function<void(std::string_view)> hook);

// The factory's CreateStorage with server type 0.
TRef<IVirtualStorage> CreateStorage(std::string_view Location, std::string_view Params,
                                    std::string_view RequiredCaps = {});

// Where atoms that belong with Atom are made: the transaction it was opened in, else its storage.
inline TRef<IVirtualStorage> AtomMakerOf(IVirtualAtom* atom) {
    if (TRef<IStorageTransaction> transaction = atom->GetTransaction()) return transaction;
    return atom->GetStorage();
}

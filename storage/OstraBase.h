// The object layer of the storage engine: atom images per transaction, the one-writer-or-many-
// readers rule per part (data, links), nested transactions with commit and abort, changes passed
// on to parent images and through the atom cache to the file, and the persistent reference
// counts with cascade delete.
// Single-threaded; the public objects (storage, transaction, atom) sit on top of it.
#pragma once

#include "platform/BlockPool.h"
#include "storage/AtomCache.h"
#include "storage/AtomManager.h"
#include "storage/Corvane.h"
#include "storage/EAccessors.h"
#include "storage/HandleTable.h"
#include "storage/OstraFile.h"
#include "storage/PartBuffer.h"
#include "storage/Prefetch.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Everything open on an image: its opens and the images copied from it in child transactions.
struct TShareCounters {
    int32_t DataReaders = 0;
    int32_t LinkReaders = 0;
    int32_t DataWriters = 0;
    int32_t LinkWriters = 0;
    int32_t Opens = 0;

    TShareCounters& operator+=(const TShareCounters& other);
    bool IsZero() const { return !DataReaders && !LinkReaders && !DataWriters && !LinkWriters && !Opens; }
};

// An open counts as a writer of a part it may write, else as a reader of a part it may read.
TShareCounters AccessCounts(TAccess access, int32_t n);
// A child image counts once per usage bit.
TShareCounters UsageCounts(TAccess usage, int32_t n);
TAccess UsageOf(const TShareCounters& share);

class TBaseTransaction;
class TOstraBase;

using TDataBuffer = TPartBuffer<uint8_t>;
using TLinkBuffer = TPartBuffer<uint32_t>;

// One atom as one transaction sees it. Data and links are shared with the parent image until
// one side changes them (copy on write).
class TAtomImage {
public:
    // Beyond the spare ones the base keeps, images come from a pool.
    KESTROW_POOLED_OBJECT(TAtomImage)

    TAtomImage(TAtomHandle handle, TAtomImage* parent, TBaseTransaction* owner, bool isNew)
        : ParentImage(parent), OwnerTransaction(owner), AtomHandle(handle), IsNewAtom(isNew) {}

    uint32_t DataLength() const { return uint32_t(Data.size()); }
    uint32_t LinkCount() const { return uint32_t(Links.size()); }
    uint32_t LinkAt(uint32_t index) const { return index < LinkCount() ? Links[index] : 0; }
    // The arrays made this image's own before a change.
    TDataBuffer& OwnData();
    TLinkBuffer& OwnLinks();
    // The images copied from this one in child transactions, a list through them (mostly of
    // one).
    TAtomImage* FirstChild() const { return firstChild_; }
    TAtomImage* NextSibling() const { return nextSibling_; }
    void AddChild(TAtomImage* child);
    void RemoveChild(TAtomImage* child);
    // Moves every child of from to this image's list.
    void TakeChildren(TAtomImage& from);

    // A large transaction holds images by the hundred thousand: the members go largest first,
    // so that no padding lies between them.
    TAtomImage* ParentImage;
    TBaseTransaction* OwnerTransaction;
    TDataBuffer Data;
    TLinkBuffer Links;
    TAtomHandle AtomHandle;
    TShareCounters Share;
    // Without a parent image the counts themselves; in a copy the change against the parent.
    int32_t LinkRefs = 0;
    int32_t ExtRefs = 0;
    bool IsNewAtom;
    uint8_t LinkWidth = 1;
    TAccess Usage = 0;
    uint8_t ModifiedParts = 0;
    uint8_t LoadedParts = 0;
    bool BeingDeleted = false;

private:
    TAtomImage* firstChild_ = nullptr;
    TAtomImage* nextSibling_ = nullptr;
};

// One open of an image. Closing it (Close, or destruction) returns its share and settles the image.
class TAtom {
public:
    // A closed open, for OpenAtom/NewAtom to fill.
    explicit TAtom(TOstraBase& base) : Base(base), Image(nullptr), Access(0) {}
    TAtom(const TAtom&) = delete;
    TAtom& operator=(const TAtom&) = delete;
    // Reports (never raises) what Close would raise.
    ~TAtom();
    // Ends the open; may raise what writing the image back raises. A second call does nothing.
    void Close();

    uint32_t GetDataLength();
    uint32_t ReadData(uint32_t offset, std::span<uint8_t> buffer);
    void SetDataLength(uint32_t length);
    void WriteData(uint32_t offset, std::span<const uint8_t> bytes);
    // The data becomes bytes, whatever it was.
    void SetData(std::span<const uint8_t> bytes);
    uint32_t GetLinkCount();
    TAtomHandle GetLink(uint32_t index);
    void SetLink(uint32_t index, TAtomHandle handle);
    void InsertLink(uint32_t index, TAtomHandle handle);
    void DeleteLink(uint32_t index);
    void SetLinkCount(uint32_t count);
    TAtomHandle GetAtomHandle() const { return Image ? Image->AtomHandle : 0; }
    void AddExtRefs(int32_t delta);
    void AddLinkRefs(int32_t delta);
    void SetAccess(TAccess access);
    // The image's counts (see TAtomImage::LinkRefs).
    void GetRefCounts(int32_t& linkRefs, int32_t& extRefs);

    TOstraBase& Base;
    TAtomImage* Image;
    TAccess Access;
    // The transaction it was opened in. A reader may borrow the image of the root instead of one
    // of this transaction's own (see TOstraBase::ImageForReading).
    TBaseTransaction* Transaction = nullptr;

private:
    TAtomImage& Checked(TAccess bit);
    // The image to change: this transaction's own, made now when the open has borrowed one.
    TAtomImage& Changed();
};

// The object-layer enumerator of existing atom handles.
class TAtomEnumerator {
public:
    TAtomEnumerator(TOstraBase& base, uint32_t id) : Base(base), ID(id) {}
    // The next handle that exists for the transaction, 0 at the end.
    TAtomHandle Next();
    void Reset() { Position = 1; }

    TOstraBase& Base;
    uint32_t ID;
    TAtomHandle Position = 1;
};

// A transaction's atom images by handle. It refers to the images, never owns them.
class TImageTable {
public:
    TAtomImage* Get(TAtomHandle handle) const {
        TAtomImage* const* image = Images.Find(handle);
        return image ? *image : nullptr;
    }
    // Stores image for handle; nullptr removes the handle's image.
    void Put(TAtomHandle handle, TAtomImage* image) {
        if (image)
            Images.Put(handle, image);
        else
            Images.Take(handle);
    }
    uint32_t Count() const { return Images.Count(); }
    void Clear() { Images.Clear(); }
    // The handles held now, in the order a transaction gives its images up: falling.
    std::vector<TAtomHandle> HandlesBackward() const;
    // A hint that the image of handle is asked for soon, and after it that of next: the memory
    // of the one's slot and image, and of the other's slot, are on their way meanwhile.
    void Prefetch(TAtomHandle handle, TAtomHandle next) const {
        if (TAtomImage* image = Get(handle)) ::Prefetch(image);
        Images.Prefetch(next);
    }

private:
    THandleTable<TAtomImage*> Images;
};

class TBaseTransaction {
public:
    TBaseTransaction(TOstraBase& base, uint32_t id, TBaseTransaction* parent);

    TOstraBase& Base;
    TImageTable ImageTable;
    std::vector<TBaseTransaction*> Children;
    bool Destroying = false;
    uint32_t ID;
    int32_t OpenHere = 0;
    TBaseTransaction* Parent;

    // Opens in this transaction or in any below it.
    bool HasOpenBelow() const;
    // Calls visit(image) for every image, from the last to the first; images that leave the table
    // before their turn are passed over, images that come in meanwhile are not visited.
    // Each visit of a large transaction's images would wait for their memory: the next ones'
    // are asked for first.
    template <class F> void ForEachImageBackward(F visit) {
        std::vector<TAtomHandle> handles = ImageTable.HandlesBackward();
        for (size_t i = 0; i < handles.size(); ++i) {
            if (i + 2 < handles.size()) ImageTable.Prefetch(handles[i + 1], handles[i + 2]);
            if (TAtomImage* image = ImageTable.Get(handles[i])) visit(image);
        }
    }
};

// Transactions by ID; released IDs are reused, the most recently released first.
class TTransactionList {
public:
    uint32_t Allocate(std::unique_ptr<TBaseTransaction> transaction);
    // Frees the transaction and releases its ID.
    void Release(uint32_t id);
    // Raises EInvalidTrID for an ID that names no live transaction.
    TBaseTransaction& Get(uint32_t id) {
        if (id >= Items.size() || !Items[id]) [[unlikely]]
            RaiseInvalid();
        return *Items[id];
    }
    uint32_t NextID() const { return FreeIDs.empty() ? uint32_t(Items.size()) : FreeIDs.back(); }

private:
    [[noreturn]] static void RaiseInvalid();

    std::vector<std::unique_ptr<TBaseTransaction>> Items;
    std::vector<uint32_t> FreeIDs;
};

class TOstraBase {
public:
    // Opens or creates the file; on a new file makes the two predefined atoms (handles 1 and 2).
    TOstraBase(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes, bool writeThrough);
    // Aborts what is left below the root and closes the file. Never throws.
    ~TOstraBase();
    TOstraBase(const TOstraBase&) = delete;
    TOstraBase& operator=(const TOstraBase&) = delete;

    // Both open into a closed TAtom of this base; it stays closed when they raise.
    void NewAtom(uint32_t id, TAccess access, TAtom& into);
    void OpenAtom(uint32_t id, TAtomHandle handle, TAccess access, TAtom& into);
    uint32_t StartTransaction(uint32_t parentId);
    // Into the root: the file commits too; when that fails the file refuses further work.
    void Commit(uint32_t id);
    void Abort(uint32_t id);
    bool AtomExists(uint32_t id, TAtomHandle handle);
    // The data and links of an atom as an open for reading in transaction id would show them,
    // read without an open; false (nothing read) when the chain holds an image of it.
    bool PeekAtom(uint32_t id, TAtomHandle handle, TAtomContent& into);
    std::unique_ptr<TAtomEnumerator> EnumAtoms(uint32_t id);

    TOstraFile& File() { return *FileObject; }
    // What a destructor does with the failure of an atom's close. Never throws.
    void CloseFailed(const std::exception& error) noexcept;
    // What the deletion of atoms does with a failure it goes on past. Never throws.
    void PassOver(const char* where, const std::exception& error) noexcept;
    IAtomCache& Cache() { return *AtomCache; }
    IAtomManager& Atoms() { return *AtomManager; }

    // Used by TAtom.
    void CloseAtom(TAtom& atom);
    void SetDataLength(TAtomImage& image, uint32_t length);
    void WriteData(TAtomImage& image, uint32_t offset, std::span<const uint8_t> bytes);
    void SetData(TAtomImage& image, std::span<const uint8_t> bytes);
    void SetLink(TAtomImage& image, uint32_t index, TAtomHandle handle);
    void InsertLink(TAtomImage& image, uint32_t index, TAtomHandle handle);
    void DeleteLink(TAtomImage& image, uint32_t index);
    void SetLinkCount(TAtomImage& image, uint32_t count);
    void AddLinkRefs(TAtomImage& image, int32_t delta);
    void AddExtRefs(TAtomImage& image, int32_t delta);
    void ChangeShare(TAtomImage& image, const TShareCounters& delta);
    // True while no transaction from t up to the root's child holds an image of the atom: a
    // reader in t may then use the root's image (see ImageForReading).
    bool MayBorrow(TBaseTransaction& t, TAtomHandle handle);
    // Moves an open that borrowed the root's image to an image of its own transaction.
    void TakeOwnImage(TAtom& atom);

private:
    void CreatePredefinedAtoms();
    TAtomImage* NewImage(TAtomHandle handle, TAtomImage* parent, TBaseTransaction& owner, bool isNew);
    void FreeImage(TAtomImage* image);
    TAtomImage* GetImage(TBaseTransaction& t, TAtomHandle handle);
    TAtomImage* ImageForReading(TBaseTransaction& t, TAtomHandle handle);
    void OpenImage(TBaseTransaction& t, TAtomImage* image, TAccess access, TAtom& into);
    // What the image is used for with share open on it: the share's parts, and as written
    // what it has changed.
    static TAccess UsageWith(const TAtomImage& image, const TShareCounters& share);
    void SetUsage(TAtomImage& image, TAccess usage);
    void LoadParts(TAtomImage& image, uint8_t parts);
    // Runs whenever something on an image has ended: frees it, passes its changes on or deletes it.
    void Settle(TBaseTransaction& t, TAtomImage* image);
    // Settle without deleting: true when the image is due for deletion.
    bool SettleKeepingDeletion(TBaseTransaction& t, TAtomImage* image);
    bool IsDueForDeletion(const TAtomImage& image);
    // Hands the image's changes on: into its parent image, or at the root to the atom table.
    void PassOnChanges(TAtomImage& image);
    void StoreToFile(TAtomImage& image);
    void MergeIntoParent(TAtomImage& image);
    // Returns the target's image when the change left it due for deletion.
    TAtomImage* ChangeLinkRefDeferred(TBaseTransaction& t, TAtomHandle handle, int32_t delta);
    void ChangeLinkRef(TBaseTransaction& t, TAtomHandle handle, int32_t delta);
    void ReleaseLink(TBaseTransaction& t, TAtomHandle handle);
    void DeleteAtom(TAtomImage* image);
    // A deletion's stack of atoms whose links are being released: the atom and its next link.
    struct TDeletionFrame {
        TAtomImage* Image;
        uint32_t NextLink;
    };
    void FinishDeletion(TAtomImage* image);
    void MergeTransaction(TBaseTransaction& t);
    void AbortTransaction(TBaseTransaction& t);
    void FreeTransaction(TBaseTransaction& t);
    void CheckWritable() { FileObject->CheckWritable(); }
    // Freed images wait here for the next open: an open and close of an atom then takes no
    // memory from a pool.
    void RecycleImage(TAtomImage* image) noexcept;

    std::vector<std::unique_ptr<TAtomImage>> SpareImages;
    // The last deletion's stack, kept for the next one: a commit deletes atoms by the thousand.
    // A deletion started inside another finds it taken and makes its own.
    std::vector<TDeletionFrame> SpareDeletionStack;
    TAtomData ReadBuffer;  // what the cache hands over, before it is copied into an image
    TAtomData WriteBuffer; // what an image hands to the cache

    std::unique_ptr<TOstraFile> FileObject;
    TRef<IAtomManager> AtomManager;
    TRef<TAtomCache> AtomCache;
    TTransactionList Transactions;
    TBaseTransaction* Root = nullptr;
};

// An open for reading in a chain holding no image of the atom would make a fresh image at the
// root from the cache, could not conflict, and its close would free that image unchanged: the
// committed content is what it would show. A walk's peek reads past the cache, which would only
// lose the atoms in use to atoms read once.
// The table reads straight into the caller's content, past the cache.
inline bool TOstraBase::PeekAtom(uint32_t id, TAtomHandle handle, TAtomContent& into) {
    for (TBaseTransaction* t = &Transactions.Get(id); t; t = t->Parent)
        if (t->ImageTable.Get(handle)) return false;
    AtomCache->ReadPast(handle, AtomPartData | AtomPartLinks, into);
    return true;
}

inline constexpr uint32_t AtomCacheBits = 6;
inline constexpr uint32_t AtomCacheLimit = 8000;

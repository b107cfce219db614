// The index engine's public face: the interfaces every index offers (IIndexer, the cursors,
// IIndexerFactory, IBTreeDump), the seek conditions and the index error codes and texts.
// The implementations (trie: UKVZIndex.h, B-tree: BTreeIndex.h / BTreeFactory.h) are internal.
#pragma once

#include "platform/FunctionRef.h"
#include "storage/Corvane.h"
#include "storage/KVZError.h"
#include "storage/Unknown.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct IIndexer;
struct IIndexerCursor;
struct IModificatingCursor;

// Seek conditions of IIndexerCursor::Seek. The trie cursor supports SeekExact only.
enum : uint8_t {
    SeekExact = 0,
    SeekLess = 1,
    SeekGreater = 2,
    SeekLessOrEqual = 3,
    SeekGreaterOrEqual = 4,
};

// Error codes raised by the index engine (EKVZError::Code); texts below.
namespace IndexCode {
inline constexpr int32_t NotImplemented = 1;
inline constexpr int32_t CapabilityNotSupported = 2;
inline constexpr int32_t AccessDenied = 3;
inline constexpr int32_t InvalidParameter = 19;
inline constexpr int32_t UnsupportedCondition = 150;
inline constexpr int32_t NotAtom = 151;
inline constexpr int32_t NotBTree = 152;
inline constexpr int32_t NilPointer = 153;
inline constexpr int32_t NotStorage = 154;
inline constexpr int32_t IncompatibleVersions = 156;
inline constexpr int32_t NoCapabilities = 157;
} // namespace IndexCode

namespace IndexMsg {
inline constexpr const char* UnsupportedCondition = "Unsupported Search Condition!";
inline constexpr const char* NotAtom = "Not atom!";
inline constexpr const char* NotBTree = "not BTREE index";
inline constexpr const char* NilPointer = "Pointer is not Assigned!";
inline constexpr const char* NotStorage = "Not storage!";
inline constexpr const char* IncompatibleVersions = "Non compatible verisons!";
inline constexpr const char* NoCapabilities = "Capabilities not supported !";
inline constexpr const char* InvalidPageSize = "TBTreeIndexFactory - invalid PageSize parameter";
inline constexpr const char* PageSizeOutOfRange = "TBTreeIndexFactory - invalid PageSize parameter value out of range";
} // namespace IndexMsg

// Keys are byte strings (NUL bytes allowed) ordered byte by byte as unsigned values, a prefix
// before its extensions. Every key operation has a string form and a buffer form (P, Len);
// a nil P raises 153 unless the operation says otherwise. Interface results are counted
// references for the caller; out-parameters are cleared on entry.

// Walks an index in key order. Stands on at most one key at a time.
struct IBidirectionalCursor : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{88DAF7A1-CD01-11D4-A98C-000021D7A140}");
    virtual bool IsFirst() = 0;
    virtual bool IsLast() = 0;
    // True when the cursor stands on no key.
    virtual bool IsEmpty() = 0;
    // Number of keys in the index.
    virtual int32_t GetCount() = 0;
    virtual bool First() = 0;
    virtual bool Last() = 0;
    virtual bool Next() = 0;
    virtual bool Prior() = 0;
    // Value atom of the current key, with the index's default access; nil when on no key.
    virtual TRef<IVirtualAtom> GetAtom() = 0;
    virtual TRef<IVirtualAtom> GetAtomAccess(TAccess access) = 0;
    // A new cursor at the same key that moves independently.
    virtual TRef<IBidirectionalCursor> Clone() = 0;
    // Drops the cursor's hold on its index.
    virtual void Close() = 0;

protected:
    ~IBidirectionalCursor() = default;
};

struct IIndexerCursor : virtual IBidirectionalCursor {
    static constexpr TGUID IID = GuidOf("{88DAF7A2-CD01-11D4-A98C-000021D7A140}");
    virtual TRef<IIndexer> GetIndexer() = 0;
    // Length of the current key in bytes (trie: -1 when on no key).
    virtual int32_t GetKeyLength() = 0;
    // Copies min(size, key length) bytes of the current key to p; returns the number copied.
    virtual int32_t GetKeyBuf(void* p, int32_t size) = 0;
    virtual std::string GetKey() = 0;
    // Moves to the key sought under condition (SeekExact..SeekGreaterOrEqual); true when found.
    virtual bool SeekBuf(const void* p, int32_t len, uint8_t condition) = 0;
    virtual bool Seek(std::string_view key, uint8_t condition) = 0;

protected:
    ~IIndexerCursor() = default;
};

struct IModificatingCursor : virtual IIndexerCursor {
    static constexpr TGUID IID = GuidOf("{88DAF7A4-CD01-11D4-A98C-000021D7A140}");
    // Removes the current key and moves to the key after it.
    virtual void Delete() = 0;
    // Adds key (a new value atom when atom is nil) and moves there.
    virtual void Insert(std::string_view key, IVirtualAtom* atom) = 0;
    virtual void InsertBuf(const void* p, int32_t len, IVirtualAtom* atom) = 0;

protected:
    ~IModificatingCursor() = default;
};

// An ordered map from byte-string keys to value atoms, kept as atoms of one storage.
struct IIndexer : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{88DAF7A3-CD01-11D4-A98C-000021D7A140}");
    // Makes a new value atom for key (replacing any previous value) and returns it.
    virtual TRef<IVirtualAtom> AddKey(std::string_view key) = 0;
    virtual TRef<IVirtualAtom> AddKeyBuf(const void* p, int32_t len) = 0;
    // Makes key point at atom (which must not be nil).
    virtual void InsertKey(std::string_view key, IVirtualAtom* atom) = 0;
    // A nil p inserts the empty key.
    virtual void InsertKeyBuf(const void* p, int32_t len, IVirtualAtom* atom) = 0;
    virtual bool KeyExists(std::string_view key) = 0;
    virtual bool KeyExistsBuf(const void* p, int32_t len) = 0;
    // Opens the value atom of key with the index's default access; false when absent.
    virtual bool FindKey(std::string_view key, TRef<IVirtualAtom>& atom) = 0;
    virtual bool FindKeyBuf(const void* p, int32_t len, TRef<IVirtualAtom>& atom) = 0;
    virtual bool FindKeyAccess(std::string_view key, TAccess access, TRef<IVirtualAtom>& atom) = 0;
    virtual bool FindKeyBufAccess(const void* p, int32_t len, TAccess access, TRef<IVirtualAtom>& atom) = 0;
    // A new cursor and an exact seek of key; the result is the seek's.
    virtual bool SeekCursor(std::string_view key, TRef<IIndexerCursor>& cursor) = 0;
    virtual bool SeekCursorBuf(const void* p, int32_t len, TRef<IIndexerCursor>& cursor) = 0;
    // A new cursor on the first key.
    virtual TRef<IIndexerCursor> GetCursor() = 0;
    virtual bool SeekModifyingCursor(std::string_view key, TRef<IModificatingCursor>& cursor) = 0;
    virtual bool SeekModifyingCursorBuf(const void* p, int32_t len, TRef<IModificatingCursor>& cursor) = 0;
    virtual TRef<IModificatingCursor> GetModifyingCursor() = 0;
    // True when the key was present.
    virtual bool DeleteKey(std::string_view key) = 0;
    virtual bool DeleteKeyBuf(const void* p, int32_t len) = 0;
    virtual void Clear() = 0;
    // Where new atoms of the index are made (a transaction or the storage).
    virtual TRef<IVirtualStorage> GetStorage() = 0;
    // Nil outside a transaction.
    virtual TRef<IStorageTransaction> GetTransaction() = 0;
    virtual TRef<IVirtualAtom> GetIndexAtom() = 0;

protected:
    ~IIndexer() = default;
};

// Opens, creates and recognises one kind of index. Caps is a capability requirement text
// (checked only when not empty), Params a parameter text (read by the B-tree factory only).
struct IIndexerFactory : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{330FE0A0-D414-11D4-BFDF-9D6EE1236436}");
    // The index whose header atom is atom.
    virtual TRef<IIndexer> OpenIndex(IVirtualAtom* atom, std::string_view caps, std::string_view params) = 0;
    // A new index made through storage (the storage or a transaction); its header atom is
    // returned in indexAtom.
    virtual TRef<IIndexer> CreateIndex(IVirtualStorage* storage, TRef<IVirtualAtom>& indexAtom, std::string_view caps,
                                       std::string_view params) = 0;
    // The index linked at owner's link linkNo, made and linked there when absent.
    virtual TRef<IIndexer> OpenOrCreateIndex(IVirtualAtom* owner, int32_t linkNo, std::string_view caps,
                                             std::string_view params) = 0;
    virtual bool IsIndex(IVirtualAtom* atom) = 0;

protected:
    ~IIndexerFactory() = default;
};

// One ordered pass over every key of an index, or over chosen keys, cheaper than a cursor's
// steps or separate lookups: the index is positioned once and each value atom is opened straight
// from its key's entry.
struct IIndexWalk : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{2D67C3EA-C645-4058-8EA6-45ACE648F9E5}");
    using TVisit = TFunctionRef<void(std::string_view key, IVirtualAtom* value)>;
    // Calls visit for every key in key order, with its value atom opened with access when
    // openValues is set (else nil). visit must not use the index; what it raises passes on and
    // ends the walk. Leaves the index past its last key, as a cursor's walk does.
    virtual void WalkKeys(bool openValues, TAccess access, const TVisit& visit) = 0;
    using TValueVisit = TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>;
    // As WalkKeys with the values opened for reading, but visit gets each value's data instead
    // of an open, so the walk opens next to nothing. visit must not change the index through any
    // object (the walk raises a share violation when it finds it changed).
    virtual void WalkValues(const TValueVisit& visit) = 0;
    // As WalkValues, with the handles in the value's links too (links[i] is link i).
    using TValueLinksVisit =
        TFunctionRef<void(std::string_view key, std::span<const uint8_t> value, std::span<const TAtomHandle> links)>;
    virtual void WalkValueLinks(const TValueLinksVisit& visit) = 0;
    // Calls visit, in key order, for each of keys (any order, repeats allowed) that the index
    // holds, with its value's data as WalkValues hands it over (and with its rule for visit).
    // Reads only what the paths to those keys reach, so a few keys of a large index cost no
    // more than their lookups; what visit raises passes on. Leaves the index on no key.
    virtual void FindValues(const std::vector<std::string>& keys, const TValueVisit& visit) = 0;
    // The number of keys, as the index keeps it.
    virtual int32_t GetKeyCount() = 0;

protected:
    ~IIndexWalk() = default;
};

// Looks keys up, as IIndexWalk::FindValues does, in the trie whose header atom is at header
// (opened through maker when it must be opened), without opening an index object over it: for
// a few keys in each of many tries. A header that is none raises what opening the trie raises.
void FindTrieValues(IVirtualStorage* maker, TAtomHandle header, const std::vector<std::string>& keys,
                    const IIndexWalk::TValueVisit& visit);

// Text dump of a B-tree, one line per page entry, indented by depth.
struct IBTreeDump : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{2591EF71-F104-11D4-9A51-00A0D21AF09A}");
    virtual void Dump(std::vector<std::string>& lines) = 0;

protected:
    ~IBTreeDump() = default;
};

// The bytes at p as a key, for the buffer forms (P, Len) of every index; a nil p raises 153
// "Pointer is not Assigned!".
std::string_view BufferKey(const void* p, int32_t len);

// The two index factories (stateless objects).
TRef<IIndexerFactory> NewTrieIndexFactory();
TRef<IIndexerFactory> NewBTreeIndexFactory();

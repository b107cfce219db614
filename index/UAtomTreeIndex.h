// The trie index core: an ordered byte-string -> atom map kept as a character trie of node atoms
// under a header atom, with a remembered position for ordered walks. Internal to the index
// engine; callers use it through TIIndexer (UKVZIndex.h).
#pragma once

#include "index/TrieChangeCount.h"
#include "index/TrieReader.h"
#include "platform/FunctionRef.h"
#include "storage/Corvane.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A header check failure; the message comes from the fixed table by code.
class TATIError : public Exception {
public:
    explicit TATIError(int32_t code);
    int32_t Code;
};

namespace ATICode {
inline constexpr int32_t Ok = 0;
inline constexpr int32_t NotATI = 1;
inline constexpr int32_t Incompatible = 2;
inline constexpr int32_t NoHeader = 3;
inline constexpr int32_t Unknown = 4;
inline constexpr int32_t NoStorage = 5;
} // namespace ATICode

// The header record as read from either stored layout.
struct TATIHeader {
    TGUID Id;
    std::string Signature;
    uint8_t Flag = 0;
    uint8_t Version = 0;
    int32_t Count = 0;
};

// The stored header. Offsets are of the 28-byte layout that is written; the 60-byte layout
// of older files is only read (and rewritten as 28 bytes on the first count update).
namespace ATIHeader {
inline constexpr TGUID TypeId = GuidOf("{220C8120-D1CE-11D4-BBEB-00A0D21ABA80}");
inline constexpr std::string_view Signature = "ATI";
inline constexpr uint8_t Version = 1;
inline constexpr uint32_t Size = 28;
inline constexpr uint32_t IdOffset = 0;
inline constexpr uint32_t SignatureOffset = 16;
inline constexpr uint32_t FlagOffset = 21;
inline constexpr uint32_t VersionOffset = 22;
inline constexpr uint32_t CountOffset = 24;
inline constexpr uint32_t LegacySize = 60;
inline constexpr uint32_t LegacySignatureOffset = 0;
inline constexpr uint32_t LegacyFlagOffset = 34;
inline constexpr uint32_t LegacyVersionOffset = 36;
inline constexpr uint32_t LegacyCountOffset = 40;
inline constexpr uint32_t LegacyIdOffset = 44;
} // namespace ATIHeader

struct TCacheAtom {
    std::string Prefix;
    TRef<IVirtualAtom> Node;
};

// Key prefix -> trie node, one entry per (prefix length, last byte), lengths MinLen..MaxLen.
class TCacheVA {
public:
    TCacheVA(int32_t minLen, int32_t maxLen);
    void Clear();
    // The node cached for exactly this prefix, or nil.
    TRef<IVirtualAtom> Lookup(std::string_view prefix);
    void Store(std::string_view prefix, const TRef<IVirtualAtom>& node);

    int32_t MinLen;
    int32_t MaxLen;

private:
    TCacheAtom* Slot(std::string_view prefix);
    std::vector<TCacheAtom> Entries;
    bool Empty = true;
};

class TAtomTreeIndex {
public:
    // Opens the index kept in header (TATIError 1, 2, 3 when it is none). The prefix cache is
    // on only when minLen is not 0.
    TAtomTreeIndex(TRef<IVirtualAtom> header, int32_t minLen, int32_t maxLen);
    ~TAtomTreeIndex();
    TAtomTreeIndex(const TAtomTreeIndex&) = delete;
    TAtomTreeIndex& operator=(const TAtomTreeIndex&) = delete;

    // Makes a fresh header atom through storage (TATIError 5 when nil), returns it in header
    // and opens it.
    static std::unique_ptr<TAtomTreeIndex> CreateNew(IVirtualStorage* storage, TRef<IVirtualAtom>& header,
                                                     int32_t minLen, int32_t maxLen);

    // 0 valid, 1 not this index type, 2 incompatible, 3 no atom.
    static int32_t CheckHeader(IVirtualAtom* atom);
    static TATIHeader ReadHeader(IVirtualAtom* atom);
    // The header in stored bytes, and what CheckHeader would say of them.
    static TATIHeader HeaderOf(std::span<const uint8_t> stored);
    static int32_t HeaderCode(std::span<const uint8_t> stored);

    // Makes key point at atom (replacing any previous value link); leaves the position there.
    void Add(std::string_view key, IVirtualAtom* atom);
    // As Add; a nil atom is replaced by a new value atom holding the key as its text. Returns
    // the value atom linked.
    TRef<IVirtualAtom> AddNew(std::string_view key, IVirtualAtom* atom);
    // The value atom of key opened with access, or nil; positions at the key (or where the
    // walk stopped).
    TRef<IVirtualAtom> Find(std::string_view key, TAccess access);
    // As Find, but only tells whether key has a value; opens no value atom.
    bool Contains(std::string_view key);
    // True when key had a value. Leaves the position at the key after it.
    bool Delete(std::string_view key);
    void Clear();
    int32_t KeyCount();

    // Every key in order with its value atom (opened with access when openValues is set), in one
    // operation; visit must not use this index. Ends past the last key.
    void Walk(bool openValues, TAccess access,
              const TFunctionRef<void(std::string_view key, IVirtualAtom* value)>& visit);

    // As Walk with values opened for reading (or none when readValues is off), but visit gets
    // each value's data instead of an open: nodes and values are read without opens where
    // nothing else has them open. visit must not use this index nor change the trie through
    // another one (the walk then raises a share violation). Ends past the last key.
    // The value's links come along (links[i] is the handle in link i).
    using TValueLinksVisit =
        TFunctionRef<void(std::string_view key, std::span<const uint8_t> value, std::span<const TAtomHandle> links)>;
    void WalkValues(bool readValues, const TValueLinksVisit& visit);

    // Each of keys (in any order, repeats allowed) that the trie holds, with its value's data,
    // in key order; one descent that reads only the nodes on the paths to keys, as WalkValues
    // reads them (and with its rule for visit). Ends on no key.
    void FindValues(const std::vector<std::string>& keys,
                    const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit);
    // FindValues in the trie whose header is the atom at header (opened through maker when it
    // must be opened), with no index object opened over it: for looking a few keys up in each
    // of many tries. Raises TATIError for a header that is none, as opening the index does.
    static void FindValuesAt(IVirtualStorage* maker, TAtomHandle header, const std::vector<std::string>& keys,
                             const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit);

    // Ordered walk around the current position; true when a key was reached.
    bool First();
    bool Next();
    bool Prior();
    bool Last();

    // The key of the position when it is on one (empty otherwise, or on the empty key).
    const std::string& CurrentKey() const;
    TRef<IVirtualAtom> CurrentValue(TAccess access);
    // Whether the last operation left the position on a key (a found key or a step that
    // reached one).
    bool IsPositioned() const { return Positioned; }
    // Changes with every operation that may move the position or change the trie, so a cursor
    // can tell that the position it left is still in place.
    uint64_t GetVersion() const { return Version; }
    // Changes with every change to the trie made through any index object over it.
    uint64_t GetChangeCount() const { return Changes.Get(); }

    const TRef<IVirtualAtom>& GetHeaderAtom() const { return HeaderAtom; }
    const TRef<IVirtualStorage>& GetAtomMaker() const { return AtomMaker; }
    const TRef<IStorageTransaction>& GetTransaction() const { return Transaction; }

private:
    // Leaves the index on no key at its root, nothing raised or cached: a pass starts from there.
    void StartPass();
    class TIdleGuard;
    friend class TIdleGuard;

    // The atom itself when CheckHeader finds it valid; TATIError otherwise.
    static IVirtualAtom* CheckHeaderOrRaise(IVirtualAtom* atom);

    void Idle() noexcept;
    // Drops what this object remembers of the trie's shape when another object changed it.
    void Sync();
    // Tells the other objects over this trie that it changed.
    void Changed();
    const TATIHeader& CurrentHeader();
    void WriteCount(int32_t count);
    TRef<IVirtualAtom> OpenAt(TAtomHandle handle, TAccess access);
    TRef<IVirtualAtom> AddChild(IVirtualAtom* node, std::string& text, uint8_t b);
    TRef<IVirtualAtom> Extend(IVirtualAtom* node, std::string_view key, size_t& pos);
    TRef<IVirtualAtom> NewNode(IVirtualAtom* parent, std::string_view text);
    // The node of key, opened for writing, grown where the trie lacks it.
    TRef<IVirtualAtom> GrowPath(std::string_view key);
    // The reader's lookup of key, started from the prefix cache where it is on.
    bool Lookup(std::string_view key, TAtomHandle& value);
    bool Step(bool forward);
    // Takes the outcome of a walk's step as the position's.
    bool Settle(bool onKey);

    TRef<IVirtualAtom> HeaderAtom;
    TRef<IVirtualStorage> AtomMaker;
    TRef<IStorageTransaction> Transaction;
    TRef<IVirtualAtom> RootNode;
    TAtomHandle RootHandle = 0;
    TCacheVA Cache;
    bool CacheOn;
    TTrieChangeCount Changes;
    uint64_t SeenChanges = 0;
    bool MadeChanges = false;
    // The header as read or written at change count HeaderAt.
    TATIHeader Header;
    uint64_t HeaderAt = 0;
    bool HeaderKnown = false;
    uint64_t Version = 0;
    // The position (and the learnt nodes) live in the reader; this says whether it is on a key.
    std::optional<TTrieReader> Reader;
    bool Positioned = false;
};

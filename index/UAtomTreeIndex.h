// The trie index core: an ordered byte-string -> atom map kept as a character trie of node atoms
// under a header atom, with a remembered position for ordered walks. Internal to the index
// engine; callers use it through TIIndexer (UKVZIndex.h).
#pragma once

#include "index/LearntNodes.h"
#include "index/TrieChangeCount.h"
#include "platform/FunctionRef.h"
#include "storage/AtomCache.h"
#include "storage/Corvane.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct IAtomPeek;
struct TAtomData;

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

// Node atom links and text layout. Text: kind, own character, then child bytes (branch) or
// the compressed edge (chain). The child for the byte at text index i is in link i + 2.
namespace ATINode {
inline constexpr uint32_t HeaderRootLink = 1;
inline constexpr uint32_t ParentLink = 1;
inline constexpr uint32_t ValueLink = 2;
inline constexpr uint32_t FirstChildLink = 4;
inline constexpr char Branch = '-';
inline constexpr char Chain = '+';
inline constexpr size_t KindPos = 0;
inline constexpr size_t OwnPos = 1;
inline constexpr size_t FirstChildPos = 2;
inline constexpr std::string_view EmptyRoot = "- ";
} // namespace ATINode

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

    // The key text stored at the last operation (empty when on no key or on the empty key).
    const std::string& CurrentKey() const { return CurrentKeyText; }
    // Recomputes the key of the current node from the trie.
    std::string KeyText();
    TRef<IVirtualAtom> CurrentValue(TAccess access);
    bool CurrentIsEmpty();
    bool HasCurrentNode() const { return CurrentNode || CurrentHandle; }
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
    class TPeekWalk;
    friend class TPeekWalk;
    static void FindBelow(TPeekWalk& reader, TAtomHandle root, const std::vector<std::string>& keys,
                          const TFunctionRef<void(std::string_view key, std::span<const uint8_t> value)>& visit);

    // The atom itself when CheckHeader finds it valid; TATIError otherwise.
    static IVirtualAtom* CheckHeaderOrRaise(IVirtualAtom* atom);

    void Idle() noexcept;
    // Drops what this object remembers of the trie's shape when another object changed it.
    void Sync();
    // Tells the other objects over this trie that it changed.
    void Changed();
    const TATIHeader& CurrentHeader();
    void WriteCount(int32_t count);
    TRef<IVirtualAtom> OpenChild(IVirtualAtom* node, uint32_t link, TAccess access);
    TRef<IVirtualAtom> OpenParent(IVirtualAtom* node, TAccess access);
    TRef<IVirtualAtom> FindChild(IVirtualAtom* node, const std::string& text, uint8_t b, TAccess access);
    uint32_t ChildLink(IVirtualAtom* node, const std::string& text, uint8_t b);
    TRef<IVirtualAtom> AddChild(IVirtualAtom* node, std::string& text, uint8_t b);
    TRef<IVirtualAtom> Extend(IVirtualAtom* node, std::string_view key, size_t& pos);
    TRef<IVirtualAtom> NewNode(IVirtualAtom* parent, std::string_view text);
    TRef<IVirtualAtom> FindNode(std::string_view key, bool create);
    bool PeekPath(IAtomPeek& peek, std::string_view key, TAtomHandle& value);
    TRef<IAtomPeek> PeekFor(std::string_view key);
    TRef<IVirtualAtom> OpenAt(TAtomHandle handle, TAccess access);
    TAtomHandle HandleOf(IVirtualAtom* atom) const;
    bool IsRoot(IVirtualAtom* atom) const;
    bool Step(bool forward);
    bool StepForward(TRef<IVirtualAtom>& node, std::string& key);
    bool StepBackward(TRef<IVirtualAtom>& node, std::string& key);
    TRef<IVirtualAtom> DescendLast(TRef<IVirtualAtom> node, std::string& key);
    std::string NodeKey(IVirtualAtom* node);
    uint64_t MoveBound() const;
    static void CountMove(uint64_t& left);
    void SetCurrent(TRef<IVirtualAtom> node);
    void SetCurrentAt(TAtomHandle handle);
    bool StepWalkHere();
    bool TakeWalkStep(IAtomPeek* begin);
    const TRef<IVirtualAtom>& Current();
    void SetCurrent(TRef<IVirtualAtom> node, std::vector<TRef<IVirtualAtom>>& path, bool valid);
    TRef<IVirtualAtom> Climb(IVirtualAtom* node);
    void Descend(TRef<IVirtualAtom>& node, uint32_t link);
    // What a lookup learnt of node (its text, the child in link) for later lookups. Ordered
    // walks learn nothing: a page walks a trie once, where learning would only cost.
    void Learn(IVirtualAtom* node, const std::string& text, uint32_t link, IVirtualAtom* child);
    void Learn(TAtomHandle node, std::string_view text, uint32_t link, TAtomHandle child);
    void Forget(IVirtualAtom* node);
    // The deepest node of key's path that the learnt nodes reach (the root when none); consumed
    // counts the bytes taken.
    TAtomHandle LearntPath(std::string_view key, size_t& consumed);
    // The deepest node of key's path that the learnt nodes reach without opening any, opened
    // with access; nil when none beyond the root. pos moves past the bytes consumed.
    TRef<IVirtualAtom> LearntNode(std::string_view key, size_t& pos, TAccess access);

    std::string CurrentKeyText;
    TRef<IVirtualAtom> HeaderAtom;
    TRef<IVirtualStorage> AtomMaker;
    TRef<IAtomPeek> Peeker; // the maker's, where it has one: for handles
    // The walk that First began and forward steps go on with, while the position is where its
    // last step left it and the trie has not changed.
    std::unique_ptr<TPeekWalk> StepWalk;
    TRef<IStorageTransaction> Transaction;
    TCacheVA Cache;
    TRef<IVirtualAtom> CurrentNode;
    // The current node when a lookup left it unopened (CurrentNode is nil then): Current()
    // opens it once a step or a key needs it.
    TAtomHandle CurrentHandle = 0;
    TRef<IVirtualAtom> RootNode;
    bool CacheOn;
    TAtomHandle RootHandle = 0;
    TRef<IVirtualAtom> RaisedCacheNode;
    bool Positioned = false;
    uint64_t Version = 0;
    TTrieChangeCount Changes;
    uint64_t SeenChanges = 0;
    bool MadeChanges = false;
    // The header as read or written at change count HeaderAt.
    TATIHeader Header;
    uint64_t HeaderAt = 0;
    bool HeaderKnown = false;
    // Ancestors of the current node from the root, held at access 0 between calls so ordered
    // steps climb without opening; valid only when the walk that set the position knew them.
    std::vector<TRef<IVirtualAtom>> Ancestors;
    // Ancestors below this index are known to be at access 0 already.
    size_t IdleAncestors = 0;
    bool AncestorsValid = false;
    std::vector<TRef<IVirtualAtom>> FoundPath;
    bool FoundPathValid = false;
    // Nodes decoded by earlier lookups. Dropped whenever the trie changes through another
    // object, a node's entry when this object changes that node.
    TLearntNodes Learnt;
    // The node a lookup reads, kept so that its buffers serve the next lookup.
    TAtomData PathNode;
    // The node's entry, learnt afresh when new or changed; nil when there is no room.
    TLearntNode* LearntEntry(TAtomHandle handle, std::string_view text);
    TGUID StorageID;
};

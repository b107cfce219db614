// Reads for walks that visit many atoms once each: an atom's content without opening it, and
// the handles an open atom's links hold. Internal to the engines; callers find them by Query.
#pragma once

#include "storage/Corvane.h"

#include <cstdint>
#include <span>
#include <vector>

// An atom's content as a peek hands it out: its data, and the handle in each link (Links[i] is
// link i, 0 where none). The caller keeps it and passes it again, so its buffers serve anew.
struct TAtomContent {
    std::vector<uint8_t> Data;
    std::vector<TAtomHandle> Links;
};

// Offered by a storage and by its transactions.
//
// What stands in for the share rule on this path. An open for reading keeps a writer from
// changing the atom while it is held; a peek holds nothing, so here a writer is never refused
// and a reader learns of the change afterwards, if at all. What holds: a peek shows the atom as
// it is at that moment (or declines, when the chain has it open or changed, and the caller
// opens it); a reader that keeps what it peeked (a trie's path, its learnt nodes) compares the
// trie's change count, which every change made through an index object over that trie in this
// process advances: a walk in progress then raises a share violation, a step or a lookup reads
// the path anew, and the learnt nodes are dropped. A change made any other way (a node opened
// and changed directly) advances no count, and a reader may go on with the copies it holds
// until the trie next changes through an index object. No other process writes meanwhile: a
// file open for writing is locked to one process.
struct IAtomPeek : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{6A0F7C2E-35D1-4B8A-9E64-0C2B1D7F5A93}");
    // The data and links (Links[i] is link i) of the atom at handle, as an open for reading here
    // would show them, when nothing in this transaction's chain has the atom open or changed:
    // then no open could conflict or see anything else, and true comes back. Otherwise false,
    // with nothing read: the caller opens the atom. The handle is one a link holds, so one that
    // names no atom raises what following that link raises. Read past the atom cache: the
    // readers keep what they read again soon themselves (the trie's learnt nodes).
    virtual bool PeekLinked(TAtomHandle handle, TAtomContent& into) = 0;
    // A hint that the atoms at handles are peeked soon: a walk gives the links of each node it
    // reads, so that the memory of its children is on its way while it reads the first. False
    // when nothing could be asked for (neither the table's copy nor the file's view holds the
    // entries yet): the caller may leave hints aside for a while.
    virtual bool PrefetchLinked(std::span<const TAtomHandle> handles) noexcept = 0;
    // More atoms than the storage can hold: a walk that reads this many nodes of a tree is
    // going round a damaged one.
    virtual uint64_t AtomCountBound() = 0;
    // The handle in the address of an open atom made by this engine, raising as GetAddress
    // does; 0 for an atom of another kind, whose address the caller asks for itself. A tree
    // compares handles at every step: this asks for no interface and makes no address.
    virtual TAtomHandle HandleOf(IVirtualAtom* atom) = 0;

protected:
    ~IAtomPeek() = default;
};

// Offered by an open atom.
struct IAtomLinks : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{C4E1B0D6-8F2A-4E37-A5D9-71B3E60C2F48}");
    // The handle in link index (0: none), read as GetLink reads it.
    virtual TAtomHandle GetLinkHandle(uint32_t index) = 0;

protected:
    ~IAtomLinks() = default;
};

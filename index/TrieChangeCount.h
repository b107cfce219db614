// The change count of one trie, shared by every index object opened over it in this process,
// so that an object can tell that the trie changed through another one. Not stored in the file.
#pragma once

#include "storage/Corvane.h"

#include <cstdint>
#include <memory>

class TTrieChangeCount {
public:
    // The count of the trie whose header atom is header (found by its storage and handle).
    explicit TTrieChangeCount(IVirtualAtom* header);

    uint64_t Get() const { return *Count; }
    // Called for every change to the trie's keys or nodes.
    void Bump() { ++*Count; }

private:
    std::shared_ptr<uint64_t> Count;
};

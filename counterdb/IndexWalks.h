// How the counter reads its indexes whole: walks over every key (one pass where the index
// offers it, else a cursor's steps), key counts and buffer lookups. Not which index is where
// (RootLinks) nor what the values mean (the tables' units).
#pragma once

#include "index/KVZIndex.h"
#include "platform/FunctionRef.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline std::string_view TextOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool FindBuf(IIndexer* index, std::span<const uint8_t> key, TRef<IVirtualAtom>& atom);

// Every key of index in order with its value's data (none when the key has no value atom).
void WalkValues(IIndexer* index, const IIndexWalk::TValueVisit& visit);
// Every key of index in order.
void WalkKeys(IIndexer* index, const TFunctionRef<void(std::string_view key)>& visit);

// The key count an index keeps, only to reserve room: 0 when it keeps none, an unlikely one or
// one it cannot read (the walk that follows reports what is wrong with the index).
size_t KeyCountHint(IIndexer* index);
// The number of keys, counted by a cursor; -1 when the index gives none.
int32_t CountKeys(IIndexer* index);

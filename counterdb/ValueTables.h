// The two text statistics: tagged values (one text per key) and paired values (a first and a
// second text per key), each counted by how often a text occurs. Not where their indexes hang
// (RootLinks).
#pragma once

#include "index/KVZIndex.h"
#include "platform/StringList.h"

#include <string_view>

// Key's text := value, the key added when missing.
void SetTaggedValue(IIndexer* tags, std::string_view key, std::string_view value);
// One entry per distinct text (ASCII case ignored), its count the number of keys, largest first.
TStringList TaggedValueStats(IIndexer* tags);

// Adds key with the record (first); an existing key is left alone.
void AddPairedValue(IIndexer* pairs, std::string_view key, std::string_view first);
// Key's record := (its first text, second); a missing key is left alone.
void AppendPairedValue(IIndexer* pairs, std::string_view key, std::string_view second);
// Counts the first and the second texts of the records that hold both, as TaggedValueStats.
void PairedValueStats(IIndexer* pairs, TStringList& firstList, TStringList& secondList);

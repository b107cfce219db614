// The hourly tables (B-tree indexes): 24 hour keys, each with its count over all days and a
// table of its count per day, for the site and for each page. Not where the site's table and
// the pages' index hang (RootLinks).
#pragma once

#include "index/KVZIndex.h"
#include "platform/Clock.h"

#include <array>
#include <string_view>

// Fills a new hourly table with its 24 hours, each count 0 and an empty day table made through
// the hour's own storage; factory makes B-tree indexes.
void InitHourTable(IIndexer* table, IIndexerFactory* factory);
// One hit in the hour of date, in the hour's count and in its day table.
void AddHourHit(IIndexer* table, IIndexerFactory* factory, TDateTime date);
// hours[0] := total; hours[h + 1] := the count of hour h where the table has it.
void SumHourBuckets(IIndexer* table, std::array<int32_t, 25>& hours);
// Page node's table in pages (the pages' hourly index); made in maker, keyed and initialised
// when missing and make is set, else nil.
TRef<IIndexer> PageHourTable(IIndexer* pages, IIndexerFactory* factory, IVirtualStorage* maker, std::string_view node,
                             bool make);

// The hosts index (one host record per visitor address) and the skip list (addresses whose
// hits are not counted): lookups, the revisit rule, the lists. Not the totals or per-day
// counts a visit also books (UCounter, PageTables).
#pragma once

#include "counterdb/CounterRecords.h"
#include "index/KVZIndex.h"
#include "platform/StringList.h"

#include <cstdint>
#include <optional>
#include <string_view>

// IP's record, its value atom left open in atom; nothing when IP has none.
std::optional<THostRecord> FindHost(IIndexer* hosts, std::string_view ip, TRef<IVirtualAtom>& atom);
// IP's record read only; nothing when IP is empty or has none.
std::optional<THostRecord> ReadHost(IIndexer* hosts, std::string_view ip);
// A hit at date is a new visit when it comes more than interval minutes after the last one.
bool IsNewVisit(const THostRecord& last, TDateTime date, int32_t interval);
// Books a hit of ip at date: on its record in atom (last as read) when known, else on a new key.
void WriteHostHit(IIndexer* hosts, IVirtualAtom* atom, const std::optional<THostRecord>& last, std::string_view ip,
                  TDateTime date, bool newVisit);

TStringList HostList(IIndexer* hosts, int32_t sortMode);
TStringList HostListHead(IIndexer* hosts, int32_t sortMode, int32_t count, int32_t& total);

// The listed addresses in index order; a list whose first key is empty reads as empty.
TStringList SkipListKeys(IIndexer* skipList);

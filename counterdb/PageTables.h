// The site's pages (the pages index, a page record per name) and the per-day tables of hits
// and hosts: which table a count goes to, the day counts, sums and the page lists. Not the
// cached total of all hits, which is a root link text (UCounter).
#pragma once

#include "counterdb/UCounter.h"
#include "index/KVZIndex.h"
#include "platform/Clock.h"
#include "platform/StringList.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The per-day tables a counter has opened, kept open for its session: the site's two (their
// root links, once made, never change) and the pages' by name, all dropped whenever a page is
// added or deleted.
class TDayTables {
public:
    // The hits table of page node, or of the site when node is empty; made in trans when
    // missing and make is set. Nil when the page is missing (or nodes is), or when the table
    // is and make is off.
    TRef<IIndexer> Hits(IStorageTransaction* trans, IIndexerFactory* factory, IIndexer* nodes, std::string_view node,
                        bool make);
    // The site's hosts table, as Hits.
    TRef<IIndexer> Hosts(IStorageTransaction* trans, IIndexerFactory* factory, bool make);
    void Forget();
    // Drops every table held; the counter does so before it commits.
    void Release();

private:
    TRef<IIndexer> Site(IStorageTransaction* trans, IIndexerFactory* factory, TRef<IIndexer>& held, uint32_t link,
                        bool make);
    TRef<IIndexer> Page(IStorageTransaction* trans, IIndexerFactory* factory, IIndexer* nodes, std::string_view node,
                        bool make);

    TRef<IIndexer> FSiteHits;
    TRef<IIndexer> FSiteHosts;
    std::map<std::string, TRef<IIndexer>, std::less<>> FPages;
};

// +1 on the day of date.
void AddDayCount(IIndexer* table, TDateTime date);
// The count of the day of date, 0 when the day has none. A count that is not a number gives
// 0 when forgiving, else raises.
int32_t DayCount(IIndexer* table, TDateTime date, bool forgiving);
// Sum over the days from date1 to date2, both included, in either order, or over all days.
int32_t SumDays(IIndexer* table, bool all, TDateTime date1, TDateTime date2);
// Sum of the counts of the days first .. last, each looked up.
int32_t SumDaysLookedUp(IIndexer* table, double first, double last);
// The counts of table (nil: none) on the days first .. first + days - 1; a count that is not a
// number gives 0, and so does a failed lookup when forgiving.
std::vector<int32_t> ReadDays(IIndexer* table, int32_t first, int32_t days, bool forgiving);
// Every page in index order with its counts as ReadDays gives them, the pages walked once;
// a page the walk cannot read is asked of hitsByName, and gets zeros when that raises.
std::vector<TPageDays> HitsForDaysOfPages(IIndexer* nodes, int32_t first, int32_t days,
                                          const std::function<std::vector<int32_t>(const std::string&)>& hitsByName);

// A new record (now, 0) for node, replacing the old one and its per-day table; the held
// tables are dropped first.
void AddPage(IIndexer* nodes, TDayTables& tables, std::string_view node);
// One hit on node's record; a missing page is added with count 1, the held tables dropped.
void CountPageHit(IIndexer* nodes, TDayTables& tables, std::string_view node, bool updateDate);
TStringList PageNames(IIndexer* nodes);
TStringList PageList(IIndexer* nodes, int32_t sortMode);

// The pages index and the per-day tables (see PageTables.h).
#include "counterdb/PageTables.h"

#include "counterdb/CounterRecords.h"
#include "counterdb/DateKeys.h"
#include "counterdb/IndexWalks.h"
#include "counterdb/ListGathering.h"
#include "counterdb/RootLinks.h"
#include "platform/StrUtils.h"

#include <algorithm>
#include <exception>

namespace {

// A page's value atom links its per-day table here.
inline constexpr uint32_t NodeDayTableLink = 1;
// Page day tables a session keeps open at most; each held table keeps two atoms open.
inline constexpr size_t HeldPageTables = 4096;

// A visit that puts each day's count in counts (counts[0] is day first).
auto DayCounter(std::vector<int32_t>& counts, int32_t first) {
    return [&counts, first](std::string_view key, std::span<const uint8_t> value) {
        size_t offset = size_t(DayOfKey(AsBytes(key)) - first);
        counts[offset] = StrToIntDef(TextOf(value), 0);
    };
}

// Looks each day up; a failed lookup counts 0 when forgiving, else passes on.
void ProbeDays(IIndexer* table, int32_t first, std::vector<int32_t>& counts, bool forgiving) {
    for (size_t d = 0; d < counts.size(); ++d) {
        std::array<uint8_t, 8> key = DayKey(first + double(d));
        TRef<IVirtualAtom> value;
        try {
            if (table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value))
                counts[d] = StrToIntDef(value->GetText(), 0);
        } catch (const std::exception&) {
            if (!forgiving) throw;
            counts[d] = 0;
        }
    }
}

} // namespace

// ---- the tables a session holds ---------------------------------------------------------------

TRef<IIndexer> TDayTables::Hits(IStorageTransaction* trans, IIndexerFactory* factory, IIndexer* nodes,
                                std::string_view node, bool make) {
    if (node.empty()) return Site(trans, factory, FSiteHits, RootLink::SiteDayHits, make);
    if (!nodes) return nullptr;
    return Page(trans, factory, nodes, node, make);
}

TRef<IIndexer> TDayTables::Hosts(IStorageTransaction* trans, IIndexerFactory* factory, bool make) {
    return Site(trans, factory, FSiteHosts, RootLink::SiteDayHosts, make);
}

TRef<IIndexer> TDayTables::Site(IStorageTransaction* trans, IIndexerFactory* factory, TRef<IIndexer>& held,
                                uint32_t link, bool make) {
    if (held) return held;
    TRef<IVirtualAtom> root = trans->OpenRoot();
    held = OpenRootIndex(root.get(), link, factory, make ? TEmptyLink::Make : TEmptyLink::Nil, trans);
    return held;
}

TRef<IIndexer> TDayTables::Page(IStorageTransaction* trans, IIndexerFactory* factory, IIndexer* nodes,
                                std::string_view node, bool make) {
    if (auto found = FPages.find(node); found != FPages.end() && found->second) return found->second;
    TRef<IVirtualAtom> page;
    if (!nodes->FindKeyAccess(node, make ? AccessDefault : AccessReadOnly, page)) return nullptr;
    TRef<IIndexer> table;
    if (TRef<IVirtualAtom> header = page->OpenLinkAccess(NodeDayTableLink, make ? AccessDefault : AccessReadOnly)) {
        table = factory->OpenIndex(header.get(), "", "");
    } else {
        if (!make) return nullptr;
        TRef<IVirtualAtom> made;
        table = factory->CreateIndex(trans, made, "", "");
        page->SetLink(NodeDayTableLink, made.get());
    }
    if (FPages.size() >= HeldPageTables) Forget();
    FPages.emplace(std::string(node), table);
    return table;
}

void TDayTables::Forget() { FPages.clear(); }

void TDayTables::Release() {
    FSiteHits.reset();
    FSiteHosts.reset();
    Forget();
}

// ---- day counts -------------------------------------------------------------------------------

void AddDayCount(IIndexer* table, TDateTime date) {
    std::array<uint8_t, 8> key = DayKey(date);
    TRef<IVirtualAtom> value;
    if (FindBuf(table, key, value)) {
        value->SetText(IntToStr(Add32(StrToInt(value->GetText()), 1)));
        return;
    }
    value = table->AddKeyBuf(key.data(), int32_t(key.size()));
    value->SetText("1");
}

int32_t DayCount(IIndexer* table, TDateTime date, bool forgiving) {
    std::array<uint8_t, 8> key = DayKey(date);
    TRef<IVirtualAtom> value;
    if (!table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value)) return 0;
    std::string text = value->GetText();
    return forgiving ? StrToIntDef(text, 0) : StrToInt(text);
}

int32_t SumDays(IIndexer* table, bool all, TDateTime date1, TDateTime date2) {
    double from = std::trunc(date1), to = std::trunc(date2);
    if (from > to) std::swap(from, to);
    int32_t sum = 0;
    WalkValues(table, [&](std::string_view key, std::span<const uint8_t> value) {
        if (key.size() != 8) return;
        double day = DayOfKey(AsBytes(key));
        if (!all && !(from <= day && day <= to)) return;
        sum = Add32(sum, StrToInt(TextOf(value)));
    });
    return sum;
}

int32_t SumDaysLookedUp(IIndexer* table, double first, double last) {
    int32_t sum = 0;
    for (double day = first; day <= last; day += 1) sum = Add32(sum, DayCount(table, day, true));
    return sum;
}

// All days looked up in one descent (the keys, raw date bytes, have no useful order, so a walk
// would visit every day the table holds); day by day when that fails or the table offers no
// such lookup.
std::vector<int32_t> ReadDays(IIndexer* table, int32_t first, int32_t days, bool forgiving) {
    std::vector<int32_t> counts(size_t(std::max(days, 0)), 0);
    if (!table || counts.empty()) return counts;
    TRef<IIndexWalk> walk = Query<IIndexWalk>(table);
    if (!walk) {
        ProbeDays(table, first, counts, forgiving);
        return counts;
    }
    try {
        walk->FindValues(DayKeys(first, days), DayCounter(counts, first));
    } catch (const std::exception&) {
        std::fill(counts.begin(), counts.end(), 0);
        ProbeDays(table, first, counts, forgiving);
    }
    return counts;
}

std::vector<TPageDays> HitsForDaysOfPages(IIndexer* nodes, int32_t first, int32_t days,
                                          const std::function<std::vector<int32_t>(const std::string&)>& hitsByName) {
    auto noHits = [&] { return std::vector<int32_t>(size_t(std::max(days, 0)), 0); };
    auto forgivingByName = [&](const std::string& node) {
        try {
            return hitsByName(node);
        } catch (const std::exception&) {
            return noHits();
        }
    };
    auto eachByName = [&] {
        std::vector<TPageDays> pages;
        for (const auto& entry : PageNames(nodes)) pages.push_back(TPageDays{entry.Text, forgivingByName(entry.Text)});
        return pages;
    };
    TRef<IIndexWalk> walk = Query<IIndexWalk>(nodes);
    if (!walk) return eachByName();
    TRef<IVirtualStorage> maker = nodes->GetStorage();
    std::vector<TPageDays> pages;
    try {
        pages.reserve(KeyCountHint(nodes));
        // Each page's day table is read from the handle in the page's link, as ReadDays reads
        // it. The empty name (the site's hits) and a table that cannot be read so are looked
        // up by name after the walk, which the lookups must not interrupt.
        std::vector<size_t> byName;
        // Every page's table is asked for the same days: they are put in order once.
        std::vector<std::string> dayKeys = DayKeys(first, days);
        std::sort(dayKeys.begin(), dayKeys.end());
        walk->WalkValueLinks([&](std::string_view key, std::span<const uint8_t>, std::span<const TAtomHandle> links) {
            TPageDays page{std::string(key), {}};
            bool read = !key.empty();
            if (read) {
                page.Hits = noHits();
                TAtomHandle table = NodeDayTableLink < links.size() ? links[NodeDayTableLink] : 0;
                try {
                    if (table) FindTrieValues(maker.get(), table, dayKeys, DayCounter(page.Hits, first));
                } catch (const std::exception&) {
                    read = false;
                }
            }
            if (!read) byName.push_back(pages.size());
            pages.push_back(std::move(page));
        });
        for (size_t i : byName) pages[i].Hits = forgivingByName(pages[i].Node);
    } catch (const std::exception&) {
        // A page the walk cannot read: every page is looked up on its own instead.
        return eachByName();
    }
    return pages;
}

// ---- pages ------------------------------------------------------------------------------------

void AddPage(IIndexer* nodes, TDayTables& tables, std::string_view node) {
    tables.Forget();
    TRef<IVirtualAtom> page = nodes->AddKey(node);
    WritePageRecord(page.get(), TPageRecord{Now(), 0});
}

void CountPageHit(IIndexer* nodes, TDayTables& tables, std::string_view node, bool updateDate) {
    TRef<IVirtualAtom> page;
    if (nodes->FindKey(node, page)) {
        TPageRecord record = ReadPageRecord(page.get());
        WritePageRecord(page.get(), TPageRecord{updateDate ? Now() : record.Date, Add32(record.Count, 1)});
        return;
    }
    tables.Forget();
    page = nodes->AddKey(node);
    WritePageRecord(page.get(), TPageRecord{Now(), 1});
}

TStringList PageNames(IIndexer* nodes) {
    TStringList list;
    WalkKeys(nodes, [&](std::string_view key) { list.Add(std::string(key)); });
    return list;
}

TStringList PageList(IIndexer* nodes, int32_t sortMode) {
    TListGathering list = TListGathering::OfNames(sortMode, KeyCountHint(nodes));
    WalkValues(nodes, [&](std::string_view key, std::span<const uint8_t> value) {
        TPageRecord record = PageRecordOf(value);
        list.Add(std::string(key), record.Date, record.Count, 0);
    });
    return list.Take();
}

// The orders and counts of the counter's lists (see ListGathering.h).
#include "counterdb/ListGathering.h"

#include <numeric>

TListGathering::TListGathering(int32_t mode, size_t expected) : FMode(std::max(mode, 0)) {
    FList.Reserve(int(std::min<size_t>(expected, INT_MAX)));
    if (FMode == 1) FDates.reserve(expected);
    if (FMode == 2 || FMode == 3) FCounts.reserve(expected);
}

TStringList TListGathering::Take() {
    if (FMode > 0 && FList.Count() > 1) FList.Reorder(Order());
    return std::move(FList);
}

std::vector<uint32_t> TListGathering::Order() const {
    if (FMode == 1) return OrderByDateDescending(FDates);
    if (FMode == 2 || FMode == 3) return OrderByCountDescending(FCounts);
    // By address, equal addresses in their order.
    const std::vector<TStringList::TEntry>& entries = FList.Entries();
    std::vector<uint32_t> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return entries[a].Text < entries[b].Text; });
    return order;
}

TStringList THostListHead::Take() {
    std::sort_heap(FRows.begin(), FRows.end(), [this](const TRow& a, const TRow& b) { return Before(a, b); });
    TStringList list;
    list.Reserve(int(FRows.size()));
    for (TRow& row : FRows) {
        THostRecord& record = row.Record;
        auto object = std::make_unique<TCObject>(record.Hits, record.Date, record.Visits);
        list.AddObject(std::move(record.Address), std::move(object));
    }
    return list;
}

void CountText(TStringList& list, const std::string& text) {
    int index = list.IndexOf(text);
    if (index < 0)
        list.AddInteger(text, 1);
    else
        list.SetInteger(index, Add32(list.Integers(index), 1));
}

void SortByCount(TStringList& list) {
    list.CustomSort([](const TStringList::TEntry& a, const TStringList::TEntry& b) {
        return a.Integer > b.Integer ? -1 : (a.Integer < b.Integer ? 1 : 0);
    });
}

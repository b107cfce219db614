// The host, page and referrer lists as ICounter hands them out: rows gathered in index order
// and put in the order a sort mode asks for, the first rows of a host list chosen during the
// walk, and the counted texts of the value statistics. Not the walks that feed them.
#pragma once

#include "counterdb/CounterRecords.h"
#include "counterdb/RowOrder.h"
#include "platform/StringList.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A list gathered in index order, entries and their TCObjects made as they come, and beside
// them the one number its order needs. Pages and referrers put their count in hits.
class TListGathering {
public:
    // Host lists: 1 date, 2 hits, 3 visits, other positive modes the address, all but the
    // address descending; 0 or below: as gathered.
    static TListGathering OfHosts(int32_t mode, size_t expected) { return TListGathering(mode, expected); }
    // Pages and referrers: 1 date, 2 count; their other modes ask for the name, which is the
    // index order they are gathered in.
    static TListGathering OfNames(int32_t mode, size_t expected) {
        return TListGathering(mode > 2 ? 0 : mode, expected);
    }

    // Called once per row of a long list: kept where the compiler can fold it into the walk.
    void Add(std::string text, TDateTime date, int32_t hits, int32_t visits) {
        switch (FMode) {
        case 1: FDates.push_back(date); break;
        case 2: FCounts.push_back(hits); break;
        case 3: FCounts.push_back(visits); break;
        default: break;
        }
        FList.AddObject(std::move(text), std::make_unique<TCObject>(hits, date, visits));
    }

    TStringList Take();

private:
    TListGathering(int32_t mode, size_t expected);
    std::vector<uint32_t> Order() const;

    int32_t FMode;
    TStringList FList;
    std::vector<TDateTime> FDates;
    std::vector<int32_t> FCounts;
};

// The first rows of a host list in the order TListGathering gives it, chosen as the walk goes:
// a heap of at most limit rows, the last of them on top.
class THostListHead {
public:
    THostListHead(int32_t mode, size_t limit) : FMode(std::max(mode, 0)), FLimit(limit) {}

    // Most rows of a long list fall behind the head: they are judged before anything is copied.
    void Add(const THostFields& fields) {
        uint64_t key = KeyOf(fields);
        size_t position = FSeen++;
        auto before = [this](const TRow& a, const TRow& b) { return Before(a, b); };
        if (FRows.size() < FLimit) {
            FRows.push_back(RowOf(key, position, fields));
            std::push_heap(FRows.begin(), FRows.end(), before);
        } else if (FLimit > 0 && Before(key, fields.Address, position, FRows.front())) {
            std::pop_heap(FRows.begin(), FRows.end(), before);
            FRows.back() = RowOf(key, position, fields);
            std::push_heap(FRows.begin(), FRows.end(), before);
        }
    }

    size_t Seen() const { return FSeen; }

    TStringList Take();

private:
    struct TRow {
        uint64_t Key;
        size_t Position;
        THostRecord Record;
    };

    static TRow RowOf(uint64_t key, size_t position, const THostFields& fields) {
        return {key, position, {std::string(fields.Address), fields.Date, fields.Hits, fields.Visits}};
    }
    // The number a row goes by; 0 where its place is kept (mode 0) or the address decides.
    uint64_t KeyOf(const THostFields& fields) const {
        switch (FMode) {
        case 1: return DateKeyDescending(fields.Date);
        case 2: return CountKeyDescending(fields.Hits);
        case 3: return CountKeyDescending(fields.Visits);
        default: return 0;
        }
    }
    // Modes above 3 order by address, equal addresses in their order.
    bool Before(uint64_t key, std::string_view address, size_t position, const TRow& b) const {
        if (FMode > 3 && address != b.Record.Address) return address < b.Record.Address;
        return key != b.Key ? key < b.Key : position < b.Position;
    }
    bool Before(const TRow& a, const TRow& b) const { return Before(a.Key, a.Record.Address, a.Position, b); }

    int32_t FMode;
    size_t FLimit;
    size_t FSeen = 0;
    std::vector<TRow> FRows;
};

// Counts text in list, matching entries ignoring ASCII case; the count is the entry's integer.
void CountText(TStringList& list, const std::string& text);
// Largest count first; equal counts in no defined order.
void SortByCount(TStringList& list);

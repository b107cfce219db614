// TOstraCounter: the counter database over the storage and index engines. It creates and opens
// the database file, keeps one transaction for its whole life and lays the counter data out
// under the numbered links of the root atom. Not a cache: every operation reads the file anew.
#include "counterdb/UCounter.h"
#include "counterdb/RowOrder.h"

#include "index/KVZIndex.h"
#include "platform/Bitmap.h"
#include "platform/ByteOrder.h"
#include "platform/FileUtils.h"
#include "platform/OsFile.h"
#include "platform/Report.h"
#include "platform/StrUtils.h"
#include "platform/TypedStream.h"
#include "storage/Corvane.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>

namespace {

// What each link of the root atom holds. Links 16-19 and 21-29 are unused.
namespace RootLink {
inline constexpr uint32_t TotalHosts = 0;
inline constexpr uint32_t Password = 1;
inline constexpr uint32_t Skins = 2;
inline constexpr uint32_t Hosts = 3;
inline constexpr uint32_t Interval = 4;
inline constexpr uint32_t SkipList = 5;
inline constexpr uint32_t HomePage = 6;
inline constexpr uint32_t Nodes = 7;
inline constexpr uint32_t TotalHits = 8;
inline constexpr uint32_t TaggedValues = 9;
inline constexpr uint32_t SiteDayHits = 10;
inline constexpr uint32_t SiteDayHosts = 11;
inline constexpr uint32_t SiteName = 12;
inline constexpr uint32_t Referers = 13;
inline constexpr uint32_t ExtraText = 14;
inline constexpr uint32_t PairedValues = 15;
inline constexpr uint32_t OptionFlag = 20;
inline constexpr uint32_t SiteHours = 30;
inline constexpr uint32_t PageHours = 31;
} // namespace RootLink

// A page's value atom links its per-day table here.
inline constexpr uint32_t NodeDayTableLink = 1;
// Page day tables a session keeps open at most.
inline constexpr size_t HeldPageTables = 4096;
// A skin atom links its information record here (links 0-9 are the digits).
inline constexpr uint32_t SkinInfoLink = 11;
// An hour's value atom links its per-day table here.
inline constexpr uint32_t HourDayTableLink = 0;
inline constexpr int HoursPerDay = 24;

inline constexpr int32_t DefaultInterval = 720;
inline constexpr const char* DefaultPassword = "vakto";
inline constexpr const char* DefaultHomePage = "/default.htm";
inline constexpr const char* DefaultSiteName = "Your Site";
inline constexpr const char* UnknownReferer = "Unknown";
inline constexpr int32_t DefaultSkinColour = 13611961; // 0xCFB3B9

// The referrer record: last referral date (double) and count (i32), little-endian.
inline constexpr size_t RefererDateOffset = 0;
inline constexpr size_t RefererCountOffset = 8;
inline constexpr size_t RefererRecordSize = 12;

// The skin information record: layout, three texts, colour.
inline constexpr size_t SkinInfoTextsOffset = TSkinLayout::ByteSize;
inline constexpr size_t SkinInfoColourOffset = SkinInfoTextsOffset + TSkinInfo::ByteSize;
inline constexpr size_t SkinInfoRecordSize = SkinInfoColourOffset + 4;

inline constexpr int64_t MillisecondsPerDay = 86400000;
inline constexpr int64_t MillisecondsPerMinute = 60000;
inline constexpr int64_t MillisecondsPerHour = 3600000;

// Counts are 32-bit in the records; they wrap instead of overflowing.
int32_t Add32(int32_t a, int64_t b) { return int32_t(uint32_t(a) + uint32_t(uint64_t(b))); }

std::string ClassParams(const char* mode) {
    return std::string("Mode:") + mode + "; Class:" + CounterDataClass.ToString();
}

// ---- byte helpers -------------------------------------------------------------------------

std::array<uint8_t, 4> Int32Bytes(int32_t value) {
    std::array<uint8_t, 4> bytes;
    PutLE32(bytes, 0, uint32_t(value));
    return bytes;
}

int32_t ReadInt32At(IVirtualAtom* atom, uint32_t offset) {
    std::array<uint8_t, 4> bytes{};
    atom->Read(offset, bytes);
    return int32_t(GetLE32(bytes, 0));
}

void WriteInt32At(IVirtualAtom* atom, uint32_t offset, int32_t value) { atom->Write(offset, Int32Bytes(value)); }

// ---- dates ----------------------------------------------------------------------------------

// The per-day key: the 8 raw bytes of the date cut to whole days. Raw double bytes do not sort
// by date, so every reader walks or probes by value.
std::array<uint8_t, 8> DayKey(TDateTime date) {
    std::array<uint8_t, 8> key;
    // + 0.0 turns the -0.0 of a truncated (-1, 0) date into the key of day 0.
    PutLE64(key, 0, std::bit_cast<uint64_t>(std::trunc(date) + 0.0));
    return key;
}

double DayOfKey(std::span<const uint8_t> key) { return std::bit_cast<double>(GetLE64(key, 0)); }

// Dates come from callers; one that no calendar holds (not finite, or beyond the integer
// range) is pinned to the nearest representable value instead of converting undefined.
int64_t ClampedRound(double value, double limit) {
    if (std::isnan(value)) return 0;
    return int64_t(std::llround(std::clamp(value, -limit, limit)));
}

// Whole milliseconds of a date, so that interval and hour boundaries are exact.
int64_t DateMilliseconds(TDateTime date) { return ClampedRound(date * double(MillisecondsPerDay), 9.0e18); }

// Hour 0..23 of the time of day, computed in whole milliseconds.
int HourOfDate(TDateTime date) {
    double fraction = std::isfinite(date) ? std::fabs(date - std::trunc(date)) : 0.0;
    int64_t ms = std::llround(fraction * double(MillisecondsPerDay));
    if (ms >= MillisecondsPerDay) ms = MillisecondsPerDay - 1;
    return int(ms / MillisecondsPerHour);
}

int32_t WholeDays(TDateTime date) { return int32_t(ClampedRound(std::trunc(date), 2147483647.0)); }

// ---- records --------------------------------------------------------------------------------

struct THostRecord {
    std::string Address;
    TDateTime Date = 0;
    int32_t Hits = 0;
    int32_t Visits = 0;
};

// A host record read where its bytes lie, the address not copied.
struct THostFields {
    std::string_view Address;
    TDateTime Date = 0;
    int32_t Hits = 0;
    int32_t Visits = 0;
};

THostFields HostFieldsOf(std::span<const uint8_t> bytes) {
    TReader reader(bytes);
    THostFields fields;
    fields.Address = reader.ReadStringView();
    fields.Date = reader.ReadDate();
    fields.Hits = reader.ReadInteger();
    fields.Visits = reader.ReadInteger();
    return fields;
}

THostRecord HostRecordOf(std::span<const uint8_t> bytes) {
    THostFields fields = HostFieldsOf(bytes);
    return {std::string(fields.Address), fields.Date, fields.Hits, fields.Visits};
}

// Host records are short: one read into a buffer on the stack serves all but very long
// addresses, which are read again whole.
THostRecord ReadHostRecord(IVirtualAtom* atom) {
    std::array<uint8_t, 64> buffer;
    std::span<const uint8_t> bytes(buffer.data(), atom->Read(0, buffer));
    TByteArray whole;
    if (bytes.size() == buffer.size()) {
        whole = atom->GetBytes();
        bytes = whole;
    }
    return HostRecordOf(bytes);
}

// Written from offset 0 without truncating: counts only grow, so the record never shrinks.
void WriteHostRecord(IVirtualAtom* atom, const THostRecord& record) {
    TWriter writer;
    writer.WriteString(record.Address);
    writer.WriteDate(record.Date);
    writer.WriteInteger(record.Hits);
    writer.WriteInteger(record.Visits);
    atom->Write(0, writer.Bytes());
}

struct TPageRecord {
    TDateTime Date = 0;
    int32_t Count = 0;
};

TPageRecord PageRecordOf(std::span<const uint8_t> bytes) {
    TReader reader(bytes);
    TPageRecord record;
    record.Date = reader.ReadDate();
    record.Count = reader.ReadInteger();
    return record;
}

TPageRecord ReadPageRecord(IVirtualAtom* atom) { return PageRecordOf(atom->GetBytes()); }

void WritePageRecord(IVirtualAtom* atom, const TPageRecord& record) {
    TWriter writer;
    writer.WriteDate(record.Date);
    writer.WriteInteger(record.Count);
    atom->Write(0, writer.Bytes());
}

// ---- referrer host keys ---------------------------------------------------------------------

// Upper case; only the scheme "HTTP://" is dropped (so every https referrer shares the key
// "HTTPS:"), then everything from the first "/", then a leading "WWW.".
std::string NormalizeRefererURL(std::string_view referer) {
    std::string text = UpperCase(referer);
    if (text.size() > 6 && text.compare(0, 7, "HTTP://") == 0) text.erase(0, 7);
    if (size_t slash = text.find('/'); slash != std::string::npos) text.erase(slash);
    if (text.compare(0, 4, "WWW.") == 0) text.erase(0, 4);
    return text;
}

std::string CleanRefererHost(std::string text) {
    while (!text.empty()) {
        if (text.front() == '.') text.erase(0, 1);
        if (!text.empty() && text.back() == '.') text.pop_back();
        text = Trim(text);
        if (text.empty() || (text.front() != '.' && text.back() != '.')) break;
    }
    if (text.empty() || text.find('"') != std::string::npos) return UnknownReferer;
    return text;
}

std::string RefererHostKey(std::string_view referer) {
    if (referer.empty()) return UnknownReferer;
    return CleanRefererHost(NormalizeRefererURL(referer));
}

// ---- sorting --------------------------------------------------------------------------------

int CompareCountsDescending(int32_t a, int32_t b) { return a > b ? -1 : (a < b ? 1 : 0); }

// A host, page or referrer list gathered in index order, entries and their TCObjects made as
// they come, and beside them the one number its order needs. Pages and referrers put their
// count in hits.
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

    void Add(std::string text, TDateTime date, int32_t hits, int32_t visits) {
        switch (FMode) {
        case 1: FDates.push_back(date); break;
        case 2: FCounts.push_back(hits); break;
        case 3: FCounts.push_back(visits); break;
        default: break;
        }
        FList.AddObject(std::move(text), std::make_unique<TCObject>(hits, date, visits));
    }

    TStringList Take() {
        if (FMode > 0 && FList.Count() > 1) FList.Reorder(Order());
        return std::move(FList);
    }

private:
    TListGathering(int32_t mode, size_t expected) : FMode(std::max(mode, 0)) {
        FList.Reserve(int(std::min<size_t>(expected, INT_MAX)));
        if (FMode == 1) FDates.reserve(expected);
        if (FMode == 2 || FMode == 3) FCounts.reserve(expected);
    }

    std::vector<uint32_t> Order() const {
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

    TStringList Take() {
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

void SortByCount(TStringList& list) {
    list.CustomSort([](const TStringList::TEntry& a, const TStringList::TEntry& b) {
        return CompareCountsDescending(a.Integer, b.Integer);
    });
}

// Counts Text in List, matching entries ignoring ASCII case.
void CountText(TStringList& list, const std::string& text) {
    int index = list.IndexOf(text);
    if (index < 0)
        list.AddInteger(text, 1);
    else
        list.SetInteger(index, Add32(list.Integers(index), 1));
}

std::array<uint8_t, SkinInfoRecordSize> SkinInfoRecord(const TSkinLayout& header, const TSkinInfo& texts,
                                                       int32_t colour) {
    std::array<uint8_t, SkinInfoRecordSize> record{};
    auto headerBytes = header.Bytes();
    std::memcpy(&record[0], headerBytes.data(), headerBytes.size());
    std::memcpy(&record[SkinInfoTextsOffset], texts.Bytes.data(), TSkinInfo::ByteSize);
    PutLE32(record, SkinInfoColourOffset, uint32_t(colour));
    return record;
}

// ---- default skin ---------------------------------------------------------------------------

TSkinInfo SkinTexts(std::string_view url, std::string_view author, std::string_view name) {
    TSkinInfo info;
    info.SetURL(url);
    info.SetAuthor(author);
    info.SetName(name);
    return info;
}

TSkinLayout DefaultSkinLayout() { return TSkinLayout{}; }
TSkinInfo DefaultSkinTexts() { return SkinTexts("http://", "Unknown author", "Noname"); }

// The record of skin 0 of a new database, for the drawn and for the given images.
inline constexpr const char* MakerURL = "http://kestrow.invalid/";
inline constexpr const char* MakerName = "Kestrow";

TSkinLayout DrawnSkinLayout() { return TSkinLayout{2, 6, 25, 0, 0, 3, 25, 150}; }
TSkinLayout GivenSkinLayout() { return TSkinLayout{2, 6, 8, 0, 0, 3, 0, 81}; }

std::vector<uint8_t> DrawnImage(int width, int height, int x, int y, std::string_view text) {
    TBitmap bitmap(width, height, pf24bit);
    bitmap.BrushColor = clBlack;
    bitmap.FontColor = clWhite;
    bitmap.FillRect(TRect{0, 0, width, height});
    bitmap.TextOut(x, y, text);
    return bitmap.SaveToBMP();
}

std::vector<uint8_t> DrawnSkinImage(int index) {
    if (index == 0) return DrawnImage(150, 25, 5, 5, "Ostra-based Web Counter");
    return DrawnImage(15, 25, 3, 6, std::to_string(index - 1));
}

// A given image is read as a BMP file and written again in the same format.
std::vector<uint8_t> GivenSkinImage(TStream& stream) {
    TBitmap bitmap;
    bitmap.LoadFromBMP(stream.ReadAll());
    return bitmap.SaveToBMP();
}

// ---- index helpers --------------------------------------------------------------------------

// What OpenRootIndex does when the link is empty.
enum class TEmptyLink {
    Nil,   // gives nil: the index is made by the first write that needs it
    Raise, // raises what the factory raises for no header atom: the file must hold this index
    Make,  // makes and links a new index (MakeRootIndex)
};

// Run on a new index once it is linked, before it is handed out (the hour tables' 24 keys).
using TIndexInit = std::function<void(IIndexer*)>;

// A new empty index made through maker (the transaction, or a storage for what is made beside
// it), linked at root's link in place of whatever hung there, then handed to init.
TRef<IIndexer> MakeRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, IVirtualStorage* maker,
                             const TIndexInit& init = nullptr) {
    TRef<IVirtualAtom> header;
    TRef<IIndexer> index = factory->CreateIndex(maker, header, "", "");
    root->SetLink(link, header.get());
    if (init) init(index.get());
    return index;
}

// The index whose header atom hangs at root's link, opened through factory: the one way to an
// index at a root link. maker and init serve TEmptyLink::Make only.
TRef<IIndexer> OpenRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, TEmptyLink empty,
                             IVirtualStorage* maker = nullptr, const TIndexInit& init = nullptr) {
    TRef<IVirtualAtom> header = root->OpenLink(link);
    if (header || empty == TEmptyLink::Raise) return factory->OpenIndex(header.get(), "", "");
    if (empty == TEmptyLink::Nil) return nullptr;
    return MakeRootIndex(root, link, factory, maker, init);
}

int32_t StrToIntOfAtom(IVirtualAtom* atom) { return StrToInt(atom->GetText()); }

// Value text of an atom + 1, in decimal.
void IncrementTextCount(IVirtualAtom* atom) { atom->SetText(IntToStr(Add32(StrToIntOfAtom(atom), 1))); }

bool FindBuf(IIndexer* index, std::span<const uint8_t> key, TRef<IVirtualAtom>& atom) {
    return index->FindKeyBuf(key.data(), int32_t(key.size()), atom);
}

// Every key of Index in order, with its value atom opened read-only (nil when values is off):
// one pass where the index offers it, else a cursor's steps.
void WalkIndex(IIndexer* index, const IIndexWalk::TVisit& visit, bool values = true) {
    if (TRef<IIndexWalk> walk = Query<IIndexWalk>(index)) {
        walk->WalkKeys(values, AccessReadOnly, visit);
        return;
    }
    TRef<IIndexerCursor> cursor = index->GetCursor();
    if (!cursor) return;
    for (bool more = cursor->First(); more; more = cursor->Next()) {
        TRef<IVirtualAtom> value = values ? cursor->GetAtomAccess(AccessReadOnly) : nullptr;
        visit(cursor->GetKey(), value.get());
    }
    cursor->Close();
}

// Every key of index in order with its value's data (none when the key has no value atom): one
// pass that opens next to nothing where the index offers it, else WalkIndex's.
void WalkValues(IIndexer* index, const IIndexWalk::TValueVisit& visit) {
    if (TRef<IIndexWalk> walk = Query<IIndexWalk>(index)) {
        walk->WalkValues(visit);
        return;
    }
    WalkIndex(index, [&](std::string_view key, IVirtualAtom* value) {
        TByteArray bytes = value ? value->GetBytes() : TByteArray();
        visit(key, bytes);
    });
}

// Every key of index in order.
void WalkKeys(IIndexer* index, const TFunctionRef<void(std::string_view key)>& visit) {
    auto keyOnly = [&](std::string_view key, IVirtualAtom*) { visit(key); };
    WalkIndex(index, keyOnly, false);
}

std::string_view TextOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The key count an index keeps, only to reserve room: 0 when it keeps none, an unlikely one or
// one it cannot read (the walk that follows reports what is wrong with the index).
size_t KeyCountHint(IIndexer* index) {
    TRef<IIndexWalk> walk = Query<IIndexWalk>(index);
    if (!walk) return 0;
    try {
        int32_t count = walk->GetKeyCount();
        return count > 0 && count <= (1 << 20) ? size_t(count) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

int32_t CountKeys(IIndexer* index) {
    TRef<IIndexerCursor> cursor = index->GetCursor();
    int32_t count = cursor->GetCount();
    cursor->Close();
    return count;
}

// Sum of a per-day table over the days From..To (both included, either order), or all days.
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

// The keys of the days first .. first + days - 1.
std::vector<std::string> DayKeys(int32_t first, int32_t days) {
    std::vector<std::string> keys;
    keys.reserve(size_t(std::max(days, 0)));
    for (int32_t d = 0; d < days; ++d) {
        std::array<uint8_t, 8> key = DayKey(first + double(d));
        keys.emplace_back(reinterpret_cast<const char*>(key.data()), key.size());
    }
    return keys;
}

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

// The counts of table on the days first .. first + days - 1, all days looked up in one descent
// (the keys, raw date bytes, have no useful order, so a walk would visit every day the table
// holds); day by day when that fails or the table offers no such lookup.
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

// Restores an atom's access bits when the scope ends, also on failure.
class TAccessGuard {
public:
    TAccessGuard(IVirtualAtom* atom, TAccess raised) : FAtom(atom), FSaved(atom->GetAccess()) {
        atom->SetAccess(raised);
    }
    ~TAccessGuard() {
        try {
            FAtom->SetAccess(FSaved);
        } catch (const std::exception& e) {
            ReportWarning(e.what(), "Counter");
        }
    }
    TAccessGuard(const TAccessGuard&) = delete;
    TAccessGuard& operator=(const TAccessGuard&) = delete;

private:
    IVirtualAtom* FAtom;
    TAccess FSaved;
};

} // namespace

// ---- skin records -----------------------------------------------------------------------------

std::array<uint8_t, TSkinLayout::ByteSize> TSkinLayout::Bytes() const {
    std::array<uint8_t, ByteSize> b{};
    b[0] = Align;
    PutLE32(b, 1, uint32_t(Digits));
    PutLE32(b, 5, uint32_t(DigitHeight));
    PutLE32(b, 9, uint32_t(X));
    b[13] = Overlay;
    PutLE32(b, 14, uint32_t(Spacing));
    PutLE32(b, 18, uint32_t(Y));
    PutLE32(b, 22, uint32_t(StripWidth));
    return b;
}

TSkinLayout TSkinLayout::FromBytes(std::span<const uint8_t> b) {
    if (b.size() < ByteSize) throw EReadError("Skin layout record is too short");
    TSkinLayout layout;
    layout.Align = b[0];
    layout.Digits = int32_t(GetLE32(b, 1));
    layout.DigitHeight = int32_t(GetLE32(b, 5));
    layout.X = int32_t(GetLE32(b, 9));
    layout.Overlay = b[13];
    layout.Spacing = int32_t(GetLE32(b, 14));
    layout.Y = int32_t(GetLE32(b, 18));
    layout.StripWidth = int32_t(GetLE32(b, 22));
    return layout;
}

TSkinInfo TSkinInfo::FromBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < ByteSize) throw EReadError("Skin information block is too short");
    TSkinInfo info;
    std::memcpy(info.Bytes.data(), bytes.data(), ByteSize);
    return info;
}

std::string TSkinInfo::Field(size_t offset) const {
    size_t length = Bytes[offset];
    return std::string(reinterpret_cast<const char*>(&Bytes[offset + 1]), length);
}

void TSkinInfo::SetField(size_t offset, std::string_view text) {
    size_t length = std::min<size_t>(text.size(), FieldSize - 1);
    Bytes[offset] = uint8_t(length);
    std::memcpy(&Bytes[offset + 1], text.data(), length);
}

// ---- the counter object ---------------------------------------------------------------------

class TOstraCounter final : public TUnknown, public ICounter, public IHostListHead {
public:
    TOstraCounter(const std::string& fileName, const TSkinStreams& images);
    ~TOstraCounter() override;

    // Releases the held atoms and indexes in a fixed order, then commits. Raises when the
    // commit fails; the counter is closed afterwards either way.
    void Finish();

    int32_t GetTotalHosts() override;
    void GetSkinImages(int32_t Index, TSkinImages& Images) override;
    TStringList GetSkipList() override;
    TStringList GetHostList(int32_t SortMode) override;
    // IHostListHead
    TStringList GetHostListHead(int32_t SortMode, int32_t Count, int32_t& Total) override;
    std::string GetPassword() override;
    bool HostExists(std::string_view IP) override;
    void AddSkipIP(std::string_view IP) override;
    void RegisterVisit(std::string_view IP, std::string_view Referer, TDateTime Date, bool CountReferer, bool CheckSkip,
                       bool Reserved) override;
    void SetTotalHosts(int32_t Value) override;
    bool AddSkin(const TSkinStreams& Images) override;
    void DeleteSkin(int32_t Index) override;
    void DeleteHost(std::string_view IP) override;
    void DeleteSkipIP(std::string_view IP) override;
    void ClearHosts() override;
    void ClearSkipList() override;
    void ClearSkins() override;
    TStringList GetSkinNames() override;
    void SetPassword(std::string_view Text) override;
    bool IsSkinComplete(int32_t Index) override;
    int32_t GetHostCount() override;
    int32_t GetSkinCount() override;
    int32_t GetSkipCount() override;
    int32_t GetHostHits(std::string_view IP) override;
    int32_t GetHostVisits(std::string_view IP) override;
    void SetInterval(int32_t Minutes) override;
    int32_t GetInterval() override;
    std::string GetHomePageURL() override;
    void SetHomePageURL(std::string_view URL) override;
    void RegisterNodeHit(std::string_view IP, std::string_view Node, bool UpdateDate) override;
    void AddNode(std::string_view Node) override;
    void DeleteNode(std::string_view Node) override;
    TStringList GetNodeList(int32_t SortMode) override;
    int32_t GetHitsByDate(std::string_view Node, TDateTime Date) override;
    int32_t GetHostsByDate(TDateTime Date) override;
    std::vector<int32_t> GetHitsForDays(std::string_view Node, int32_t First, int32_t Days) override;
    std::vector<int32_t> GetHostsForDays(int32_t First, int32_t Days) override;
    std::vector<TPageDays> GetHitsForDaysOfPages(int32_t First, int32_t Days) override;
    int32_t GetHitsForPeriod(std::string_view Node, bool All, TDateTime Date1, TDateTime Date2) override;
    int32_t GetHostsForPeriod(bool All, TDateTime Date1, TDateTime Date2) override;
    TStringList GetNodeNames() override;
    void AddHitByDate(std::string_view IP, std::string_view Node, TDateTime Date) override;
    void AddHostByDate(std::string_view IP, TDateTime Date) override;
    void SetSiteName(std::string_view Name) override;
    std::string GetSiteName() override;
    void GetSkinInfo(int32_t Index, TSkinInfo& Texts, int32_t& Colour, TSkinLayout& Header) override;
    void SetSkinInfo(int32_t Index, const TSkinLayout& Header, const TSkinInfo& Texts, int32_t Colour,
                     IVirtualAtom* List) override;
    int32_t GetTotalHits() override;
    TDateTime GetCreationDate() override;
    bool GetOptionFlag() override;
    int32_t GetReservedValue() override { return 0; }
    void GetStorageID(TGUID& ID) override;
    void SetOptionFlag(bool Value) override;
    void RegisterReferer(std::string_view Referer, TDateTime Date) override;
    TStringList GetRefererList(int32_t SortMode) override;
    bool ClearReferers() override;
    void SetExtraText(std::string_view Text) override;
    std::string GetExtraText() override;
    int32_t GetRefererCount() override;
    void DeleteReferer(std::string_view Host) override;
    void SetTaggedValue(std::string_view Key, std::string_view Value) override;
    void AddPairedValue(std::string_view Key, std::string_view First) override;
    void AppendPairedValue(std::string_view Key, std::string_view Second) override;
    void GetPairedValueStats(TStringList& FirstList, TStringList& SecondList) override;
    TStringList GetTaggedValueStats() override;
    void ClearTaggedValues() override;
    void ClearPairedValues() override;
    void RegisterHourlyHit(std::string_view IP, std::string_view Node, TDateTime Date) override;
    void GetHourlyHits(std::array<int32_t, 25>& Hours, std::string_view Node) override;

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    void OpenDatabase(const std::string& fileName);
    void CreateDatabase(const std::string& fileName, const TSkinStreams& images);
    void CreateDefaultSkin(IVirtualStorage* storage, IVirtualAtom* skins, const TSkinStreams& images);
    void ReleaseHeld();

    void CheckOpen() const;
    TRef<IVirtualAtom> OpenRoot();
    // Root link text, or nothing when the link is empty.
    std::optional<std::string> RootText(uint32_t link);
    // Root link text := Text; the atom is made in the transaction when missing.
    void SetRootText(uint32_t link, std::string_view text);
    // The tagged or paired values' index; opening made it, so an empty link raises.
    TRef<IIndexer> ValueIndex(uint32_t link);

    bool IsSkipped(std::string_view ip);
    // The per-day table of page Node (the site's hits when empty); nullptr when missing and
    // Make is false.
    TRef<IIndexer> DayTable(std::string_view node, bool make);
    TRef<IIndexer> SiteDayTable(uint32_t link, bool make);
    void AddDayCount(IIndexer* table, TDateTime date);
    void SetTotalHits(int32_t value);
    int32_t CountHitsSinceCreation();

    TRef<IVirtualAtom> OpenSkin(IVirtualAtom* list, int32_t index, TAccess access);
    void WriteSkinInfo(IVirtualAtom* list, int32_t index, const TSkinLayout& header, const TSkinInfo& texts,
                       int32_t colour);
    void CopySkinImages(int32_t index, TSkinImages& images);
    bool CopyCompleteSkin(int32_t index, TSkinImages& images);

    void InitHourTable(IIndexer* table);
    void AddHourHit(IIndexer* table, TDateTime date);
    void SumHourBuckets(IIndexer* table, std::array<int32_t, 25>& hours);
    TRef<IIndexer> PageHourTable(IIndexer* pages, std::string_view node, bool make);

    // Both stateless; made once for the counter's life.
    TRef<IIndexerFactory> TrieFactory = NewTrieIndexFactory();
    TRef<IIndexerFactory> BTreeFactory = NewBTreeIndexFactory();

    TRef<IStorageTransaction> Trans;
    TRef<IVirtualAtom> Skins;
    TRef<IVirtualAtom> PasswordAtom;
    TRef<IVirtualAtom> TotalHostsAtom;
    // The total hits atom, opened at its first use and held: every page hit reads and writes it.
    TRef<IVirtualAtom> TotalHitsAtom;
    TRef<IIndexer> Hosts;
    TRef<IIndexer> SkipList;
    TRef<IIndexer> Nodes;
    TRef<IIndexer> Referers;
    int32_t Interval = DefaultInterval;
    // Day tables kept open for the session: the site's two (their root links, once made, never
    // change) and the pages' by name, all dropped whenever a page is added or deleted.
    TRef<IIndexer> SiteHitsTable;
    TRef<IIndexer> SiteHostsTable;
    std::map<std::string, TRef<IIndexer>, std::less<>> PageTables;
    void ForgetPageTable();
    TRef<IIndexer> HeldPageTable(std::string_view node) const;
};

void* TOstraCounter::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<ICounter, IHostListHead>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

// ---- opening, creation, lifetime --------------------------------------------------------------

namespace {
// The revisit interval stored under the root; the default when it cannot be read for any
// reason (missing or broken link, damaged atom, not a number).
int32_t ReadInterval(IVirtualAtom* root) {
    try {
        if (TRef<IVirtualAtom> interval = root->OpenLinkAccess(RootLink::Interval, AccessReadOnly))
            return StrToIntDef(interval->GetText(), DefaultInterval);
    } catch (const EKVZError&) {}
    return DefaultInterval;
}
} // namespace

TOstraCounter::TOstraCounter(const std::string& fileName, const TSkinStreams& images) {
    if (!FileExists(fileName)) {
        // Built under a scratch name, durable, then renamed into place and the folder synced, so
        // that a crash half-way leaves no file that would never open; a file that appeared
        // meanwhile wins.
        std::string scratch = ScratchNameBeside(fileName);
        try {
            CreateDatabase(scratch, images);
            if (!OsFileLayer().RenameNoReplace(scratch, fileName)) DeleteFileName(scratch);
            OsFileLayer().SyncFolderOf(fileName);
        } catch (const EOSError& error) {
            DeleteFileName(scratch);
            throw EKVZError(OstraCode::OpenFailed,
                            "Cannot create counter database \"" + fileName + "\": " + error.what());
        } catch (...) {
            DeleteFileName(scratch);
            throw;
        }
        if (!FileExists(fileName))
            throw EKVZError(OstraCode::OpenFailed, "Cannot create counter database \"" + fileName + "\"");
    }
    OpenDatabase(fileName);
}

void TOstraCounter::OpenDatabase(const std::string& fileName) {
    try {
        TRef<IVirtualStorage> storage = CreateStorage(fileName, ClassParams("Open"));
        Trans = storage->StartTransaction();
        storage.reset();
        TRef<IVirtualAtom> root = Trans->OpenRoot();
        IIndexerFactory* trie = TrieFactory.get();
        Hosts = OpenRootIndex(root.get(), RootLink::Hosts, trie, TEmptyLink::Raise);
        SkipList = OpenRootIndex(root.get(), RootLink::SkipList, trie, TEmptyLink::Make, Trans.get());
        TotalHostsAtom = root->OpenLink(RootLink::TotalHosts);
        Skins = root->OpenLinkAccess(RootLink::Skins, AccessReadOnly);
        PasswordAtom = root->OpenLink(RootLink::Password);
        Interval = ReadInterval(root.get());
        // Made when missing, but not opened: they are read only by their own operations.
        for (uint32_t link : {RootLink::TaggedValues, RootLink::PairedValues})
            if (!root->HasLink(link)) MakeRootIndex(root.get(), link, trie, Trans.get());
        Nodes = OpenRootIndex(root.get(), RootLink::Nodes, trie, TEmptyLink::Make, Trans.get());
        // Made beside the transaction, in the storage the root belongs to.
        Referers = OpenRootIndex(root.get(), RootLink::Referers, trie, TEmptyLink::Make, root->GetStorage().get());
    } catch (...) {
        ReleaseHeld();
        if (TRef<IStorageTransaction> trans = std::move(Trans)) {
            try {
                trans->Abort();
            } catch (...) {
                // Releasing the transaction aborts it as well.
            }
        }
        throw;
    }
}

namespace {

// Text atoms of a new file hang straight under the root, outside any transaction.
void LinkNewText(IVirtualStorage* storage, IVirtualAtom* root, uint32_t link, std::string_view text) {
    TRef<IVirtualAtom> atom = storage->NewAtom();
    atom->SetText(text);
    root->SetLink(link, atom.get());
}

} // namespace

void TOstraCounter::CreateDatabase(const std::string& fileName, const TSkinStreams& images) {
    TRef<IVirtualStorage> storage = CreateStorage(fileName, ClassParams("CREATE"));
    if (!storage) return;
    TRef<IVirtualAtom> root = storage->OpenRoot();
    MakeRootIndex(root.get(), RootLink::Hosts, TrieFactory.get(), storage.get());
    LinkNewText(storage.get(), root.get(), RootLink::TotalHosts, "0");
    {
        TRef<IVirtualAtom> skins = storage->NewAtom();
        root->SetLink(RootLink::Skins, skins.get());
        CreateDefaultSkin(storage.get(), skins.get(), images);
    }
    LinkNewText(storage.get(), root.get(), RootLink::Password, DefaultPassword);
    LinkNewText(storage.get(), root.get(), RootLink::Interval, IntToStr(DefaultInterval));
    MakeRootIndex(root.get(), RootLink::SkipList, TrieFactory.get(), storage.get());
    root.reset();
    storage->Flush(); // raises what the commit at release could only report
}

// Skin 0: the given images re-encoded as BMP, or drawn ones when none are given.
void TOstraCounter::CreateDefaultSkin(IVirtualStorage* storage, IVirtualAtom* skins, const TSkinStreams& images) {
    bool drawn = images[0] == nullptr;
    std::array<std::vector<uint8_t>, SkinImageCount> pictures;
    for (int i = 0; i < SkinImageCount; ++i) {
        if (drawn)
            pictures[size_t(i)] = DrawnSkinImage(i);
        else if (!images[size_t(i)])
            throw EReadError("Default skin image " + std::to_string(i) + " is missing");
        else
            pictures[size_t(i)] = GivenSkinImage(*images[size_t(i)]);
    }
    {
        TRef<IVirtualAtom> skin = storage->NewAtom();
        skins->SetLink(0, skin.get());
        skin->SetBytes(pictures[0]);
        for (uint32_t digit = 0; digit < 10; ++digit) {
            TRef<IVirtualAtom> image = storage->NewAtom();
            image->SetBytes(pictures[digit + 1]);
            skin->SetLink(digit, image.get());
        }
    }
    if (drawn)
        WriteSkinInfo(skins, 0, DrawnSkinLayout(), SkinTexts(MakerURL, MakerName, "DEfaULt"), 0);
    else
        WriteSkinInfo(skins, 0, GivenSkinLayout(), SkinTexts(MakerURL, MakerName, "Default Kestrow Skin"),
                      DefaultSkinColour);
}

void TOstraCounter::ReleaseHeld() {
    Skins.reset();
    TotalHostsAtom.reset();
    TotalHitsAtom.reset();
    PasswordAtom.reset();
    Hosts.reset();
    SkipList.reset();
    Nodes.reset();
    Referers.reset();
    SiteHitsTable.reset();
    SiteHostsTable.reset();
    ForgetPageTable();
}

void TOstraCounter::ForgetPageTable() { PageTables.clear(); }

TRef<IIndexer> TOstraCounter::HeldPageTable(std::string_view node) const {
    auto found = PageTables.find(node);
    return found == PageTables.end() ? nullptr : found->second;
}

void TOstraCounter::Finish() {
    // Commit needs every atom of the transaction closed: ours go first, in a fixed order.
    ReleaseHeld();
    if (TRef<IStorageTransaction> trans = std::move(Trans)) trans->Commit();
}

TOstraCounter::~TOstraCounter() {
    try {
        Finish();
    } catch (const std::exception& e) {
        ReportWarning(std::string("changes lost, commit failed: ") + e.what(), "Counter");
    } catch (...) {
        ReportWarning("changes lost, commit failed", "Counter");
    }
}

void TOstraCounter::CheckOpen() const {
    if (!Trans) throw EKVZError(OstraCode::TransactionState, "Counter database is closed");
}

TRef<IVirtualAtom> TOstraCounter::OpenRoot() {
    CheckOpen();
    return Trans->OpenRoot();
}

std::optional<std::string> TOstraCounter::RootText(uint32_t link) {
    TRef<IVirtualAtom> root = OpenRoot();
    TRef<IVirtualAtom> atom = root->OpenLinkAccess(link, AccessReadOnly);
    if (!atom) return std::nullopt;
    return atom->GetText();
}

void TOstraCounter::SetRootText(uint32_t link, std::string_view text) {
    TRef<IVirtualAtom> root = OpenRoot();
    if (TRef<IVirtualAtom> atom = root->OpenLink(link)) {
        atom->SetText(text);
        return;
    }
    TRef<IVirtualAtom> atom = Trans->NewAtom();
    atom->SetText(text);
    root->SetLink(link, atom.get());
}

TRef<IIndexer> TOstraCounter::ValueIndex(uint32_t link) {
    TRef<IVirtualAtom> root = OpenRoot();
    return OpenRootIndex(root.get(), link, TrieFactory.get(), TEmptyLink::Raise);
}

bool TOstraCounter::IsSkipped(std::string_view ip) { return SkipList && SkipList->KeyExists(ip); }

// ---- visits, hosts, skip list -----------------------------------------------------------------

void TOstraCounter::RegisterVisit(std::string_view IP, std::string_view Referer, TDateTime Date, bool CountReferer,
                                  bool CheckSkip, bool /*Reserved*/) {
    CheckOpen();
    if (IP.empty()) return;
    if (CheckSkip && IsSkipped(IP)) return;

    // Everything that can refuse the hit is read before anything is written.
    TRef<IVirtualAtom> hostAtom;
    bool known = Hosts->FindKey(IP, hostAtom);
    THostRecord record;
    bool newVisit = true;
    if (known) {
        record = ReadHostRecord(hostAtom.get());
        int64_t limit = DateMilliseconds(record.Date) + int64_t(Interval) * MillisecondsPerMinute;
        newVisit = DateMilliseconds(Date) > limit;
    }
    std::optional<int32_t> totalHosts;
    if (newVisit) {
        if (!TotalHostsAtom) throw EConvertError("'' is not a valid integer value");
        totalHosts = StrToInt(TotalHostsAtom->GetText());
    }

    if (CountReferer) {
        hostAtom.reset();
        RegisterReferer(Referer, Date);
        if (known) Hosts->FindKey(IP, hostAtom);
    }
    if (known) {
        record = THostRecord{std::string(IP), Date, Add32(record.Hits, 1),
                             newVisit ? Add32(record.Visits, 1) : record.Visits};
        WriteHostRecord(hostAtom.get(), record);
    } else {
        hostAtom = Hosts->AddKey(IP);
        WriteHostRecord(hostAtom.get(), THostRecord{std::string(IP), Date, 1, 1});
    }
    hostAtom.reset();
    if (!newVisit) return;
    TotalHostsAtom->SetText(IntToStr(Add32(*totalHosts, 1)));
    AddHostByDate(IP, Date);
}

bool TOstraCounter::HostExists(std::string_view IP) {
    CheckOpen();
    return Hosts->KeyExists(IP);
}

int32_t TOstraCounter::GetHostHits(std::string_view IP) {
    CheckOpen();
    TRef<IVirtualAtom> atom;
    if (IP.empty() || !Hosts->FindKeyAccess(IP, AccessReadOnly, atom)) return 0;
    return ReadHostRecord(atom.get()).Hits;
}

int32_t TOstraCounter::GetHostVisits(std::string_view IP) {
    CheckOpen();
    TRef<IVirtualAtom> atom;
    if (IP.empty() || !Hosts->FindKeyAccess(IP, AccessReadOnly, atom)) return 0;
    return ReadHostRecord(atom.get()).Visits;
}

int32_t TOstraCounter::GetHostCount() {
    CheckOpen();
    return CountKeys(Hosts.get());
}

TStringList TOstraCounter::GetHostList(int32_t SortMode) {
    CheckOpen();
    TListGathering list = TListGathering::OfHosts(SortMode, KeyCountHint(Hosts.get()));
    WalkValues(Hosts.get(), [&](std::string_view, std::span<const uint8_t> value) {
        THostRecord record = HostRecordOf(value);
        list.Add(std::move(record.Address), record.Date, record.Hits, record.Visits);
    });
    return list.Take();
}

TStringList TOstraCounter::GetHostListHead(int32_t SortMode, int32_t Count, int32_t& Total) {
    CheckOpen();
    THostListHead head(SortMode, size_t(std::max(Count, 0)));
    WalkValues(Hosts.get(), [&](std::string_view, std::span<const uint8_t> value) { head.Add(HostFieldsOf(value)); });
    Total = int32_t(std::min<size_t>(head.Seen(), INT32_MAX));
    return head.Take();
}

void TOstraCounter::DeleteHost(std::string_view IP) {
    CheckOpen();
    if (!IP.empty()) Hosts->DeleteKey(IP);
}

void TOstraCounter::ClearHosts() {
    CheckOpen();
    Hosts->Clear();
}

int32_t TOstraCounter::GetTotalHosts() {
    CheckOpen();
    if (!TotalHostsAtom) return -1;
    return StrToIntDef(TotalHostsAtom->GetText(), -1);
}

void TOstraCounter::SetTotalHosts(int32_t Value) {
    CheckOpen();
    if (!TotalHostsAtom) {
        SetRootText(RootLink::TotalHosts, IntToStr(Value));
        TotalHostsAtom = OpenRoot()->OpenLink(RootLink::TotalHosts);
        return;
    }
    TotalHostsAtom->SetText(IntToStr(Value));
}

void TOstraCounter::AddSkipIP(std::string_view IP) {
    CheckOpen();
    if (IP.empty() || SkipList->KeyExists(IP)) return;
    SkipList->AddKey(IP);
}

void TOstraCounter::DeleteSkipIP(std::string_view IP) {
    CheckOpen();
    if (!IP.empty()) SkipList->DeleteKey(IP);
}

void TOstraCounter::ClearSkipList() {
    CheckOpen();
    SkipList->Clear();
}

TStringList TOstraCounter::GetSkipList() {
    CheckOpen();
    TStringList list;
    WalkKeys(SkipList.get(), [&](std::string_view key) { list.Add(std::string(key)); });
    // A list whose first key is the empty one reads as empty.
    if (!list.Empty() && list[0].empty()) return TStringList();
    return list;
}

int32_t TOstraCounter::GetSkipCount() {
    CheckOpen();
    return CountKeys(SkipList.get());
}

// ---- pages, per-day tables, totals ------------------------------------------------------------

TRef<IIndexer> TOstraCounter::SiteDayTable(uint32_t link, bool make) {
    TRef<IIndexer>* held = link == RootLink::SiteDayHits    ? &SiteHitsTable
                           : link == RootLink::SiteDayHosts ? &SiteHostsTable
                                                            : nullptr;
    if (held && *held) return *held;
    TRef<IVirtualAtom> root = OpenRoot();
    TRef<IIndexer> table =
        OpenRootIndex(root.get(), link, TrieFactory.get(), make ? TEmptyLink::Make : TEmptyLink::Nil, Trans.get());
    if (held) *held = table;
    return table;
}

TRef<IIndexer> TOstraCounter::DayTable(std::string_view node, bool make) {
    if (node.empty()) return SiteDayTable(RootLink::SiteDayHits, make);
    if (!Nodes) return nullptr;
    if (TRef<IIndexer> held = HeldPageTable(node)) return held;
    TRef<IVirtualAtom> page;
    if (!Nodes->FindKeyAccess(node, make ? AccessDefault : AccessReadOnly, page)) return nullptr;
    TRef<IIndexer> table;
    if (TRef<IVirtualAtom> header = page->OpenLinkAccess(NodeDayTableLink, make ? AccessDefault : AccessReadOnly)) {
        table = TrieFactory->OpenIndex(header.get(), "", "");
    } else {
        if (!make) return nullptr;
        TRef<IVirtualAtom> made;
        table = TrieFactory->CreateIndex(Trans.get(), made, "", "");
        page->SetLink(NodeDayTableLink, made.get());
    }
    // Bounded: each held table keeps two atoms open.
    if (PageTables.size() >= HeldPageTables) ForgetPageTable();
    PageTables.emplace(std::string(node), table);
    return table;
}

void TOstraCounter::AddDayCount(IIndexer* table, TDateTime date) {
    std::array<uint8_t, 8> key = DayKey(date);
    TRef<IVirtualAtom> value;
    if (FindBuf(table, key, value)) {
        IncrementTextCount(value.get());
        return;
    }
    value = table->AddKeyBuf(key.data(), int32_t(key.size()));
    value->SetText("1");
}

void TOstraCounter::AddHitByDate(std::string_view IP, std::string_view Node, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    TRef<IIndexer> table = DayTable(Node, true);
    if (!table && !Node.empty()) {
        AddNode(Node);
        table = DayTable(Node, true);
    }
    AddDayCount(table.get(), Date);
}

void TOstraCounter::AddHostByDate(std::string_view IP, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    TRef<IIndexer> table = SiteDayTable(RootLink::SiteDayHosts, true);
    AddDayCount(table.get(), Date);
}

int32_t TOstraCounter::GetHitsByDate(std::string_view Node, TDateTime Date) {
    CheckOpen();
    TRef<IIndexer> table = DayTable(Node, false);
    if (!table) return 0;
    std::array<uint8_t, 8> key = DayKey(Date);
    TRef<IVirtualAtom> value;
    if (!table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value)) return 0;
    std::string text = value->GetText();
    // The site's tables forgive a damaged count; a page's raises.
    return Node.empty() ? StrToIntDef(text, 0) : StrToInt(text);
}

int32_t TOstraCounter::GetHostsByDate(TDateTime Date) {
    CheckOpen();
    TRef<IIndexer> table = SiteDayTable(RootLink::SiteDayHosts, false);
    if (!table) return 0;
    std::array<uint8_t, 8> key = DayKey(Date);
    TRef<IVirtualAtom> value;
    if (!table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value)) return 0;
    return StrToIntDef(value->GetText(), 0);
}

std::vector<int32_t> TOstraCounter::GetHitsForDays(std::string_view Node, int32_t First, int32_t Days) {
    CheckOpen();
    TRef<IIndexer> table = DayTable(Node, false);
    return ReadDays(table.get(), First, Days, true);
}

std::vector<TPageDays> TOstraCounter::GetHitsForDaysOfPages(int32_t First, int32_t Days) {
    CheckOpen();
    auto noHits = [&] { return std::vector<int32_t>(size_t(std::max(Days, 0)), 0); };
    auto hitsByName = [&](const std::string& node) {
        try {
            return GetHitsForDays(node, First, Days);
        } catch (const std::exception&) {
            return noHits();
        }
    };
    auto eachByName = [&] {
        std::vector<TPageDays> pages;
        for (const auto& entry : GetNodeNames()) pages.push_back(TPageDays{entry.Text, hitsByName(entry.Text)});
        return pages;
    };
    TRef<IIndexWalk> walk = Query<IIndexWalk>(Nodes.get());
    if (!walk) return eachByName();
    TRef<IVirtualStorage> maker = Nodes->GetStorage();
    std::vector<TPageDays> pages;
    try {
        pages.reserve(KeyCountHint(Nodes.get()));
        // Each page's day table is read from the handle in the page's link, as GetHitsForDays
        // reads it. The empty name (the site's hits) and a table that cannot be read so are
        // looked up by name after the walk, which the lookups must not interrupt.
        std::vector<size_t> byName;
        // Every page's table is asked for the same days: they are put in order once.
        std::vector<std::string> days = DayKeys(First, Days);
        std::sort(days.begin(), days.end());
        walk->WalkValueLinks([&](std::string_view key, std::span<const uint8_t>, std::span<const TAtomHandle> links) {
            TPageDays page{std::string(key), {}};
            bool read = !key.empty();
            if (read) {
                page.Hits = noHits();
                TAtomHandle table = NodeDayTableLink < links.size() ? links[NodeDayTableLink] : 0;
                try {
                    if (table) FindTrieValues(maker.get(), table, days, DayCounter(page.Hits, First));
                } catch (const std::exception&) {
                    read = false;
                }
            }
            if (!read) byName.push_back(pages.size());
            pages.push_back(std::move(page));
        });
        for (size_t i : byName) pages[i].Hits = hitsByName(pages[i].Node);
    } catch (const std::exception&) {
        // A page the walk cannot read: every page is looked up on its own instead.
        return eachByName();
    }
    return pages;
}

std::vector<int32_t> TOstraCounter::GetHostsForDays(int32_t First, int32_t Days) {
    CheckOpen();
    TRef<IIndexer> table = SiteDayTable(RootLink::SiteDayHosts, false);
    return ReadDays(table.get(), First, Days, false);
}

int32_t TOstraCounter::GetHitsForPeriod(std::string_view Node, bool All, TDateTime Date1, TDateTime Date2) {
    CheckOpen();
    TRef<IIndexer> table = DayTable(Node, false);
    if (!table) return 0;
    return SumDays(table.get(), All, Date1, Date2);
}

int32_t TOstraCounter::GetHostsForPeriod(bool All, TDateTime Date1, TDateTime Date2) {
    CheckOpen();
    TRef<IIndexer> table = SiteDayTable(RootLink::SiteDayHosts, false);
    if (!table) return 0;
    return SumDays(table.get(), All, Date1, Date2);
}

void TOstraCounter::AddNode(std::string_view Node) {
    CheckOpen();
    ForgetPageTable();
    TRef<IVirtualAtom> page = Nodes->AddKey(Node);
    WritePageRecord(page.get(), TPageRecord{Now(), 0});
}

void TOstraCounter::DeleteNode(std::string_view Node) {
    CheckOpen();
    ForgetPageTable();
    if (Nodes) Nodes->DeleteKey(Node);
}

TStringList TOstraCounter::GetNodeNames() {
    CheckOpen();
    TStringList list;
    WalkKeys(Nodes.get(), [&](std::string_view key) { list.Add(std::string(key)); });
    return list;
}

TStringList TOstraCounter::GetNodeList(int32_t SortMode) {
    CheckOpen();
    TListGathering list = TListGathering::OfNames(SortMode, KeyCountHint(Nodes.get()));
    WalkValues(Nodes.get(), [&](std::string_view key, std::span<const uint8_t> value) {
        TPageRecord record = PageRecordOf(value);
        list.Add(std::string(key), record.Date, record.Count, 0);
    });
    return list.Take();
}

void TOstraCounter::RegisterNodeHit(std::string_view IP, std::string_view Node, bool UpdateDate) {
    CheckOpen();
    if (!Nodes) return;
    int32_t total = GetTotalHits();
    if (Node.empty()) {
        // An empty name is the site itself: it counts, but never becomes a page of its own.
        if (!IsSkipped(IP)) SetTotalHits(Add32(total, 1));
        return;
    }
    {
        TRef<IVirtualAtom> page;
        if (Nodes->FindKey(Node, page)) {
            TPageRecord record = ReadPageRecord(page.get());
            WritePageRecord(page.get(), TPageRecord{UpdateDate ? Now() : record.Date, Add32(record.Count, 1)});
        } else {
            ForgetPageTable();
            page = Nodes->AddKey(Node);
            WritePageRecord(page.get(), TPageRecord{Now(), 1});
        }
    }
    SetTotalHits(Add32(total, 1));
}

void TOstraCounter::SetTotalHits(int32_t value) {
    if (TotalHitsAtom) {
        TotalHitsAtom->SetText(IntToStr(value));
        return;
    }
    SetRootText(RootLink::TotalHits, IntToStr(value));
    TotalHitsAtom = OpenRoot()->OpenLink(RootLink::TotalHits);
}

int32_t TOstraCounter::CountHitsSinceCreation() {
    double first = std::trunc(GetCreationDate());
    double last = std::trunc(Now());
    TRef<IIndexer> table = SiteDayTable(RootLink::SiteDayHits, false);
    if (!table) return 0;
    int32_t sum = 0;
    for (double day = first; day <= last; day += 1) {
        std::array<uint8_t, 8> key = DayKey(day);
        TRef<IVirtualAtom> value;
        if (table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value))
            sum = Add32(sum, StrToIntDef(value->GetText(), 0));
    }
    return sum;
}

int32_t TOstraCounter::GetTotalHits() {
    CheckOpen();
    if (!TotalHitsAtom) TotalHitsAtom = OpenRoot()->OpenLink(RootLink::TotalHits);
    if (TotalHitsAtom) return StrToInt(TotalHitsAtom->GetText());
    int32_t total = CountHitsSinceCreation();
    SetTotalHits(total);
    return total;
}

TDateTime TOstraCounter::GetCreationDate() {
    CheckOpen();
    TRef<IStorageInfo> info = Query<IStorageInfo>(Trans);
    if (!info) throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
    return info->GetCreated();
}

void TOstraCounter::GetStorageID(TGUID& ID) {
    ID = TGUID{};
    CheckOpen();
    ID = Trans->GetStorageID();
}

// ---- referring sites ----------------------------------------------------------------------

void TOstraCounter::RegisterReferer(std::string_view Referer, TDateTime Date) {
    CheckOpen();
    std::string key = RefererHostKey(Referer);
    if (!Referers) return;
    TRef<IVirtualAtom> value;
    int32_t count = 0;
    if (Referers->FindKey(key, value)) {
        std::array<uint8_t, RefererRecordSize> record{};
        value->Read(0, record);
        count = int32_t(GetLE32(record, RefererCountOffset));
    } else {
        value = Referers->AddKey(key);
    }
    std::array<uint8_t, RefererRecordSize> record{};
    PutLE64(record, RefererDateOffset, std::bit_cast<uint64_t>(Date));
    PutLE32(record, RefererCountOffset, uint32_t(Add32(count, 1)));
    value->Write(0, record);
}

TStringList TOstraCounter::GetRefererList(int32_t SortMode) {
    CheckOpen();
    if (!Referers) return TStringList();
    TListGathering list = TListGathering::OfNames(SortMode, KeyCountHint(Referers.get()));
    WalkValues(Referers.get(), [&](std::string_view key, std::span<const uint8_t> record) {
        if (record.size() < RefererRecordSize) return;
        TDateTime date = std::bit_cast<double>(GetLE64(record, RefererDateOffset));
        int32_t count = int32_t(GetLE32(record, RefererCountOffset));
        list.Add(std::string(key), date, count, 0);
    });
    return list.Take();
}

bool TOstraCounter::ClearReferers() {
    CheckOpen();
    if (!Referers) return false;
    try {
        Referers->Clear();
        return true;
    } catch (...) {
        return false;
    }
}

int32_t TOstraCounter::GetRefererCount() {
    CheckOpen();
    if (!Referers) return -1;
    TRef<IIndexerCursor> cursor = Referers->GetCursor();
    if (!cursor) return -1;
    int32_t count = cursor->GetCount();
    cursor->Close();
    return count;
}

void TOstraCounter::DeleteReferer(std::string_view Host) {
    CheckOpen();
    if (Referers) Referers->DeleteKey(Host);
}

// ---- skins --------------------------------------------------------------------------------

TRef<IVirtualAtom> TOstraCounter::OpenSkin(IVirtualAtom* list, int32_t index, TAccess access) {
    // Indexes outside the slots read as empty slots.
    if (!list || index < 0 || uint32_t(index) >= list->GetLinkCount()) return nullptr;
    return list->OpenLinkAccess(uint32_t(index), access);
}

int32_t TOstraCounter::GetSkinCount() {
    CheckOpen();
    return Skins ? int32_t(Skins->GetLinkCount()) : 0;
}

TStringList TOstraCounter::GetSkinNames() {
    CheckOpen();
    TStringList list;
    int32_t count = GetSkinCount();
    for (int32_t i = 0; i < count; ++i)
        list.Add(Skins->HasLink(uint32_t(i)) ? "Assigned image # " + std::to_string(i) : "UnAssigned");
    return list;
}

bool TOstraCounter::AddSkin(const TSkinStreams& Images) {
    CheckOpen();
    if (!Skins) throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
    // Every stream is read before anything is linked, so a missing one adds nothing.
    std::array<std::vector<uint8_t>, SkinImageCount> pictures;
    for (int i = 0; i < SkinImageCount; ++i) {
        if (!Images[size_t(i)]) throw EReadError("Skin image " + std::to_string(i) + " is missing");
        pictures[size_t(i)] = Images[size_t(i)]->ReadAll();
    }
    TAccessGuard guard(Skins.get(), AccessDefault);
    TRef<IVirtualAtom> skin = Trans->NewAtom();
    skin->SetBytes(pictures[0]);
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = Trans->NewAtom();
        image->SetBytes(pictures[digit + 1]);
        skin->SetLink(digit, image.get());
    }
    Skins->SetLink(Skins->GetLinkCount(), skin.get());
    return true;
}

void TOstraCounter::DeleteSkin(int32_t Index) {
    CheckOpen();
    // Slot 0 stays; indexes outside the slots must not grow the list.
    if (!Skins || Index <= 0 || uint32_t(Index) >= Skins->GetLinkCount()) return;
    TAccessGuard guard(Skins.get(), AccessDefault);
    Skins->SetLink(uint32_t(Index), nullptr);
}

void TOstraCounter::ClearSkins() {
    CheckOpen();
    if (!Skins) return;
    TAccessGuard guard(Skins.get(), AccessDefault);
    Skins->SetLinkCount(1);
}

bool TOstraCounter::IsSkinComplete(int32_t Index) {
    CheckOpen();
    TRef<IVirtualAtom> skin = OpenSkin(Skins.get(), Index, AccessReadOnly);
    if (!skin || skin->GetDataSize() == 0) return false;
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly);
        if (!image || image->GetDataSize() == 0) return false;
    }
    return true;
}

void TOstraCounter::CopySkinImages(int32_t index, TSkinImages& images) {
    TRef<IVirtualAtom> skin = OpenSkin(Skins.get(), index, AccessReadOnly);
    for (int i = 0; i < SkinImageCount; ++i) images[size_t(i)] = std::make_unique<TMemoryStream>();
    if (!skin) return;
    images[0] = std::make_unique<TMemoryStream>(skin->GetBytes());
    for (uint32_t digit = 0; digit < 10; ++digit)
        if (TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly))
            images[digit + 1] = std::make_unique<TMemoryStream>(image->GetBytes());
}

// The images of a complete skin, each read once, testing them in IsSkinComplete's order; false
// (and Images untouched) at the first one missing or empty.
bool TOstraCounter::CopyCompleteSkin(int32_t index, TSkinImages& images) {
    TRef<IVirtualAtom> skin = OpenSkin(Skins.get(), index, AccessReadOnly);
    if (!skin || skin->GetDataSize() == 0) return false;
    TSkinImages copies;
    copies[0] = std::make_unique<TMemoryStream>(skin->GetBytes());
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly);
        if (!image || image->GetDataSize() == 0) return false;
        copies[digit + 1] = std::make_unique<TMemoryStream>(image->GetBytes());
    }
    images = std::move(copies);
    return true;
}

void TOstraCounter::GetSkinImages(int32_t Index, TSkinImages& Images) {
    CheckOpen();
    // A damaged skin 0 gives empty streams for what it lacks.
    if (!CopyCompleteSkin(Index, Images)) CopySkinImages(0, Images);
}

void TOstraCounter::GetSkinInfo(int32_t Index, TSkinInfo& Texts, int32_t& Colour, TSkinLayout& Header) {
    CheckOpen();
    TRef<IVirtualAtom> skin = OpenSkin(Skins.get(), Index, AccessReadOnly);
    if (!skin) return;
    Texts = DefaultSkinTexts();
    Colour = DefaultSkinColour;
    if (TRef<IVirtualAtom> info = skin->OpenLinkAccess(SkinInfoLink, AccessReadOnly)) {
        TByteArray bytes = info->GetBytes();
        std::span<const uint8_t> record(bytes);
        if (record.size() >= TSkinLayout::ByteSize) Header = TSkinLayout::FromBytes(record);
        if (record.size() >= SkinInfoColourOffset) Texts = TSkinInfo::FromBytes(record.subspan(SkinInfoTextsOffset));
        if (record.size() >= SkinInfoRecordSize) Colour = int32_t(GetLE32(record, SkinInfoColourOffset));
        return;
    }
    // A skin without a record gets the default one, stored beside the transaction.
    skin->SetAccess(AccessAll);
    TRef<IVirtualAtom> info = skin->GetStorage()->NewAtomAccess(AccessAll);
    info->Write(0, SkinInfoRecord(DefaultSkinLayout(), Texts, Colour));
    skin->SetLink(SkinInfoLink, info.get());
    Header = DefaultSkinLayout();
}

void TOstraCounter::WriteSkinInfo(IVirtualAtom* list, int32_t index, const TSkinLayout& header, const TSkinInfo& texts,
                                  int32_t colour) {
    TRef<IVirtualAtom> skin = OpenSkin(list, index, AccessReadOnly);
    if (!skin) return;
    TAccessGuard guard(skin.get(), AccessAll);
    TRef<IVirtualAtom> info = skin->OpenLink(SkinInfoLink);
    if (!info) {
        info = skin->GetStorage()->NewAtom();
        skin->SetLink(SkinInfoLink, info.get());
    }
    info->SetDataSize(0);
    info->Write(0, SkinInfoRecord(header, texts, colour));
}

void TOstraCounter::SetSkinInfo(int32_t Index, const TSkinLayout& Header, const TSkinInfo& Texts, int32_t Colour,
                                IVirtualAtom* List) {
    CheckOpen();
    WriteSkinInfo(Skins ? Skins.get() : List, Index, Header, Texts, Colour);
}

// ---- settings -------------------------------------------------------------------------------

std::string TOstraCounter::GetPassword() {
    CheckOpen();
    return PasswordAtom ? PasswordAtom->GetText() : std::string();
}

void TOstraCounter::SetPassword(std::string_view Text) {
    CheckOpen();
    if (!PasswordAtom) {
        SetRootText(RootLink::Password, Text);
        PasswordAtom = OpenRoot()->OpenLink(RootLink::Password);
        return;
    }
    PasswordAtom->SetText(Text);
}

int32_t TOstraCounter::GetInterval() {
    CheckOpen();
    return Interval;
}

void TOstraCounter::SetInterval(int32_t Minutes) {
    CheckOpen();
    if (Minutes == Interval) return;
    SetRootText(RootLink::Interval, IntToStr(Minutes));
    Interval = Minutes;
}

std::string TOstraCounter::GetHomePageURL() {
    CheckOpen();
    if (std::optional<std::string> url = RootText(RootLink::HomePage)) return *url;
    SetRootText(RootLink::HomePage, DefaultHomePage);
    return DefaultHomePage;
}

void TOstraCounter::SetHomePageURL(std::string_view URL) {
    CheckOpen();
    if (!URL.empty()) SetRootText(RootLink::HomePage, URL);
}

std::string TOstraCounter::GetSiteName() {
    CheckOpen();
    return RootText(RootLink::SiteName).value_or(DefaultSiteName);
}

void TOstraCounter::SetSiteName(std::string_view Name) {
    CheckOpen();
    SetRootText(RootLink::SiteName, Name);
}

bool TOstraCounter::GetOptionFlag() {
    CheckOpen();
    if (std::optional<std::string> flag = RootText(RootLink::OptionFlag)) return *flag == "1";
    SetRootText(RootLink::OptionFlag, "0");
    return false;
}

void TOstraCounter::SetOptionFlag(bool Value) {
    CheckOpen();
    SetRootText(RootLink::OptionFlag, Value ? "1" : "0");
}

std::string TOstraCounter::GetExtraText() {
    CheckOpen();
    return RootText(RootLink::ExtraText).value_or(std::string());
}

void TOstraCounter::SetExtraText(std::string_view Text) {
    CheckOpen();
    SetRootText(RootLink::ExtraText, Text);
}

// ---- tagged and paired values ---------------------------------------------------------------

void TOstraCounter::SetTaggedValue(std::string_view Key, std::string_view Value) {
    if (Value.empty()) return;
    try {
        TRef<IIndexer> tags = ValueIndex(RootLink::TaggedValues);
        TRef<IVirtualAtom> value;
        if (!tags->FindKey(Key, value)) value = tags->AddKey(Key);
        value->SetText(Value);
    } catch (...) {
        // Tagged values are best effort by contract.
    }
}

TStringList TOstraCounter::GetTaggedValueStats() {
    TRef<IIndexer> tags = ValueIndex(RootLink::TaggedValues);
    TStringList list;
    WalkValues(tags.get(),
               [&](std::string_view, std::span<const uint8_t> value) { CountText(list, std::string(TextOf(value))); });
    SortByCount(list);
    return list;
}

void TOstraCounter::ClearTaggedValues() {
    MakeRootIndex(OpenRoot().get(), RootLink::TaggedValues, TrieFactory.get(), Trans.get());
}

void TOstraCounter::AddPairedValue(std::string_view Key, std::string_view First) {
    TRef<IIndexer> pairs = ValueIndex(RootLink::PairedValues);
    if (pairs->KeyExists(Key)) return;
    TRef<IVirtualAtom> value = pairs->AddKey(Key);
    TWriter writer;
    writer.WriteString(First);
    value->SetBytes(writer.Bytes());
}

void TOstraCounter::AppendPairedValue(std::string_view Key, std::string_view Second) {
    TRef<IIndexer> pairs = ValueIndex(RootLink::PairedValues);
    TRef<IVirtualAtom> value;
    if (!pairs->FindKey(Key, value)) return;
    TByteArray bytes = value->GetBytes();
    std::string first = TReader(bytes).ReadString();
    TWriter writer;
    writer.WriteString(first);
    writer.WriteString(Second);
    value->SetDataSize(0);
    value->Write(0, writer.Bytes());
}

void TOstraCounter::GetPairedValueStats(TStringList& FirstList, TStringList& SecondList) {
    FirstList = TStringList();
    SecondList = TStringList();
    TRef<IIndexer> pairs = ValueIndex(RootLink::PairedValues);
    WalkValues(pairs.get(), [&](std::string_view, std::span<const uint8_t> bytes) {
        TReader reader(bytes);
        std::string first, second;
        if (reader.HasMore()) first = reader.ReadString();
        if (reader.HasMore()) second = reader.ReadString();
        if (first.empty() || second.empty()) return;
        CountText(FirstList, first);
        CountText(SecondList, second);
    });
    SortByCount(FirstList);
    SortByCount(SecondList);
}

void TOstraCounter::ClearPairedValues() {
    MakeRootIndex(OpenRoot().get(), RootLink::PairedValues, TrieFactory.get(), Trans.get());
}

// ---- hourly tables --------------------------------------------------------------------------

void TOstraCounter::InitHourTable(IIndexer* table) {
    for (int32_t hour = 0; hour < HoursPerDay; ++hour) {
        std::array<uint8_t, 4> key = Int32Bytes(hour);
        TRef<IVirtualAtom> value = table->AddKeyBuf(key.data(), int32_t(key.size()));
        WriteInt32At(value.get(), 0, 0);
        TRef<IVirtualAtom> dayHeader;
        BTreeFactory->CreateIndex(value->GetStorage().get(), dayHeader, "", "");
        value->SetLink(HourDayTableLink, dayHeader.get());
    }
}

void TOstraCounter::AddHourHit(IIndexer* table, TDateTime date) {
    std::array<uint8_t, 4> hourKey = Int32Bytes(HourOfDate(date));
    TRef<IVirtualAtom> hour;
    if (!FindBuf(table, hourKey, hour)) return;
    WriteInt32At(hour.get(), 0, Add32(ReadInt32At(hour.get(), 0), 1));
    TRef<IVirtualAtom> dayHeader = hour->OpenLink(HourDayTableLink);
    if (!dayHeader) return;
    TRef<IIndexer> days = BTreeFactory->OpenIndex(dayHeader.get(), "", "");
    std::array<uint8_t, 4> dayKey = Int32Bytes(WholeDays(date));
    TRef<IVirtualAtom> day;
    if (!FindBuf(days.get(), dayKey, day)) {
        day = days->AddKeyBuf(dayKey.data(), int32_t(dayKey.size()));
        WriteInt32At(day.get(), 0, 0);
    }
    WriteInt32At(day.get(), 0, Add32(ReadInt32At(day.get(), 0), 1));
}

void TOstraCounter::SumHourBuckets(IIndexer* table, std::array<int32_t, 25>& hours) {
    hours[0] = 0;
    for (int32_t hour = 0; hour < HoursPerDay; ++hour) {
        std::array<uint8_t, 4> key = Int32Bytes(hour);
        TRef<IVirtualAtom> value;
        if (!table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value)) continue;
        hours[size_t(hour) + 1] = ReadInt32At(value.get(), 0);
        hours[0] = Add32(hours[0], hours[size_t(hour) + 1]);
    }
}

TRef<IIndexer> TOstraCounter::PageHourTable(IIndexer* pages, std::string_view node, bool make) {
    TRef<IVirtualAtom> header;
    if (pages->FindKey(node, header)) return BTreeFactory->OpenIndex(header.get(), "", "");
    if (!make) return nullptr;
    TRef<IIndexer> table = BTreeFactory->CreateIndex(Trans.get(), header, "", "");
    pages->InsertKey(node, header.get());
    InitHourTable(table.get());
    return table;
}

void TOstraCounter::RegisterHourlyHit(std::string_view IP, std::string_view Node, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    IIndexerFactory* btree = BTreeFactory.get();
    TRef<IVirtualAtom> root = Trans->OpenRoot();
    TIndexInit initHours = [this](IIndexer* table) { InitHourTable(table); };
    TRef<IIndexer> site =
        OpenRootIndex(root.get(), RootLink::SiteHours, btree, TEmptyLink::Make, Trans.get(), initHours);
    AddHourHit(site.get(), Date);
    site.reset();
    if (Node.empty()) return;
    TRef<IIndexer> pages = OpenRootIndex(root.get(), RootLink::PageHours, btree, TEmptyLink::Make, Trans.get());
    root.reset();
    TRef<IIndexer> page = PageHourTable(pages.get(), Node, true);
    AddHourHit(page.get(), Date);
}

void TOstraCounter::GetHourlyHits(std::array<int32_t, 25>& Hours, std::string_view Node) {
    CheckOpen();
    Hours[0] = 0;
    IIndexerFactory* btree = BTreeFactory.get();
    TRef<IVirtualAtom> root = Trans->OpenRootAccess(AccessReadOnly);
    TRef<IIndexer> table;
    if (Node.empty()) {
        table = OpenRootIndex(root.get(), RootLink::SiteHours, btree, TEmptyLink::Nil);
    } else if (TRef<IIndexer> pages = OpenRootIndex(root.get(), RootLink::PageHours, btree, TEmptyLink::Nil)) {
        root.reset();
        table = PageHourTable(pages.get(), Node, false);
    }
    if (table) SumHourBuckets(table.get(), Hours);
}

// ---- public functions -----------------------------------------------------------------------

TRef<ICounter> OpenCounter(const std::string& FileName, const TSkinStreams& Images) {
    try {
        if (!StorageFactory()) StartStorageEngine();
        return MakeObj<TOstraCounter>(FileName, Images);
    } catch (...) {
        return nullptr;
    }
}

void CloseCounter(TRef<ICounter>& Counter) {
    TRef<ICounter> counter = std::move(Counter);
    if (!counter) return;
    auto* object = dynamic_cast<TOstraCounter*>(counter.get());
    if (object) object->Finish();
}

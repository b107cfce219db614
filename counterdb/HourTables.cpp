// The hourly tables (see HourTables.h); their counts are 4-byte little-endian integers.
#include "counterdb/HourTables.h"

#include "counterdb/CounterRecords.h"
#include "counterdb/DateKeys.h"
#include "counterdb/IndexWalks.h"

namespace {

// An hour's value atom links its per-day table here.
inline constexpr uint32_t HourDayTableLink = 0;
inline constexpr int HoursPerDay = 24;

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

} // namespace

void InitHourTable(IIndexer* table, IIndexerFactory* factory) {
    for (int32_t hour = 0; hour < HoursPerDay; ++hour) {
        std::array<uint8_t, 4> key = Int32Bytes(hour);
        TRef<IVirtualAtom> value = table->AddKeyBuf(key.data(), int32_t(key.size()));
        WriteInt32At(value.get(), 0, 0);
        TRef<IVirtualAtom> dayHeader;
        factory->CreateIndex(value->GetStorage().get(), dayHeader, "", "");
        value->SetLink(HourDayTableLink, dayHeader.get());
    }
}

void AddHourHit(IIndexer* table, IIndexerFactory* factory, TDateTime date) {
    std::array<uint8_t, 4> hourKey = Int32Bytes(HourOfDate(date));
    TRef<IVirtualAtom> hour;
    if (!FindBuf(table, hourKey, hour)) return;
    WriteInt32At(hour.get(), 0, Add32(ReadInt32At(hour.get(), 0), 1));
    TRef<IVirtualAtom> dayHeader = hour->OpenLink(HourDayTableLink);
    if (!dayHeader) return;
    TRef<IIndexer> days = factory->OpenIndex(dayHeader.get(), "", "");
    std::array<uint8_t, 4> dayKey = Int32Bytes(WholeDays(date));
    TRef<IVirtualAtom> day;
    if (!FindBuf(days.get(), dayKey, day)) {
        day = days->AddKeyBuf(dayKey.data(), int32_t(dayKey.size()));
        WriteInt32At(day.get(), 0, 0);
    }
    WriteInt32At(day.get(), 0, Add32(ReadInt32At(day.get(), 0), 1));
}

void SumHourBuckets(IIndexer* table, std::array<int32_t, 25>& hours) {
    hours[0] = 0;
    for (int32_t hour = 0; hour < HoursPerDay; ++hour) {
        std::array<uint8_t, 4> key = Int32Bytes(hour);
        TRef<IVirtualAtom> value;
        if (!table->FindKeyBufAccess(key.data(), int32_t(key.size()), AccessReadOnly, value)) continue;
        hours[size_t(hour) + 1] = ReadInt32At(value.get(), 0);
        hours[0] = Add32(hours[0], hours[size_t(hour) + 1]);
    }
}

TRef<IIndexer> PageHourTable(IIndexer* pages, IIndexerFactory* factory, IVirtualStorage* maker, std::string_view node,
                             bool make) {
    TRef<IVirtualAtom> header;
    if (pages->FindKey(node, header)) return factory->OpenIndex(header.get(), "", "");
    if (!make) return nullptr;
    TRef<IIndexer> table = factory->CreateIndex(maker, header, "", "");
    pages->InsertKey(node, header.get());
    InitHourTable(table.get(), factory);
    return table;
}

// The hosts index and the skip list (see HostTable.h).
#include "counterdb/HostTable.h"

#include "counterdb/DateKeys.h"
#include "counterdb/IndexWalks.h"
#include "counterdb/ListGathering.h"

#include <algorithm>

std::optional<THostRecord> FindHost(IIndexer* hosts, std::string_view ip, TRef<IVirtualAtom>& atom) {
    if (!hosts->FindKey(ip, atom)) return std::nullopt;
    return ReadHostRecord(atom.get());
}

std::optional<THostRecord> ReadHost(IIndexer* hosts, std::string_view ip) {
    TRef<IVirtualAtom> atom;
    if (ip.empty() || !hosts->FindKeyAccess(ip, AccessReadOnly, atom)) return std::nullopt;
    return ReadHostRecord(atom.get());
}

bool IsNewVisit(const THostRecord& last, TDateTime date, int32_t interval) {
    int64_t limit = DateMilliseconds(last.Date) + int64_t(interval) * MillisecondsPerMinute;
    return DateMilliseconds(date) > limit;
}

void WriteHostHit(IIndexer* hosts, IVirtualAtom* atom, const std::optional<THostRecord>& last, std::string_view ip,
                  TDateTime date, bool newVisit) {
    if (last) {
        WriteHostRecord(atom, THostRecord{std::string(ip), date, Add32(last->Hits, 1),
                                          newVisit ? Add32(last->Visits, 1) : last->Visits});
        return;
    }
    TRef<IVirtualAtom> added = hosts->AddKey(ip);
    WriteHostRecord(added.get(), THostRecord{std::string(ip), date, 1, 1});
}

TStringList HostList(IIndexer* hosts, int32_t sortMode) {
    TListGathering list = TListGathering::OfHosts(sortMode, KeyCountHint(hosts));
    WalkValues(hosts, [&](std::string_view, std::span<const uint8_t> value) {
        THostRecord record = HostRecordOf(value);
        list.Add(std::move(record.Address), record.Date, record.Hits, record.Visits);
    });
    return list.Take();
}

TStringList HostListHead(IIndexer* hosts, int32_t sortMode, int32_t count, int32_t& total) {
    THostListHead head(sortMode, size_t(std::max(count, 0)));
    WalkValues(hosts, [&](std::string_view, std::span<const uint8_t> value) { head.Add(HostFieldsOf(value)); });
    total = int32_t(std::min<size_t>(head.Seen(), INT32_MAX));
    return head.Take();
}

TStringList SkipListKeys(IIndexer* skipList) {
    TStringList list;
    WalkKeys(skipList, [&](std::string_view key) { list.Add(std::string(key)); });
    if (!list.Empty() && list[0].empty()) return TStringList();
    return list;
}

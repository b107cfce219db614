// The tagged and paired value statistics (see ValueTables.h).
#include "counterdb/ValueTables.h"

#include "counterdb/CounterRecords.h"
#include "counterdb/IndexWalks.h"
#include "counterdb/ListGathering.h"

void SetTaggedValue(IIndexer* tags, std::string_view key, std::string_view value) {
    TRef<IVirtualAtom> atom;
    if (!tags->FindKey(key, atom)) atom = tags->AddKey(key);
    atom->SetText(value);
}

TStringList TaggedValueStats(IIndexer* tags) {
    TStringList list;
    WalkValues(tags,
               [&](std::string_view, std::span<const uint8_t> value) { CountText(list, std::string(TextOf(value))); });
    SortByCount(list);
    return list;
}

void AddPairedValue(IIndexer* pairs, std::string_view key, std::string_view first) {
    if (pairs->KeyExists(key)) return;
    TRef<IVirtualAtom> value = pairs->AddKey(key);
    value->SetBytes(PairedRecordBytes(first));
}

void AppendPairedValue(IIndexer* pairs, std::string_view key, std::string_view second) {
    TRef<IVirtualAtom> value;
    if (!pairs->FindKey(key, value)) return;
    TByteArray bytes = value->GetBytes();
    // A record that does not begin with a text raises.
    std::string first = TReader(bytes).ReadString();
    value->SetDataSize(0);
    value->Write(0, PairedRecordBytes(first, second));
}

void PairedValueStats(IIndexer* pairs, TStringList& firstList, TStringList& secondList) {
    WalkValues(pairs, [&](std::string_view, std::span<const uint8_t> bytes) {
        TPairedRecord record = PairedRecordOf(bytes);
        if (record.First.empty() || record.Second.empty()) return;
        CountText(firstList, record.First);
        CountText(secondList, record.Second);
    });
    SortByCount(firstList);
    SortByCount(secondList);
}

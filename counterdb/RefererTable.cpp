// The referrer host keys and the referrers index (see RefererTable.h).
#include "counterdb/RefererTable.h"

#include "counterdb/CounterRecords.h"
#include "counterdb/IndexWalks.h"
#include "counterdb/ListGathering.h"
#include "platform/StrUtils.h"

namespace {

inline constexpr const char* UnknownReferer = "Unknown";

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

} // namespace

std::string RefererHostKey(std::string_view referer) {
    if (referer.empty()) return UnknownReferer;
    return CleanRefererHost(NormalizeRefererURL(referer));
}

void CountReferral(IIndexer* referers, const std::string& key, TDateTime date) {
    TRef<IVirtualAtom> value;
    int32_t count = 0;
    if (referers->FindKey(key, value)) {
        std::array<uint8_t, TRefererRecord::ByteSize> record{};
        value->Read(0, record);
        count = TRefererRecord::FromBytes(record).Count;
    } else {
        value = referers->AddKey(key);
    }
    value->Write(0, TRefererRecord{date, Add32(count, 1)}.Bytes());
}

TStringList RefererList(IIndexer* referers, int32_t sortMode) {
    TListGathering list = TListGathering::OfNames(sortMode, KeyCountHint(referers));
    WalkValues(referers, [&](std::string_view key, std::span<const uint8_t> bytes) {
        if (bytes.size() < TRefererRecord::ByteSize) return;
        TRefererRecord record = TRefererRecord::FromBytes(bytes);
        list.Add(std::string(key), record.Date, record.Count, 0);
    });
    return list.Take();
}

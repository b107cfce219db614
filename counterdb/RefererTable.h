// The referring sites: the host key a referrer text is counted under and the referrers index
// (a 12-byte record of last date and count per key). Not the visit that may count one
// (UCounter).
#pragma once

#include "index/KVZIndex.h"
#include "platform/Clock.h"
#include "platform/StringList.h"

#include <cstdint>
#include <string>
#include <string_view>

// The key of a referrer text: upper case, without the scheme "HTTP://", a path and a leading
// "WWW."; "Unknown" when nothing usable is left.
std::string RefererHostKey(std::string_view referer);
// One referral of key at date.
void CountReferral(IIndexer* referers, const std::string& key, TDateTime date);
// Entries whose record is short are left out.
TStringList RefererList(IIndexer* referers, int32_t sortMode);

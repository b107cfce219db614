// The admin utility's database session: the counter it holds, the page list and the
// corrections, booked under the pseudo host "BBB".
#include "adminutil/CounterSession.h"

#include "platform/Exception.h"
#include "platform/FileUtils.h"

#include <cmath>
#include <string_view>

namespace {

// Manual page hits are booked a tenth into the chosen day.
constexpr TDateTime ManualHitTimeOfDay = 0.1;
// Sort mode 0: the page list in index order.
constexpr int32_t IndexOrder = 0;
constexpr char NameSeparator = '*';

// Drops the text up to and including the first separator; nothing when there is none.
std::string_view AfterSeparator(std::string_view text) {
    size_t at = text.find(NameSeparator);
    return at == std::string_view::npos ? text : text.substr(at + 1);
}

} // namespace

int64_t BookingsToRaise(int32_t Current, int32_t Wanted) {
    if (Wanted < Current) throw Exception(BelowOldValueText);
    return int64_t(Wanted) - Current;
}

bool TCounterSession::Open(const std::string& FileName) {
    Close();
    if (!FileExists(FileName)) return false;
    Counter = OpenCounter(FileName);
    if (!Counter) return false;
    try {
        ReloadNodeList();
    } catch (...) {
        Counter = nullptr;
        throw;
    }
    return true;
}

void TCounterSession::Close() {
    NodeList.Clear();
    // Taken out first, so that the session is closed even when the commit raises.
    TRef<ICounter> counter = std::move(Counter);
    Counter = nullptr;
    if (counter) CloseCounter(counter);
}

ICounter& TCounterSession::Opened() const {
    if (!Counter) throw Exception("No database is open");
    return *Counter;
}

void TCounterSession::ReloadNodeList() {
    NodeList.Clear();
    NodeList = Opened().GetNodeList(IndexOrder);
}

std::string TCounterSession::NodeName(int I) const {
    std::string name;
    FindNodeName(I, name);
    return name;
}

bool TCounterSession::FindNodeName(int I, std::string& Name) const {
    if (I < 0 || I >= NodeList.Count()) return false;
    const std::string& text = NodeList[I];
    Name = text.substr(0, text.find(NameSeparator));
    return true;
}

std::string TCounterSession::NodeHitsText(int I) const {
    if (I < 0 || I >= NodeList.Count()) return {};
    const std::string& text = NodeList[I];
    if (text.find(NameSeparator) != std::string::npos) return std::string(AfterSeparator(AfterSeparator(text)));
    const TCObject* entry = NodeList.ObjectAs<TCObject>(I);
    return entry ? std::to_string(entry->Hits) : std::string();
}

int32_t TCounterSession::GetNodeHits(int I, TDateTime Date) {
    std::string name;
    if (!FindNodeName(I, name)) return 0;
    return Opened().GetHitsByDate(name, Date);
}

int32_t TCounterSession::GetTotalHosts() { return Opened().GetTotalHosts(); }
int32_t TCounterSession::GetSiteHits(TDateTime Date) { return Opened().GetHitsByDate("", Date); }
int32_t TCounterSession::GetSiteHosts(TDateTime Date) { return Opened().GetHostsByDate(Date); }
int32_t TCounterSession::GetAllDaysHosts() { return Opened().GetHostsForPeriod(true, 0, 0); }
int32_t TCounterSession::GetAllDaysHits() { return Opened().GetHitsForPeriod("", true, 0, 0); }

void TCounterSession::BookTimes(int64_t Count, const TBookingProgress& Progress, const std::function<void()>& BookOne) {
    for (int64_t done = 1; done <= Count; ++done) {
        BookOne();
        if (Progress && !Progress(done, Count)) return;
    }
}

void TCounterSession::RaiseNodeHits(int I, TDateTime Date, int32_t NewValue, const TBookingProgress& Progress) {
    std::string name;
    if (!FindNodeName(I, name)) return;
    ICounter& counter = Opened();
    int64_t count = BookingsToRaise(counter.GetHitsByDate(name, Date), NewValue);
    if (count == 0) return;
    TDateTime day = std::trunc(Date) + ManualHitTimeOfDay;
    BookTimes(count, Progress, [&] {
        counter.AddHitByDate(ManualBookingIP, name, day);
        // The page's hit is one of the site's too; an empty name is the site already.
        if (!name.empty()) counter.AddHitByDate(ManualBookingIP, "", day);
        counter.RegisterNodeHit(ManualBookingIP, name, false);
    });
    ReloadNodeList();
}

void TCounterSession::RaiseTotalHosts(int32_t NewValue) {
    ICounter& counter = Opened();
    if (BookingsToRaise(counter.GetTotalHosts(), NewValue) == 0) return;
    counter.SetTotalHosts(NewValue);
}

void TCounterSession::RaiseSiteHosts(TDateTime Date, int32_t NewValue, const TBookingProgress& Progress) {
    ICounter& counter = Opened();
    int64_t count = BookingsToRaise(counter.GetHostsByDate(Date), NewValue);
    BookTimes(count, Progress, [&] { counter.AddHostByDate(ManualBookingIP, Date); });
}

void TCounterSession::RaiseSiteHits(TDateTime Date, int32_t NewValue, const TBookingProgress& Progress) {
    ICounter& counter = Opened();
    int64_t count = BookingsToRaise(counter.GetHitsByDate("", Date), NewValue);
    BookTimes(count, Progress, [&] { counter.AddHitByDate(ManualBookingIP, "", Date); });
}

// The admin utility's work on one open counter database, apart from any widget: opening and
// closing, the page list as the window shows it, and the four corrections with their rule.
// Not for drawing anything; TForm1 (UMain.h) is its only user besides the tests.
#pragma once

#include "counterdb/UCounter.h"

#include <cstdint>
#include <functional>
#include <string>

// The text of a correction that would lower a count.
inline constexpr const char* BelowOldValueText = "You can't set new value of this parameter - below old value.";
// The pseudo host address every manual booking is made under.
inline constexpr const char* ManualBookingIP = "BBB";

// Told after each booking of a correction: how many are done out of how many. Returns false to
// stop there: what was booked stays booked.
using TBookingProgress = std::function<bool(int64_t done, int64_t total)>;

class TCounterSession {
public:
    TCounterSession() = default;
    TCounterSession(const TCounterSession&) = delete;
    TCounterSession& operator=(const TCounterSession&) = delete;
    // Drops an open counter, which still commits (a failure then only reaches stderr).
    ~TCounterSession() = default;

    // Opens FileName, closing the open database first (a failed commit of that one raises,
    // after it is closed all the same). False, with nothing open, when the file does not exist
    // (it is never created here) or cannot be opened: busy, damaged, another kind of file.
    bool Open(const std::string& FileName);
    // Commits and closes the database; nothing when none is open. Raises when the commit
    // fails; the session is closed all the same.
    void Close();
    bool IsOpen() const { return bool(Counter); }

    // The page list, loaded in index order on opening and after a page correction.
    int NodeCount() const { return NodeList.Count(); }
    // Row I's page name: the text before the first "*" of the list entry, or the whole entry
    // when it has no "*". Empty outside the list.
    std::string NodeName(int I) const;
    // Row I's "Hits" cell: what is left after the text up to the first "*" is dropped twice;
    // the page's count when the entry has no "*".
    std::string NodeHitsText(int I) const;
    void ReloadNodeList();

    // Hits of row I's page on the day of Date; 0 outside the list.
    int32_t GetNodeHits(int I, TDateTime Date);
    int32_t GetTotalHosts();
    int32_t GetSiteHits(TDateTime Date);
    int32_t GetSiteHosts(TDateTime Date);
    // Sums over every day of the site's hosts and hits.
    int32_t GetAllDaysHosts();
    int32_t GetAllDaysHits();

    // The corrections. Each reads the current value again; a lower NewValue raises
    // BelowOldValueText and writes nothing, an equal one writes nothing, a higher one books
    // the difference. Progress (may be empty) hears of every booking and may stop the rest.
    //
    // Row I's page on the day of Date: per booking one hit of the page and one of the site on
    // that day (at 02:24, a tenth of the day) and one on the page's count; then the page list
    // is loaded again. A row of an empty page name is the site itself: one hit of the site per
    // booking. Nothing when I is outside the list.
    void RaiseNodeHits(int I, TDateTime Date, int32_t NewValue, const TBookingProgress& Progress);
    // The total hosts, set at once.
    void RaiseTotalHosts(int32_t NewValue);
    // The site's hosts on the day of Date.
    void RaiseSiteHosts(TDateTime Date, int32_t NewValue, const TBookingProgress& Progress);
    // The site's hits on the day of Date.
    void RaiseSiteHits(TDateTime Date, int32_t NewValue, const TBookingProgress& Progress);

private:
    ICounter& Opened() const;
    // The row's page name as the database knows it, or nothing.
    bool FindNodeName(int I, std::string& Name) const;
    static void BookTimes(int64_t Count, const TBookingProgress& Progress, const std::function<void()>& BookOne);

    TRef<ICounter> Counter;
    TStringList NodeList;
};

// How many bookings raise Current to Wanted: Wanted - Current, 0 when equal. Raises
// Exception(BelowOldValueText) when Wanted is below Current.
int64_t BookingsToRaise(int32_t Current, int32_t Wanted);

// The web program's pages: the shared opening of the counter database, the main handler that
// routes a request to its page, the page frame, the routines the page bodies share and the
// page bodies themselves. Images and skin uploads live elsewhere.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "counterdb/UCounter.h"
#include "platform/Cgi.h"

class TWM;

// Unit state: one set per process.
// The shared counter database: held while a TCounterSession has it open, nil otherwise.
extern TRef<ICounter> CounterBase;
extern std::string ProgramDir;
// The program's own path (argument 0), from which the database name is made.
extern std::string ProgramPath;

// The database beside the program: its file name with the extension replaced by ".ostra"
// ("counter" and "counter.cgi" both give "counter.ostra").
std::string CounterDatabaseFile(std::string_view programPath);

// One use of the shared counter database, for as long as the object lives: made, it opens the
// database (creating a missing one with the default skin of Module); gone or released, it
// gives it up, and the last session to give it up commits and closes it. Sessions nest: an
// inner one shares what an outer one opened. The count of openings is kept here and nowhere
// else.
class TCounterSession {
public:
    explicit TCounterSession(TWM& module);
    // Releases when still open; a failing commit is reported on stderr (Release raises it).
    ~TCounterSession();
    TCounterSession(const TCounterSession&) = delete;
    TCounterSession& operator=(const TCounterSession&) = delete;

    // False when the database could not be opened (another program holds it) or was released.
    bool IsOpen() const { return FState == TState::Open; }
    // The open database; raises when the session is not open.
    ICounter& Counter() const;
    // The open database, or nil.
    ICounter* CounterOrNil() const { return IsOpen() ? CounterBase.get() : nullptr; }
    // Gives the database up now (nothing when not open); raises when the commit fails.
    void Release();

private:
    enum class TState { Unavailable, Open, Released };
    TState FState;
};

// Program end: closes the shared counter whatever sessions were left; a failing commit is
// reported on stderr.
void FinalizeCounterBase();

// Literals shared by the pages.
extern const std::string SeparatorTable;
extern const std::string_view MonthNamesUpper[13]; // 1..12
extern const std::string_view MonthNames[13];      // 1..12
extern const int MonthDays[13];                    // 1..12

// The frame: header (with the site name and home page of Counter; its no-database form for
// nil) and footer.
std::string PageHeader(TWM& module, TWebRequest& request, ICounter* counter);
std::string PageFooter(TWM& module, TWebRequest& request);

// Routines for page bodies.
int32_t SumOf(std::span<const int32_t> values);
// Largest element, but never below 0.
int32_t MaxOf(std::span<const int32_t> values);
double AverageOf(std::span<const int32_t> values);
std::string TwoDigitText(int32_t n);
// Month number (1..12) of a three-letter name in any case; 1 when it names none.
int MonthIndex(std::string_view text);
int DaysInMonth(int month, int year);
// "http://" + host with "WWW." put in front when missing; the default site for an empty or
// "unknown" host.
std::string BuildHomeURL(std::string_view host);

// Text helpers of the pages: HTML-escaped value, and the script name as it goes into links.
std::string Html(std::string_view value);
std::string ScriptLink(const TWebRequest& request);
// A refusal shown at the top of a page body: the message, escaped, on a line of its own.
std::string RefusalLine(std::string_view message);
// Why a change that another web site asked for was refused, and why one without the proof.
extern const std::string CrossSiteRefusalText;
extern const std::string ProofRefusalText;
// The proof of origin that every change carries in its query field "proof": the secret kept
// beside the database (made when missing), which only the program's own pages show.
std::string ChangeProof();
// The hidden form field that carries the proof, as a line of a changing form.
std::string ProofInput();
// Why the change the request asks for is refused (the browser marks it as another site's, or
// it lacks the proof), or empty when it may be made.
std::string_view ChangeRefusalText(const TWebRequest& request);
// Decimal text, and the "0.00" format (two decimals, halves away from zero).
std::string FormatFixed2(double value);
// "dd.mm.yyyy", "dd-mm-yyyy/hh-nn-ss", "dd.mm.yyyy-hh:nn:ss".
std::string FormatDate(TDateTime value);
std::string FormatDateTimeDashed(TDateTime value);
std::string FormatDateTimeDotted(TDateTime value);

// A page body under construction: every piece goes on a line of its own (after CR LF).
class TPageText {
public:
    TPageText& operator<<(std::string_view piece) {
        FText += "\r\n";
        FText += piece;
        return *this;
    }
    // One piece given as its parts, so that a row goes on the page without being built first.
    TPageText& Line(std::initializer_list<std::string_view> parts) {
        FText += "\r\n";
        for (std::string_view part : parts) FText += part;
        return *this;
    }
    // Room for bytes more, so that a long page grows its text once.
    void Reserve(size_t bytes) { FText.reserve(FText.size() + bytes); }
    // Hands the text over, leaving the page empty: a list page's text runs to megabytes.
    std::string Take() { return std::move(FText); }

private:
    std::string FText;
};

// The sort mode field "sort": Default when empty, not a number or outside 0..Max.
int SortModeField(const TWebRequest& request, int max, int defaultMode);
// Rows to show from the field "col": its value (raises EConvertError when it is not a
// number), else 20; never more than Count. Zero or below shows no row.
int RowCountField(const TWebRequest& request, int count);
// The rows the field "col" asks for, as RowCountField reads it before bounding it by a count;
// nothing when it is not a number.
std::optional<int32_t> WantedRowCount(const TWebRequest& request);

// Page bodies: each returns an HTML fragment; all but PageEditMenu need the session open.
std::string PageEditMenu(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageCalendar(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageNodes(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageReferers(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageBrowse(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditInterval(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditURL(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditSiteName(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditIP(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditSkip(TWM& module, TWebRequest& request, TCounterSession& session);
std::string PageEditSkins(TWM& module, TWebRequest& request, TCounterSession& session);

// The About page's two columns.
extern const std::string AboutText;
extern const std::string DescriptionText;

// The main handler: uploads, logos, images and every page.
void WMMainItemAction(TWM& module, TWebRequest& request, TWebResponse& response);

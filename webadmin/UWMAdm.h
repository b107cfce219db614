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
extern TRef<ICounter> CounterBase;
extern int CounterOpenCount;
extern std::string ProgramDir;
// The program's own path (argument 0), from which the database name is made.
extern std::string ProgramPath;

// The database beside the program: its file name with the extension replaced by ".ostra"
// ("counter" and "counter.cgi" both give "counter.ostra").
std::string CounterDatabaseFile(std::string_view programPath);
// Makes CounterBase available (creating a missing database with the default skin of Module)
// and counts the opening; CounterBase stays nil when the database cannot be opened.
void OpenCounterBase(TWM& module);
// Undoes one opening; the last one commits and closes the database (raises when the commit
// fails).
void ReleaseCounterBase();
// Program end: releases the counter whatever the count; a failing commit is reported on stderr.
void FinalizeCounterBase();

// Literals shared by the pages.
extern const std::string SeparatorTable;
extern const std::string_view MonthNamesUpper[13]; // 1..12
extern const std::string_view MonthNames[13];      // 1..12
extern const int MonthDays[13];                    // 1..12

// The frame: header (reads and then releases the shared counter) and footer.
std::string PageHeader(TWM& module, TWebRequest& request);
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
// Why a change that another web site asked for was refused.
extern const std::string CrossSiteRefusalText;
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

// Page bodies: each returns an HTML fragment; all but PageEditMenu need CounterBase open.
std::string PageEditMenu(TWM& module, TWebRequest& request);
std::string PageCalendar(TWM& module, TWebRequest& request);
std::string PageNodes(TWM& module, TWebRequest& request);
std::string PageReferers(TWM& module, TWebRequest& request);
std::string PageBrowse(TWM& module, TWebRequest& request);
std::string PageEditInterval(TWM& module, TWebRequest& request);
std::string PageEditURL(TWM& module, TWebRequest& request);
std::string PageEditSiteName(TWM& module, TWebRequest& request);
std::string PageEditIP(TWM& module, TWebRequest& request);
std::string PageEditSkip(TWM& module, TWebRequest& request);
std::string PageEditSkins(TWM& module, TWebRequest& request);

// The About page's two columns.
extern const std::string AboutText;
extern const std::string DescriptionText;

// The main handler: uploads, logos, images and every page.
void WMMainItemAction(TWM& module, TWebRequest& request, TWebResponse& response);

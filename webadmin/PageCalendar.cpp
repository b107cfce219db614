// The calendar statistics page: hits per site page and day, with totals, highest values,
// averages and the site's hosts per day, for the current month, the current week or a month.
#include <cmath>
#include <exception>
#include <optional>
#include <vector>

#include "webadmin/UWMAdm.h"

namespace {

enum class TPeriodKind { CurrentMonth, CurrentWeek, ChosenMonth };

// The request's choice of pages, as the month links carry it on.
struct TNodeChoice {
    std::string Nodes;
    std::string NodeName;
    // "&nodes=...&nname=..." for a link, URL-encoded.
    std::string LinkTail() const { return "&nodes=" + UrlEncode(Nodes) + "&nname=" + UrlEncode(NodeName); }
};

std::string BoldCell(const std::string& value) {
    return "<td align=center><b><font color=black>" + value + "</font></b></td>";
}

std::string SelectionForm(const TWebRequest& request, const TStringList& names) {
    TPageText body;
    body << "<font size=+1><b>Select type of statistics:</b></font>"
         << "<form action=\"" + ScriptLink(request) + "\" method=get>"
         << "<input type=hidden name=page value=\"brdate\">"
         << "<font size=+1><b>Select Time period</b></font><font color=black><br>"
         << "<input type=radio name=\"type\" value=\"lmd\" checked>Current month(by days)<br>"
         << "<input type=radio name=\"type\" value=\"lwd\">Current week(by days)<br>"
         << "<input type=radio name=\"type\" value=\"cus\">Custom period(by days)<br><br>"
         << "</font><font size=+1><b>Select Nodes</b></font><font color=black><br>"
         << "<input type=radio name=\"nodes\" value=\"all\" checked>All Nodes<br>"
         << "<input type=radio name=\"nodes\" value=\"cus\">Custom Nodes<br>"
         << "<Select name=nname><br>";
    for (const auto& entry : names)
        body << "<option value=\"" + Html(entry.Text) + "\">" + Html(entry.Text) + "</option><br>";
    body << "</Select>"
         << "<br><br><Input type=Submit value=\"Submit your selection\"><br>"
         << "</form></font>";
    return body.Take();
}

std::string MonthYearForm(const TWebRequest& request, const TNodeChoice& choice, int currentYear) {
    TPageText body;
    body << "<font size=+1><b>Select month and year from the list below and press \"Show\":</font></b><br><br>"
         << "<form action=\"" + ScriptLink(request) + "\">"
         << "<input name=page type=hidden value=brdate>"
         << "<input name=type type=hidden value=cus>"
         << "<input name=nodes type=hidden value=" + HtmlEscapeAttr(choice.Nodes) + ">"
         << "<input name=nname type=hidden value=" + HtmlEscapeAttr(choice.NodeName) + ">"
         << "<select name=mon>";
    for (int month = 1; month <= 12; ++month) {
        std::string name(MonthNames[month]);
        body << "<option value=\"" + name + "\"" + (month == 1 ? " checked" : "") + ">" + name + "</option>";
    }
    body << "</select>"
         << "<select name=year>";
    for (int year = currentYear; year > currentYear - 10; --year)
        body << "<option value=\"" + IntToStr(year) + "\">" + IntToStr(year) + "</option>";
    body << "</select>"
         << "<input type=submit value=\"Show\">"
         << "</form>"
         << "<br><br>";
    return body.Take();
}

// The month before or after (Month, Year).
void StepMonth(int& month, int& year, int step) {
    month += step;
    if (month < 1) {
        month = 12;
        --year;
    } else if (month > 12) {
        month = 1;
        ++year;
    }
}

// One table row of day cells and summary cells.
struct TCalendarTable {
    TPeriodKind Kind;
    int32_t First;
    int32_t Days;

    std::string_view BlankDayCell() const {
        return Kind == TPeriodKind::CurrentWeek ? "<td>&nbsp</td>" : "<td align=center>&nbsp</td>";
    }

    // A summary cell of a page's row: the value in bold, blank when there is none.
    static void AddRowSummary(TPageText& body, const std::string& value) {
        if (!value.empty())
            body.Line({"<td align=center><b><font color=black>", value, "</font></b></td>"});
        else
            body << "<td align=center>&nbsp</td>";
    }

    void AddHeader(TPageText& body) const {
        std::string row =
            Kind == TPeriodKind::ChosenMonth ? "<tr rowspan=2 bgcolor=navy>" : "<tr rowspan=2  bgcolor=navy>";
        std::string close = Kind == TPeriodKind::CurrentWeek ? "</font></b>" : "</b></font>";
        body << "<center><table border=1 cellspacing=0 cellspading=0>" + row +
                    "<td><font color=white><b> Node name/date" + close + "</td><td colspan=" + IntToStr(Days + 3) +
                    "><center><font color=white><b> Hits for node by date" + close + "</center></tr>";
        body << "<tr>"
             << "<td>&nbsp</td>";
        for (int32_t d = 0; d < Days; ++d)
            body << "<td align=center><font color=black>" + TwoDigitText(DecodeDateTime(First + d).Day) +
                        "</font></td>";
        body << "<td align=center><b><font color=black>Total</font></b></td>"
             << "<td align=center><b><font color=black>Max</font></b></td>"
             << "<td align=center><b><font color=black>Average</font></b></td>"
             << "</tr>";
        if (Kind == TPeriodKind::CurrentWeek) body << "</tr>";
    }

    // The rows of the pages named, each read on its own; a page whose day table cannot be read
    // shows no hits.
    std::vector<TPageDays> PageRows(ICounter& counter, const std::vector<std::string>& names) const {
        std::vector<TPageDays> rows;
        for (const std::string& name : names) {
            std::vector<int32_t> dayHits;
            try {
                dayHits = counter.GetHitsForDays(name, First, Days);
            } catch (const std::exception&) {
                dayHits.assign(size_t(Days), 0);
            }
            rows.push_back(TPageDays{name, std::move(dayHits)});
        }
        return rows;
    }

    void AddNodeRow(TPageText& body, const TPageDays& row, std::vector<int32_t>& daySums,
                    std::vector<int32_t>& dayMax) const {
        body << "<tr>";
        body.Line({"<td><font color=black>", Html(row.Node), "</font></td>"});
        int64_t sum = 0;
        int32_t highest = 0;
        const std::vector<int32_t>& dayHits = row.Hits;
        for (int32_t d = 0; d < Days; ++d) {
            int32_t hits = dayHits[size_t(d)];
            sum += hits;
            daySums[size_t(d)] += hits;
            highest = std::max(highest, hits);
            dayMax[size_t(d)] = std::max(dayMax[size_t(d)], hits);
            if (hits > 0)
                body.Line({"<td align=center><font color=black>", IntToStr(hits), "</font></td>"});
            else
                body << BlankDayCell();
        }
        double average = double(sum) / Days;
        AddRowSummary(body, sum > 0 ? IntToStr(sum) : std::string());
        AddRowSummary(body, highest > 0 ? IntToStr(highest) : std::string());
        AddRowSummary(body, average > 0 ? FormatFixed2(average) : std::string());
        body << "</tr>";
    }

    // A row of per-day values with their sum, highest value and average.
    static void AddSummedRow(TPageText& body, const std::string& start, const std::vector<int32_t>& values) {
        body << start;
        for (int32_t v : values) body << (v > 0 ? BoldCell(IntToStr(v)) : "<td align=center>&nbsp</td>");
        int32_t sum = SumOf(values);
        int32_t highest = MaxOf(values);
        double average = AverageOf(values);
        body << (sum > 0 ? BoldCell(IntToStr(sum)) : "<td>&nbsp</td>")
             << (highest > 0 ? BoldCell(IntToStr(highest)) : "<td>&nbsp</td>")
             << (average > 0 ? BoldCell(FormatFixed2(average)) : "<td>&nbsp</td>") + "</tr>";
    }

    void AddTable(TPageText& body, ICounter& counter, const std::vector<TPageDays>& rows) const {
        std::vector<int32_t> daySums(size_t(Days), 0);
        std::vector<int32_t> dayMax(size_t(Days), 0);
        AddHeader(body);
        for (const TPageDays& row : rows) AddNodeRow(body, row, daySums, dayMax);
        AddSummedRow(body, "<tr bgcolor=#65adfc><td align=center><b><font color=black>Total</font></b></td>", daySums);

        body << "<tr><td align=center><b><font color=black>Max</font></b></td>";
        for (int32_t v : dayMax) body << (v > 0 ? BoldCell(IntToStr(v)) : "<td align=center>&nbsp</td>");
        body << "<td>&nbsp</td>"
             << "<td>&nbsp</td>"
             << "<td>&nbsp</td>"
             << "</tr>";

        body << "<tr><td align=center>&nbsp</td>";
        for (int32_t d = 0; d < Days; ++d) body << "<td align=center>&nbsp</td>";
        body << "<td>&nbsp</td>"
             << "<td>&nbsp</td>"
             << "<td>&nbsp</td>"
             << "</tr>";

        daySums = counter.GetHostsForDays(First, Days);
        AddSummedRow(body, "<tr bgcolor=#65adfc><td align=center><b><font color=black>Hosts(all site)</font></b></td>",
                     daySums);
        body << "</table></center></font>";
    }
};

bool IsSinglePage(const TNodeChoice& choice) { return UpperCase(choice.Nodes) != "ALL" && !choice.NodeName.empty(); }

std::vector<std::string> RowNames(const TStringList& names, const TNodeChoice& choice) {
    if (IsSinglePage(choice)) return {choice.NodeName};
    std::vector<std::string> rows;
    for (const auto& entry : names) rows.push_back(entry.Text);
    return rows;
}

int32_t DayNumber(TDateTime value) { return int32_t(std::floor(value)); }

// Whether the request gets a table of days (not a form, not an empty answer), decided without
// raising: a chosen month whose year does not parse is left to the page to refuse.
bool AsksForTable(const TWebRequest& request) {
    if (request.QueryField("seltype") == "1") return false;
    std::string type = request.QueryField("type");
    if (type == "lmd" || type == "lwd") return true;
    if (type != "cus") return false;
    std::string mon = request.QueryField("mon");
    std::optional<int32_t> year = TryStrToInt(request.QueryField("year"));
    return !mon.empty() && year && IsValidDate(*year, MonthIndex(mon), 1);
}

} // namespace

std::string PageCalendar(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    TNodeChoice choice{request.QueryField("nodes"), request.QueryField("nname")};
    // A table of every page reads the names with the counts, in one pass over the pages; all
    // else reads them first, as the selection form and the page choice did from the start.
    bool everyPageTable = !IsSinglePage(choice) && AsksForTable(request);
    TStringList names;
    if (!everyPageTable) names = counter.GetNodeNames();
    if (request.QueryField("seltype") == "1") return SelectionForm(request, names);

    const std::string sn = ScriptLink(request);
    TDateTime now = Now();
    TDateParts today = DecodeDateTime(now);
    int32_t todayNumber = DayNumber(now);
    std::string type = request.QueryField("type");

    TPageText body;
    TCalendarTable table{};
    if (type == "lmd") {
        int month = today.Month, year = today.Year;
        StepMonth(month, year, -1);
        body << "<a href=\"" + sn + "?page=brdate&mon=" + std::string(MonthNamesUpper[month]) +
                    "&year=" + IntToStr(year) + "&type=cus" + choice.LinkTail() +
                    "\"><font color=#2f2feb>Previous month</font></a><br>"
             << "<center><br><font size=+1><b>Statistics for current month (" + std::string(MonthNames[today.Month]) +
                    ") per days </b></font></center><br><font color=black>";
        int32_t first = DayNumber(EncodeDate(today.Year, today.Month, 1));
        table = {TPeriodKind::CurrentMonth, first, todayNumber - first + 1};
    } else if (type == "lwd") {
        body << "<center><br><font size=+1><b>Statistics for current Week  by days </b></font></center><font "
                "color=black><br>";
        int32_t first = todayNumber - today.DayOfWeek + 1;
        table = {TPeriodKind::CurrentWeek, first, todayNumber - first + 1};
    } else if (type == "cus") {
        std::string mon = request.QueryField("mon");
        std::string yearText = request.QueryField("year");
        if (mon.empty() || yearText.empty()) return body.Take() + MonthYearForm(request, choice, today.Year);
        int month = MonthIndex(mon);
        int year = StrToInt(yearText);
        // A year the calendar cannot hold fails the page, as a year that is not a number does.
        if (!IsValidDate(year, month, 1)) throw EConvertError("Invalid argument to date encode");
        int prevMonth = month, prevYear = year, nextMonth = month, nextYear = year;
        StepMonth(prevMonth, prevYear, -1);
        StepMonth(nextMonth, nextYear, +1);
        std::string target = nextMonth == today.Month && nextYear == today.Year
                                 ? "?page=brdate&type=lmd" + choice.LinkTail()
                                 : "?page=brdate&mon=" + std::string(MonthNamesUpper[nextMonth]) +
                                       "&year=" + IntToStr(nextYear) + "&type=cus" + choice.LinkTail();
        body << "<table width=100%><tr><td align=left width=50%><a href=\"" + sn +
                    "?page=brdate&mon=" + std::string(MonthNamesUpper[prevMonth]) + "&year=" + IntToStr(prevYear) +
                    "&type=cus" + choice.LinkTail() + "\"><font color=#2f2feb>Previous month</font></a></td>"
             << "<td align=right width=50%><a href=\"" + sn + target +
                    "\"><font color=#2f2feb>Next month</font></a></td></tr></table>"
             << "<center><br><font size=+1><b>Statistics for " + Html(mon) + " " + Html(yearText) +
                    " </b></font><font color=black></center><br>";
        table = {TPeriodKind::ChosenMonth, DayNumber(EncodeDate(year, month, 1)), DaysInMonth(month, year)};
    } else {
        return body.Take();
    }
    table.AddTable(body, counter,
                   everyPageTable ? counter.GetHitsForDaysOfPages(table.First, table.Days)
                                  : table.PageRows(counter, RowNames(names, choice)));
    return body.Take();
}

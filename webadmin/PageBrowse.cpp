// The basic information page: key figures, skins, skip list and the unique address list.
#include <cmath>

#include "webadmin/UWMAdm.h"

namespace {

std::string Rule() { return SeparatorTable + "<br>"; }

void AddFigures(TPageText& body, ICounter& counter) {
    int32_t interval = counter.GetInterval();
    TDateTime now = Now();
    const std::pair<std::string, std::string> rows[] = {
        {"Total Hit count: ", IntToStr(counter.GetTotalHits())},
        {"Total Host count (current counter value):", IntToStr(counter.GetTotalHosts())},
        {"Unique IP count: ", IntToStr(counter.GetHostCount())},
        {"Skin count: ", IntToStr(counter.GetSkinCount())},
        {"IP count in Skip list: ", IntToStr(counter.GetSkipCount())},
        {"URL count in Referer list: ", IntToStr(counter.GetRefererCount())},
        {"Current Interval value: ",
         IntToStr(interval) + " min (" + IntToStr(interval / 60) + " hours-" + IntToStr(interval % 60) + " minutes)"},
        {"HomePage URL: ", Html(counter.GetHomePageURL())},
        {"Today Hits/Hosts: ", IntToStr(counter.GetHitsByDate("", now)) + "/" + IntToStr(counter.GetHostsByDate(now))},
        {"Yesterday Hits/Hosts: ",
         IntToStr(counter.GetHitsByDate("", now - 1)) + "/" + IntToStr(counter.GetHostsByDate(now - 1))},
        {"DataBase creation date: ", FormatDate(counter.GetCreationDate())},
    };
    int number = 1;
    for (const auto& [label, value] : rows) {
        body << (number % 2 == 1 ? "<tr bgcolor=#E0E4E7>" : "<tr>") << "<td><font color=black>" << label
             << "<td align=right><font color=black>" << value;
        ++number;
    }
    body << "</table></font><br>" << Rule();
}

void AddSkins(TPageText& body, ICounter& counter, const std::string& sn) {
    body << "</font><font size=+1><b>Available Skins:</b></font><font color=black><br><br>"
         << "<table cellspacing=0 cellpading=0 border=0 width=100%>";
    int32_t count = counter.GetSkinCount();
    // Halves go to the even neighbour (3 skins: 33, 8 skins: 12).
    std::string height = count > 0 ? IntToStr(int64_t(std::nearbyint(100.0 / count))) : "0";
    for (int32_t i = 0; i < count; ++i) {
        if (!counter.IsSkinComplete(i)) continue;
        body << "<tr height=" + height + "% valign=\"center\"><td width=60 valign=center><font color=black>Skin # " +
                    IntToStr(i) + "</font><td valign=center align=left><img src=\"" + sn + "?skin=" + IntToStr(i) +
                    "\"><br>";
    }
    body << "</table></font><br>" << Rule();
}

void AddSkipList(TPageText& body, const TStringList& skips) {
    body << "<font size=+1><b>Skip IP-address collection:</b></font><font color=black><br><br>"
         << "<table border=1 cellspacing=0 cellspading=0><tr bgcolor=navy>"
         << "<td><b><font color=white>Skip-Address</font></b>";
    for (const auto& entry : skips)
        body << "<tr>"
             << "<td><font color=black>" + Html(entry.Text) + "</font>";
    body << "</table><br>" << Rule();
}

// Hosts holds the first rows of the list (all of them, or as many as the page shows), total
// the number of rows the list has.
void AddHosts(TPageText& body, const TStringList& hosts, int32_t total, const TWebRequest& request, int sortMode) {
    const std::string sn = ScriptLink(request);
    body << "</font><font size=+1><b>Unique IP-address collection:</b></font><font color=black><br>";
    body << "<form action=\"" + sn + "\" method=get>"
         << "Sort by:<br>"
         << "<input name=page value=browse type=hidden>"
         << "<input name=col value=\"" + Html(request.QueryField("col")) + "\" type=hidden>";
    const char* const labels[] = {">IP-address alphabetically<br>", ">Last visiting date-time<br>", ">Hit count<br>",
                                  ">Host count<br>"};
    for (int mode = 0; mode < 4; ++mode)
        body << "<input type=radio name=sort value=" + IntToStr(mode) + (mode == sortMode ? " checked" : "") +
                    labels[mode];
    body << "<input type=submit value=\"Refresh\">"
         << "</form>";

    int rows = RowCountField(request, total);
    body << "<form action=\"" + sn + "\">"
         << "Count of IP to view:</font><br>"
         << "<input name=page type=hidden value=browse>"
         << "<input name=col type=text value=\"" + IntToStr(rows) + "\">"
         << "<br><input type=submit value=\"Refresh\">"
         << "</form>";

    body << "<table border=1 cellspacing=0 cellspading=0><tr bgcolor=navy>"
         << "<td><font color=white><b>IP-Address</b></font><td><font color=white><b>Last visiting</b></font>"
            "<td><font color=white><b>Total hit/host count</b></font>";
    for (int i = 0; i < rows; ++i) {
        const TCObject* data = hosts.ObjectAs<TCObject>(i);
        body << "<tr>"
             << "<td><font color=black>" + Html(hosts[i]) + "</font>"
             << "<td align=right><font color=black>" + (data ? FormatDateTimeDashed(data->Date) : "") + "</font>"
             << "<td align=right><font color=black>" +
                    (data ? IntToStr(data->Hits) + "/" + IntToStr(data->Visits) : "") + "</font>";
    }
    body << "<tr bgcolor=#65adfc><td align=center><b><font color=black>Total IP count:</font></b></td>"
         << "<td>&nbsp</td><td align=right><b><font color=black>" + IntToStr(total) + "</font></b></td></tr>"
         << "</table><br>";
}

} // namespace

std::string PageBrowse(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    int sortMode = SortModeField(request, 3, 1);
    // Only the rows the page shows are made, where the counter can choose them as it walks. A
    // "col" that is no number gets the whole list, and its error where the list is shown.
    TStringList hosts;
    int32_t total = 0;
    TRef<IHostListHead> head = Query<IHostListHead>(&counter);
    std::optional<int32_t> shown = WantedRowCount(request);
    if (head && shown) {
        hosts = head->GetHostListHead(sortMode, *shown, total);
    } else {
        hosts = counter.GetHostList(sortMode);
        total = hosts.Count();
    }
    TStringList skips = counter.GetSkipList();

    TPageText body;
    body << "<br>"
         << "<font size=+1><b>Basic information:</b></font><br><br>"
         << "<table width=70% border=0 cellspacing=0 cellpading=0>";
    AddFigures(body, counter);
    AddSkins(body, counter, ScriptLink(request));
    AddSkipList(body, skips);
    AddHosts(body, hosts, total, request, sortMode);
    session.Release();
    return body.Take();
}

// The site pages list ("bradv": add, delete, sort) and the referring sites list ("brref":
// delete, sort, row count).
#include "webadmin/RequestGuard.h"
#include "webadmin/UWMAdm.h"

namespace {

void AddSortForm(TPageText& body, const std::string& sn, std::string_view page, std::string_view extraField,
                 const char* const labels[3], int sortMode) {
    body << "<form action=\"" + sn + "\" method=get>"
         << "Sort by:<br>"
         << "<input name=page value=" + std::string(page) + " type=hidden>";
    if (!extraField.empty()) body << extraField;
    for (int mode = 0; mode < 3; ++mode)
        body << "<input type=radio name=sort value=" + IntToStr(mode) + (mode == sortMode ? " checked" : "") +
                    labels[mode];
    body << "<input type=submit value=\"Refresh\">"
         << "</form><br>";
}

std::string EntryDate(const TStringList& list, int i, std::string (*format)(TDateTime)) {
    const TCObject* data = list.ObjectAs<TCObject>(i);
    return data ? format(data->Date) : std::string();
}

int32_t EntryHits(const TStringList& list, int i) {
    const TCObject* data = list.ObjectAs<TCObject>(i);
    return data ? data->Hits : 0;
}

void AddOption(TPageText& body, const std::string& value) {
    std::string text = Html(value);
    body.Line({"<option value=\"", text, "\">", text, "</option>"});
}

} // namespace

std::string PageNodes(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    const std::string sn = ScriptLink(request);
    std::string ed = request.QueryField("ed");
    std::string refusal;
    if (ed == "add") {
        std::string name = request.QueryField("val");
        try {
            CheckPageName(name);
            counter.AddNode(name);
        } catch (const ERefusedValue& error) {
            refusal = RefusalLine(error.what());
        }
    } else if (ed == "del") {
        counter.DeleteNode(request.QueryField("val"));
    }

    int sortMode = SortModeField(request, 2, 2);
    TStringList list = counter.GetNodeList(sortMode);

    TPageText body;
    if (!refusal.empty()) body << refusal;
    body << "<br></font><font size=+1><b>All pages hits:</b></font><font color=black>";
    const char* const labels[3] = {">NodeName<br>", ">Last visiting date-time<br>", ">Hit count<br>"};
    AddSortForm(body, sn, "bradv", "", labels, sortMode);

    body << "<table border=1 cellspacing=0 cellspading=0><tr bgcolor=navy>"
         << "<td><font color=white><b>Node name</b></font><td><font color=white><b>Last visiting</b></font>"
            "<td><font color=white><b>Total hit count</b></font>";
    int64_t sum = 0;
    for (int i = 0; i < list.Count(); ++i) {
        sum += EntryHits(list, i);
        body << "<tr>";
        body.Line({"<td><font color=black>", Html(list[i]), "</font>"});
        body.Line({"<td align=right><font color=black>", EntryDate(list, i, FormatDateTimeDashed), "</font>"});
        body.Line({"<td align=right><font color=black>", IntToStr(EntryHits(list, i)), "</font>"});
    }
    body << "<tr bgcolor=#65adfc><td align=left><font color=black><b>Total Hits for Nodes:</b></td>"
         << "<td align=left><font color=black>&nbsp</td>"
         << "<td align=right><font color=black><b>" + IntToStr(sum) + "</b></td>"
         << "</table><br></font>" + SeparatorTable;

    body << "<br><font color=black>To ADD a node enter it's name and press \"Add node\"<br>"
         << "<form action=\"" + sn + "\" method=get name=form1>"
         << "<input name=ed type=hidden value=add>" << ProofInput() << "<input type=hidden name=page value=bradv>"
         << "<input name=val type=text><br>"
         << "<br><input type=submit value=\"Add node\">"
         << "</form>" + SeparatorTable;

    if (!list.Empty()) {
        body << "<br>To DELETE a node select it's name from the list below and press \"Delete node\"<br>"
             << "<b>Remember, all information about selected node will be deleted!!!</b><br>"
             << "<form action=\"" + sn + "\" method=get name=form2>"
             << "<input type=hidden name=page value=bradv>"
             << "<input name=ed type=hidden value=del>" << ProofInput() << "<select name=val>";
        for (const auto& entry : list) AddOption(body, entry.Text);
        body << "</select><br><br><input type=submit value=\"Delete node\">"
             << "</form>";
    }
    return body.Take();
}

std::string PageReferers(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    const std::string sn = ScriptLink(request);
    if (request.QueryField("ed") == "del") counter.DeleteReferer(request.QueryField("val"));

    int sortMode = SortModeField(request, 2, 2);
    TStringList list = counter.GetRefererList(sortMode);
    int rows = RowCountField(request, list.Count());

    TPageText body;
    body << "<br></font><font size=+1><b>Referer list:</b></font><font color=black>";
    const char* const labels[3] = {">URL<br>", ">Last refering date-time<br>", ">Refering count<br>"};
    AddSortForm(body, sn, "brref", "<input name=col type=hidden value=" + IntToStr(rows) + ">", labels, sortMode);

    body << "<form action=\"" + sn + "\">"
         << "Count of URLs to view:<br>"
         << "<input name=page type=hidden value=brref>"
         << "<input name=col type=text value=\"" + IntToStr(rows) + "\">"
         << "<input name=so type=hidden value=" + IntToStr(sortMode) + ">"
         << "<br><input type=submit value=\"Refresh\">"
         << "</form>";

    body << "<table border=1 cellspacing=0 cellspading=0><tr bgcolor=navy>"
         << "<td><font color=white><b>Referer URL</b></font><td><font color=white><b>Last refering</b></font>"
            "<td><font color=white><b>Total refering count</b></font>";
    for (int i = 0; i < rows; ++i) {
        const std::string& host = list[i];
        body << "<tr>";
        if (UpperCase(host) == "UNKNOWN")
            body.Line({"<td><font color=black>", Html(host), "</font>"});
        else
            body.Line({"<td><font color=black><a href=\"", Html(BuildHomeURL(host)), "\" target=blank>", Html(host),
                       "</a></font>"});
        body.Line({"<td align=right><font color=black>", EntryDate(list, i, FormatDateTimeDotted), "</font>"});
        body.Line({"<td align=right><font color=black>", IntToStr(EntryHits(list, i)), "</font>"});
    }
    body << "<tr bgcolor=#65adfc><td align=center><b>Total URL count:</b></td>"
         << "<td>&nbsp</td><td align=right><b>" + IntToStr(list.Count()) + "</b></td></tr>"
         << "</table><br></font>";

    body << "<font color=navy><b>Deleting Section:</font></b>"
         << "<form action=\"" + sn + "\">"
         << "<input name=page type=hidden value=\"brref\">"
         << "<input name=col type=hidden value=\"" + IntToStr(rows) + "\">"
         << "<input name=sort type=hidden value=\"" + IntToStr(sortMode) + "\">"
         << "<input name=ed type=hidden value=\"del\">" << ProofInput() << "<select name=val>";
    for (const auto& entry : list) AddOption(body, entry.Text);
    body << "</select><br>"
         << "<input type=submit value=\"Delete\"></form>";
    return body.Take();
}

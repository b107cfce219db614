// The settings pages: the menu, the address list and skip list editors, and the three single
// values (home page URL, revisit interval, site name).
#include <exception>
#include <functional>

#include "webadmin/RequestGuard.h"
#include "webadmin/UWMAdm.h"

namespace {

// What differs between the address list and the skip list editors.
struct TAddressListPage {
    std::string_view Page;
    std::string_view Noun; // "IP" or "Skip IP"
    bool WarnOnDelete;
};

// An entry of the host list as offered for deletion: the address before any "*"-separated
// further parts. Host entries carry none, so the entry is normally taken whole.
std::string_view HostAddress(std::string_view entry) { return entry.substr(0, entry.find('*')); }

std::string_view WholeEntry(std::string_view entry) { return entry; }

std::string AddressListPage(TWebRequest& request, const TAddressListPage& page, const TStringList& list,
                            std::string_view (*address)(std::string_view)) {
    const std::string sn = ScriptLink(request);
    const std::string noun(page.Noun);
    const std::string pageField = "<input name=page type=hidden value=" + std::string(page.Page) + "><br>";
    TPageText body;
    body << "<b><font color=navy>Adding section:</font></b><br>"
         << "<form action=\"" + sn + "\" method=get name=form1>"
         << "Input value of " + noun + " - address: <br>"
         << "<input name=val type=text size=30><br>"
         << "<input name=ed type=hidden value=add><br>" << ProofInput() << pageField
         << "<input type=submit value=\"Add " + noun + "\"><br>"
         << "</form>" << SeparatorTable + "<br>";
    body << "<b><font color=navy>Deleting section:</font></b><br>";
    if (page.WarnOnDelete) body << "<b>Warning!!! All information about selected IP-address will be deleted!</b><br>";
    body << "<form action=\"" + sn + "\" method=get name=form2>"
         << "Select value of " + noun + " - address to delete it: <br>";
    if (list.Empty()) return body.Take();
    body << "<select name=val>";
    constexpr size_t OptionBytes = 28; // a line without its address, which it holds twice
    size_t lines = 0;
    for (const auto& entry : list) lines += OptionBytes + 2 * address(entry.Text).size();
    body.Reserve(lines);
    for (const auto& entry : list) {
        std::string value = Html(address(entry.Text));
        body.Line({"<option value=\"", value, "\">", value, "</option>"});
    }
    body << "</select><br>"
         << "<input name=ed type=hidden value=del><br>" << ProofInput() << pageField
         << "<input type=submit value=\"Delete " + noun + "\"><br>"
         << "</form></font>";
    return body.Take();
}

// What differs between the three single-value pages.
struct TValuePage {
    std::string_view Page;
    std::function<void(ICounter&, const std::string&)> Store;
    std::function<std::string(ICounter&)> Current; // already escaped for the page
    std::function<std::string(const std::string&)> Confirmation;
    std::function<std::string(const std::string&)> Error;
    std::function<std::string(const std::string&)> CurrentLine;
    std::string_view Prompt;
};

std::string ValuePage(TWebRequest& request, ICounter& counter, const TValuePage& page) {
    TPageText body;
    std::string ed = request.QueryField("ed");
    if (ed.empty()) {
        body << "<br>";
    } else {
        bool stored = true;
        std::string refusal;
        try {
            page.Store(counter, ed);
        } catch (const ERefusedValue& error) {
            stored = false;
            refusal = RefusalLine(error.what());
        } catch (const std::exception&) {
            stored = false;
        }
        std::string value = page.Current(counter);
        body << (stored ? page.Confirmation(value) : page.Error(value) + refusal);
    }
    std::string current = page.Current(counter);
    body << page.CurrentLine(current) << page.Prompt;
    body << "<form action=\"" + ScriptLink(request) + "\" method=get>"
         << "<input name=page value=" + std::string(page.Page) + " type=hidden>" << ProofInput()
         << "<input name=ed type=text value=\"" + current + "\"><br>"
         << "<input type=submit value=\"Change\">"
         << "</form>"
         << "<br></font>";
    return body.Take();
}

} // namespace

std::string PageEditMenu(TWM&, TWebRequest& request, TCounterSession&) {
    TPageText body;
    body << "<br><b>Please, select the option you need and press \"Select\".</b><font color=black>"
         << "<form action=\"" + ScriptLink(request) + "\" method=get>"
         << "<input name=page type=radio value=editip checked>Edit IP - address list<br>"
         << "<input name=page type=radio value=editskip>Edit Skip - address<br>"
         << "<input name=page type=radio value=editskins>Edit Skin database<br>"
         << "<input name=page type=radio value=editinterval>Edit Interval value<br>"
         << "<input name=page type=radio value=editsname>Edit Site Name<br>"
         << "<input name=page type=radio value=editurl>Edit HomePage URL<br>"
         << "<input type=submit value=Select>"
         << "</form></font>";
    return body.Take();
}

// Carries out the address list command of the request: "del" removes the address, "add"
// stores it when it is within bounds. Returns the refusal line of an address not stored.
std::string AddressCommand(TWebRequest& request, const std::function<void(const std::string&)>& remove,
                           const std::function<void(const std::string&)>& add) {
    std::string ed = request.QueryField("ed");
    std::string val = request.QueryField("val");
    if (ed.empty() || val.empty()) return {};
    if (ed == "del") remove(val);
    if (ed != "add") return {};
    try {
        CheckStoredText(val, MaxAddressLength, "an address");
    } catch (const ERefusedValue& error) {
        return RefusalLine(error.what());
    }
    add(val);
    return {};
}

std::string PageEditIP(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    std::string refusal = AddressCommand(
        request, [&](const std::string& ip) { counter.DeleteHost(ip); },
        [&](const std::string& ip) { counter.RegisterVisit(ip, "", Now(), false, true, true); });
    return refusal + AddressListPage(request, {"editip", "IP", true}, counter.GetHostList(0), HostAddress);
}

std::string PageEditSkip(TWM&, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    std::string refusal = AddressCommand(
        request, [&](const std::string& ip) { counter.DeleteSkipIP(ip); },
        [&](const std::string& ip) { counter.AddSkipIP(ip); });
    return refusal + AddressListPage(request, {"editskip", "Skip IP", false}, counter.GetSkipList(), WholeEntry);
}

std::string PageEditURL(TWM&, TWebRequest& request, TCounterSession& session) {
    return ValuePage(
        request, session.Counter(),
        {"editurl",
         [](ICounter& c, const std::string& text) {
             CheckHomePageURL(text);
             c.SetHomePageURL(text);
         },
         [](ICounter& c) { return Html(c.GetHomePageURL()); },
         [](const std::string& v) { return "<br>HomePageURL changed to: <b>" + v + "</b>"; },
         [](const std::string& v) {
             return "<br>Error!!! HomePage URL is <b><font color=navy>not</font></b> changed!!! Current Value is: "
                    "<b><font color=navy>" +
                    v + "</font></b>";
         },
         [](const std::string& v) {
             return "<br>Current value of HomePageURL is: <b><font color=navy>" + v + "</font></b>";
         },
         "Enter new value of HomePage URL and press <b><font color=navy>'Change'</font></b><br>"});
}

std::string PageEditInterval(TWM&, TWebRequest& request, TCounterSession& session) {
    return ValuePage(request, session.Counter(),
                     {"editinterval", [](ICounter& c, const std::string& text) { c.SetInterval(StrToInt(text)); },
                      [](ICounter& c) { return IntToStr(c.GetInterval()); },
                      [](const std::string& v) { return "<font color=black>Interval changed to: " + v + "</font>"; },
                      [](const std::string& v) {
                          return "<font color=black>Error!!! Interval <b><font color=navy>not</font></b> changed!!! "
                                 "Current Value is: " +
                                 v + "</font>";
                      },
                      [](const std::string& v) {
                          return "<font color=black>Current value of <b><font color=navy>Interval is: " + v +
                                 "</font></b>";
                      },
                      "Enter new value of <b><font color=navy>Interval</font></b> in <b><font "
                      "color=navy>minutes</font></b> and press "
                      "<b><font color=navy>'Change'</font></b><br>"});
}

std::string PageEditSiteName(TWM&, TWebRequest& request, TCounterSession& session) {
    return ValuePage(
        request, session.Counter(),
        {"editsname",
         [](ICounter& c, const std::string& text) {
             CheckStoredText(text, MaxSiteNameLength, "the site name");
             c.SetSiteName(text);
         },
         [](ICounter& c) { return Html(c.GetSiteName()); },
         [](const std::string& v) { return "<br>Site name changed to: <b><font color=navy>" + v + "</font></b>"; },
         [](const std::string& v) {
             return "<br>Error!!! Site name is <b><font color=navy>not</font></b> changed!!! Current Value is: "
                    "<b><font color=navy>" +
                    v + "</font></b>";
         },
         [](const std::string& v) {
             return "<br>Current value of Site name is: <b><font color=navy>" + v + "</font></b>";
         },
         "Enter new value of Site name and press <b><font color=navy>'Change'</font></b><br>"});
}

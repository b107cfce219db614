// The shared counter, the page frame, the routines of the page bodies and the main handler.
// The page bodies themselves are in the Page*.cpp files of this folder.
#include "webadmin/UWMAdm.h"

#include <cmath>
#include <cstdio>

#include "platform/FileUtils.h"
#include "platform/Heap.h"
#include "platform/Report.h"
#include "webadmin/RequestGuard.h"
#include "webadmin/SkinAnswers.h"
#include "webadmin/WebModule.h"

TRef<ICounter> CounterBase;
std::string ProgramDir;
std::string ProgramPath;

namespace {

const std::string CRLF = "\r\n";
const std::string Q = "\"";

// The operator's settings: the product's home page behind the logo, the site a referrer link
// falls back to, and the texts of the title row.
const std::string ProductHomePage = "http://www.example.com/";
const std::string DefaultSiteAddress = "www.example.com";
const std::string VersionTitle = "<font size=+1><b>Kestrow Web Access 1.0</b></font>";
const std::string ContactLinks = "<a href=\"mailto:webmaster@example.com\">webmaster@example.com</a> | <a "
                                 "href=\"http://www.example.com/\">www.example.com</a>";
const std::string CreditsText =
    "<b>Kestrow Web Access</b> - visit statistics of your site, kept in a database of your own.";

const std::string UnavailableText = "Counter base is unavaliable, please try again in few second.<br>";

using TPageBody = std::string (*)(TWM&, TWebRequest&, TCounterSession&);

struct TPageRoute {
    std::string_view Name;
    std::string_view Prefix;
    bool OpensCounter;
    // Whether a non-empty field "ed" asks the page to change the database.
    bool Edits;
    // The heap the page makes resident before it runs (see PrepareHeap and PageHeapBytes): bytes
    // per host, and sixteenths of what the file holds besides the hosts.
    uint16_t HostHeap;
    uint8_t RestHeapSixteenths;
    TPageBody Body;
};

std::string AboutContent(TWM&, TWebRequest&, TCounterSession&) {
    return CRLF + "<br><table width=100% ><tr><td width=45% valign=top>" + AboutText +
           "</td><td width=5%>&nbsp</td><td width=50% valign=top>" + DescriptionText + "</td></tr></table>";
}

const TPageRoute PageRoutes[] = {
    {"admin", "", false, false, 0, 0, AboutContent},
    {"edit", "", false, false, 0, 0, PageEditMenu},
    {"brdate", "<br>", true, false, 0, 3, PageCalendar},
    {"bradv", "", true, true, 0, 2, PageNodes},
    {"brref", "", true, true, 0, 0, PageReferers},
    {"browse", "", true, false, 8, 0, PageBrowse},
    {"editinterval", "<br>", true, true, 0, 0, PageEditInterval},
    {"editurl", "<font color=black><br>", true, true, 0, 0, PageEditURL},
    {"editsname", "<font color=black><br>", true, true, 0, 0, PageEditSiteName},
    {"editip", "<font color=black><br>", true, true, 250, 0, PageEditIP},
    {"editskip", "<font color=black><br>", true, true, 0, 0, PageEditSkip},
    {"editskins", "<font color=black><br>", true, true, 0, 0, PageEditSkins},
};

// What a host takes in the file, about.
constexpr uint64_t HostFileBytes = 90;

// The host lists take memory by the host (the rows and the page text); the calendar and the
// site pages by the page, which the part of the file besides the hosts stands for. Erring high
// costs less than erring low: nothing on huge pages, and on small ones a page made resident
// ahead costs far less than the fault it saves. But every byte of the estimate is made resident
// there, so each figure is what its page's heap reached at 100,000 and 1,000,000 hosts, with a
// margin, not a bound far above it.
size_t PageHeapBytes(const TPageRoute& route, ICounter& counter) {
    if (!route.HostHeap && !route.RestHeapSixteenths) return 0;
    uint64_t hosts = 0;
    try {
        hosts = uint64_t(std::max(counter.GetHostCount(), 0));
    } catch (const std::exception&) {
        // What is wrong with the host list is the page's to report.
    }
    uint64_t bytes = hosts * route.HostHeap;
    if (route.RestHeapSixteenths) {
        uint64_t file = FileSizeOf(CounterDatabaseFile(ProgramPath));
        uint64_t rest = file - std::min(file, hosts * HostFileBytes);
        bytes += rest / 16 * route.RestHeapSixteenths;
    }
    return size_t(std::min<uint64_t>(bytes, SIZE_MAX));
}

const TPageRoute* FindRoute(std::string_view page) {
    for (const TPageRoute& route : PageRoutes)
        if (route.Name == page) return &route;
    return nullptr;
}

// Whether the request asks the page to change the database. Showing the skin upload form
// ("addpg") changes nothing.
bool IsChange(const TPageRoute& route, const TWebRequest& request) {
    if (!route.Edits) return false;
    std::string ed = request.QueryField("ed");
    return !ed.empty() && ed != "addpg";
}

std::string ChangeRefusal(const TWebRequest& request, std::string_view page, std::string_view refusal) {
    return RefusalLine(refusal) + "<br><a href=" + Q + ScriptLink(request) + "?page=" + std::string(page) + Q +
           ">Back to the page</a><br>";
}

void SendUnavailable(std::string html, TWebRequest& request, TWebResponse& response) {
    response.ContentType = "text/html";
    response.Content = html + UnavailableText + "<a href=" + Q + ScriptLink(request) + "?page=admin" + Q +
                       ">Enter into admin interface</a>" + "</body></html>";
    response.SendResponse();
}

// html followed by body: a list page's body runs to megabytes, so the few bytes before it go in
// front of it rather than it after them.
void AppendBody(std::string& html, std::string body) {
    if (body.size() <= html.size()) {
        html += body;
        return;
    }
    body.insert(0, html);
    html = std::move(body);
}

} // namespace

const std::string AboutText =
    "<font size=+1><b>Kestrow Web Access</b></font><br><br>"
    "The administration pages of your site's visit counter.<br><br>"
    "The statistics are kept in one database file beside this program; nothing leaves your "
    "server.<br><br>"
    "This program has no login of its own: protect it with your web server's authentication.<br><br>"
    "Questions and suggestions: <a href=\"mailto:webmaster@example.com\">webmaster@example.com</a>";

const std::string DescriptionText =
    "Counter is a system for gathering and reviewing statistics, analysis of web-site attendance "
    "(as well as separate web-pages)."
    "<p><font size=+1>Basic functions and advantages of the system:</font></p>"
    "<ul>"
    "<li>statistics of hits and hosts, in total and by date, of unique IP addresses and of referring sites;</li>"
    "<li>statistics for separate pages of the site;</li>"
    "<li>calendar statistics by time and by page;</li>"
    "<li>reading the statistics over the web;</li>"
    "<li>setting the system up over the web;</li>"
    "<li>a database of its own, owned by the site owner;</li>"
    "<li>counter skins, and hiding the counter.</li>"
    "</ul>"
    "<p><font size=+1>Special advantages of the system:</font></p>"
    "<ul>"
    "<li>counting runs on the site's own server;</li>"
    "<li>the database belongs to the site owner;</li>"
    "<li>calendar statistics for every page.</li>"
    "</ul>";

const std::string SeparatorTable =
    "<TABLE Style=" + Q + "border-top:1px solid; border-bottom: 0px" + Q + "  width=" + Q + "100%" + Q +
    " border=0 height=0 cellspacing=0  cellpading=0 bgcolor=gray><TR><TD border=0 height=0></TD></TR></TABLE>";

const std::string_view MonthNamesUpper[13] = {"",    "JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
const std::string_view MonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const int MonthDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

std::string CounterDatabaseFile(std::string_view programPath) {
    size_t slash = programPath.rfind('/');
    std::string_view dir = slash == std::string_view::npos ? std::string_view() : programPath.substr(0, slash + 1);
    std::string_view name = slash == std::string_view::npos ? programPath : programPath.substr(slash + 1);
    size_t dot = name.rfind('.');
    std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
    // The part before the first occurrence of the extension; a name without one is kept whole.
    std::string_view base = ext.empty() ? name : name.substr(0, name.find(ext));
    return std::string(dir) + std::string(base) + ".ostra";
}

namespace {

// Sessions holding the shared counter now; the database closes when the last one lets go.
int CounterOpenings = 0;

// Makes CounterBase available, creating a missing database with the default skin of Module;
// CounterBase stays nil when the database cannot be opened.
void OpenCounterBase(TWM& module) {
    std::string file = CounterDatabaseFile(ProgramPath);
    std::vector<TMemoryStream> streams;
    TSkinStreams images{};
    if (!FileExists(file)) {
        streams.resize(SkinImageCount);
        for (int i = 0; i < SkinImageCount; ++i) {
            std::vector<uint8_t> bmp = ImageLibBitmap(module.DefSkin, i).SaveToBMP();
            streams[size_t(i)].Write(bmp);
            streams[size_t(i)].Seek(0);
            images[size_t(i)] = &streams[size_t(i)];
        }
    }
    if (!CounterBase) CounterBase = OpenCounter(file, images);
}

} // namespace

TCounterSession::TCounterSession(TWM& module) : FState(TState::Unavailable) {
    OpenCounterBase(module);
    if (!CounterBase) return;
    ++CounterOpenings;
    FState = TState::Open;
}

TCounterSession::~TCounterSession() {
    try {
        Release();
    } catch (const std::exception& error) {
        // Left by an exception or an answer that went out early: the commit failure is reported.
        ReportWarning(error.what(), "Counter");
    }
}

ICounter& TCounterSession::Counter() const {
    if (FState != TState::Open || !CounterBase) throw Exception("The counter database is not open");
    return *CounterBase;
}

void TCounterSession::Release() {
    if (FState != TState::Open) return;
    FState = TState::Released;
    CounterOpenings = std::max(CounterOpenings - 1, 0);
    if (CounterOpenings == 0 && CounterBase) CloseCounter(CounterBase);
}

void FinalizeCounterBase() {
    CounterOpenings = 0;
    if (!CounterBase) return;
    try {
        CloseCounter(CounterBase);
    } catch (const std::exception& error) {
        ReportWarning(error.what(), "Counter");
    }
    CounterBase = nullptr;
}

std::string Html(std::string_view value) { return HtmlEscape(value); }

std::string ScriptLink(const TWebRequest& request) { return HtmlEscape(request.ScriptName()); }

const std::string CrossSiteRefusalText =
    "Refused: this change was asked for by another web site. Nothing was changed; make it with the form of the page "
    "linked below.";

const std::string ProofRefusalText =
    "Refused: this change does not carry the proof that it comes from this program's own page. Nothing was changed; "
    "make it with the form of the page linked below.";

std::string ChangeProof() {
    // Read once per key file: a page shows the proof in several forms.
    static std::string keyFile, proof;
    std::string file = CounterDatabaseFile(ProgramPath) + "-key";
    if (file != keyFile) {
        proof = KeptSecret(file);
        keyFile = file;
    }
    return proof;
}

std::string ProofInput() { return "<input name=proof type=hidden value=" + ChangeProof() + ">"; }

std::string_view ChangeRefusalText(const TWebRequest& request) {
    if (IsCrossSiteRequest(request)) return CrossSiteRefusalText;
    if (!SameSecret(request.QueryField("proof"), ChangeProof())) return ProofRefusalText;
    return {};
}

std::string RefusalLine(std::string_view message) {
    return "<br><font color=red><b>" + Html(message) + "</b></font><br>";
}

std::string PageHeader(TWM&, TWebRequest& request, ICounter* counter) {
    std::string nav;
    std::string siteName;
    if (counter) {
        std::string url = counter->GetHomePageURL();
        // A stored URL of another scheme (javascript:, data:) is shown, never linked.
        if (IsLinkableURL(url))
            nav = "<a href=" + Q + Html(url) + Q + " target=" + Q + "blank" + Q + "><font color=#d3ecfe>" + Html(url) +
                  "</font></a>";
        else
            nav = "<font color=#d3ecfe>" + Html(url) + "</font>";
        siteName = Html(counter->GetSiteName());
    } else {
        nav = "<font color=red><b>Navigation</b></font>";
    }

    std::string sn = ScriptLink(request);
    static const std::pair<std::string_view, std::string_view> Links[] = {
        {"Basic Info", "?page=browse&col=20"},
        {"Site pages' info", "?page=bradv"},
        {"Calendar Stat", "?page=brdate&seltype=1"},
        {"Refering stat", "?page=brref"},
        {"Edit settings", "?page=edit"},
        {"About", "?page=admin"},
    };
    std::string navBar =
        "<table width=100% border=1 cellspacing=0 cellspading=0 bgcolor=navy><tr><td width=22% align=left>" + nav;
    for (const auto& [label, query] : Links)
        navBar += CRLF + "<td width=13% align=center><a href=" + Q + sn + std::string(query) + Q +
                  "><font color=#ffffb0>" + std::string(label) + "</font></a></td>";
    navBar += "</table><br><center><font size=+2><b>" + siteName + "</b></font></center>";

    std::string result = "<html><head><title>Kestrow Web Access - " + siteName +
                         "</title></head><body text=#003399 bgcolor=#EEEEEE alink=#003399 vlink=#003399 "
                         "link=#003399 style=" +
                         Q + "font-family='times';" + Q + ">";
    const std::string pieces[] = {
        "<style><!--  a {text-decoration:none; font-weight:bolder;}",
        "a:hover {text-decoration:underline;}",
        " --></style>",
        "<table border=0 width=100% cellspacing=0 cellpading=0>",
        "<tr border=0 bgcolor=#B9D1EA>",
        "<td width=20%>",
        VersionTitle,
        "<td width=20>",
        "<td colspan=2>" + ContactLinks,
        "<tr height=10><td colspan=4></td></tr>",
        "<tr><td  valign=" + Q + "top" + Q + " align=left width=20%><a href=" + Q + ProductHomePage + Q +
            "><img border=0 src=" + Q + sn + "?logos=1&img=0" + Q + " alt=" + Q + "Kestrow LOGO" + Q + ">",
        "</a></td>",
        "<td width=20>&nbsp</td>",
        "<td valign=top>",
        CreditsText,
        "</td>",
        "<td align=right width=28% valign=top>",
        "</tr><tr height=5><td colspan=4></td></tr></table>",
        navBar,
    };
    for (const std::string& piece : pieces) result += CRLF + piece;
    return result;
}

std::string PageFooter(TWM& module, TWebRequest&) {
    const std::string& banner0 = module.Bunners.Lines.size() > 0 ? module.Bunners.Lines[0] : std::string();
    const std::string& banner1 = module.Bunners.Lines.size() > 1 ? module.Bunners.Lines[1] : std::string();
    const std::string spacer = "<center><TABLE bgcolor=white border=0 cols=1 cellspacing=0 cellpadding=3 width=474>" +
                               CRLF + "<TR><TD width=100% valign=top height=2></table>";
    std::string footer = CRLF + "<br>" + SeparatorTable + "<br>";
    footer += CRLF + CRLF + spacer + CRLF +
              "<TABLE align=center border=0 cols=3 cellspacing=0 cellpadding=0 width=474>" + CRLF +
              "<TR><td width=3 bgcolor=white><TD bgcolor=" + Q + "#003399" + Q +
              " width=468 ><font color=white><b>&nbspReklam:</b></font><td width=3 bgcolor=white></table>" + CRLF +
              "<TABLE bgcolor=white border=0 cols=1 cellspacing=0 cellpadding=3 width=474>" + CRLF +
              "<TR><TD width=100% valign=top></table>";
    footer += CRLF +
              "<center><TABLE bgcolor=white align=center border=0 cols=1 cellspacing=0 cellpadding=0 width=474>" +
              "<tr><td width=100%  align=center>" + banner0 + "</table>";
    footer += CRLF + CRLF + spacer;
    footer += CRLF + "<TABLE bgcolor=white align=center border=0 cols=1 cellspacing=0 cellpadding=0 width=474>" + CRLF +
              "<tr><td width=100%  align=center>";
    footer += CRLF + "<center>" + banner1 + "</table>" + CRLF + spacer;
    footer += "</body></html>";
    return footer;
}

int32_t SumOf(std::span<const int32_t> values) {
    int64_t sum = 0;
    for (int32_t v : values) sum += v;
    return int32_t(sum);
}

int32_t MaxOf(std::span<const int32_t> values) {
    int32_t largest = 0;
    for (int32_t v : values) largest = std::max(largest, v);
    return largest;
}

double AverageOf(std::span<const int32_t> values) {
    if (values.empty()) return 0;
    return double(SumOf(values)) / double(values.size());
}

std::string TwoDigitText(int32_t n) {
    std::string text = std::to_string(n);
    if (n < 10) text.insert(text.begin(), '0');
    return text;
}

int MonthIndex(std::string_view text) {
    std::string upper = UpperCase(text);
    int found = 1;
    for (int month = 1; month <= 12; ++month)
        if (upper == MonthNamesUpper[month]) found = month;
    return found;
}

int DaysInMonth(int month, int year) {
    if (month < 1 || month > 12) return 0;
    if (month == 2 && IsLeapYear(year)) return 29;
    return MonthDays[month];
}

std::string BuildHomeURL(std::string_view host) {
    std::string upper = UpperCase(host);
    if (host.empty() || upper == "UNKNOWN") return "http://" + DefaultSiteAddress;
    if (!upper.starts_with("WWW.")) return "http://WWW." + std::string(host);
    return "http://" + std::string(host);
}

int SortModeField(const TWebRequest& request, int max, int defaultMode) {
    std::string text = request.QueryField("sort");
    if (text.empty()) return defaultMode;
    int32_t mode = StrToIntDef(text, defaultMode);
    return mode >= 0 && mode <= max ? mode : defaultMode;
}

namespace {
constexpr int32_t DefaultRowCount = 20;
}

int RowCountField(const TWebRequest& request, int count) {
    std::string text = request.QueryField("col");
    int32_t rows = text.empty() ? DefaultRowCount : StrToInt(text);
    return std::min(rows, int32_t(count));
}

std::optional<int32_t> WantedRowCount(const TWebRequest& request) {
    std::string text = request.QueryField("col");
    return text.empty() ? DefaultRowCount : TryStrToInt(text);
}

std::string FormatFixed2(double value) {
    double hundredths = std::round(std::fabs(value) * 100.0); // halves away from zero
    char text[64];
    std::snprintf(text, sizeof text, "%s%.0f.%02d", value < 0 && hundredths > 0 ? "-" : "",
                  std::floor(hundredths / 100.0), int(std::fmod(hundredths, 100.0)));
    return text;
}

std::string FormatDate(TDateTime value) {
    TDateParts p = DecodeDateTime(value);
    return StrFormat("%02d.%02d.%04d", p.Day, p.Month, p.Year);
}

namespace {
// "DD?MM?YYYY?hh?mm?ss" with the five separators given, as printf's %02d and %04d write the
// parts; list pages write one per row, so the usual dates skip printf.
std::string FormatDateParts(const TDateParts& p, std::string_view separators) {
    auto inRange = [](int value, int limit) { return value >= 0 && value < limit; };
    if (!inRange(p.Day, 100) || !inRange(p.Month, 100) || !inRange(p.Year, 10000) || !inRange(p.Hour, 100) ||
        !inRange(p.Minute, 100) || !inRange(p.Second, 100)) {
        std::string pattern = "%02d";
        for (size_t i = 0; i < separators.size(); ++i) pattern += separators[i] + std::string(i == 1 ? "%04d" : "%02d");
        return StrFormat(pattern.c_str(), p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second);
    }
    char text[19];
    auto put = [&](size_t at, int value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10) text[at + size_t(i)] = char('0' + value % 10);
    };
    put(0, p.Day, 2);
    put(3, p.Month, 2);
    put(6, p.Year, 4);
    put(11, p.Hour, 2);
    put(14, p.Minute, 2);
    put(17, p.Second, 2);
    constexpr size_t SeparatorAt[] = {2, 5, 10, 13, 16};
    for (size_t i = 0; i < std::size(SeparatorAt); ++i) text[SeparatorAt[i]] = separators[i];
    return std::string(text, sizeof text);
}
} // namespace

std::string FormatDateTimeDashed(TDateTime value) { return FormatDateParts(DecodeDateTime(value), "--/--"); }

std::string FormatDateTimeDotted(TDateTime value) { return FormatDateParts(DecodeDateTime(value), "..-::"); }

void WMMainItemAction(TWM& module, TWebRequest& request, TWebResponse& response) {
    if (LowerCase(request.ContentType()).find("multipart/form-data") != std::string::npos) {
        WebModule1SaveImgAction(module, request, response);
        return;
    }
    if (!request.QueryField("logos").empty()) {
        WebModule1ImgsAction(module, request, response);
        return;
    }
    // A form-encoded body is read whole before the database is opened: a client that stalls
    // half-way holds nothing.
    std::string page = request.QueryField("page");
    if (page.empty()) page = request.ContentField("page");
    if (page.empty()) {
        if (!request.QueryField("skin").empty()) {
            SkinPreviewAnswer(module, request, response);
            return;
        }
        if (!request.QueryField("diagram").empty()) {
            DiagramAnswer(module, request, response);
            return;
        }
        page = "admin";
    }

    std::string html;
    if (const TPageRoute* route = FindRoute(page)) {
        // The database stays open from the header to the end of the body, so that a request
        // opens, locks and commits the file once.
        TCounterSession session(module);
        html = PageHeader(module, request, session.CounterOrNil()) + std::string(route->Prefix);
        std::string_view refusal = IsChange(*route, request) ? ChangeRefusalText(request) : std::string_view();
        if (!refusal.empty()) {
            session.Release();
            html += ChangeRefusal(request, route->Name, refusal);
        } else if (route->OpensCounter) {
            if (!session.IsOpen()) {
                SendUnavailable(html, request, response);
                return;
            }
            PrepareHeap(PageHeapBytes(*route, session.Counter()));
            AppendBody(html, route->Body(module, request, session));
            session.Release();
            if (response.Sent()) return;
        } else {
            session.Release();
            AppendBody(html, route->Body(module, request, session));
        }
    } else {
        html = "<center><br><br><font color=black><b>Unknown request!!!</b></font>";
    }
    html += PageFooter(module, request);
    response.ContentType = "text/html";
    response.Content = std::move(html);
    response.Location = request.URL();
    response.SendResponse();
}

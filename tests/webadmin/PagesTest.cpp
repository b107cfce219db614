// The page bodies on a real database: settings changed through their pages and seen on the
// list pages, sort and row-count fields, the calendar periods, and escaping of stored values.
#include "WebFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Monday 1 March 2004, 10:00 (a leap year; February has 29 days).
const TDateTime FixedNow = EncodeDate(2004, 3, 1) + EncodeTime(10, 0, 0, 0);

class Pages : public WebTest {
protected:
    void SetUp() override {
        WebTest::SetUp();
        SetNowSource([] { return FixedNow; });
    }
};

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

TEST_F(Pages, SingleValueSettings) {
    std::string first = Page("page=editsname");
    EXPECT_TRUE(Has(
        first, "<font size=+2><b>Your Site</b></font></center><font color=black><br>\r\n<br>\r\n"
               "<br>Current value of Site name is: <b><font color=navy>Your Site</font></b>\r\n"
               "Enter new value of Site name and press <b><font color=navy>'Change'</font></b><br>\r\n"
               "<form action=\"/cgi-bin/counter\" method=get>\r\n<input name=page value=editsname type=hidden>\r\n"
               "<input name=proof type=hidden value=" +
                   ChangeProof() +
                   ">\r\n<input name=ed type=text value=\"Your Site\"><br>\r\n<input type=submit value=\"Change\">\r\n"
                   "</form>\r\n<br></font>\r\n<br>"));
    EXPECT_TRUE(
        Has(Page("page=editsname&ed=My+Site"), "\r\n<br>Site name changed to: <b><font color=navy>My Site</font></b>"));
    EXPECT_TRUE(Page("page=admin").starts_with("<html><head><title>Kestrow Web Access - My Site</title>"));

    std::string bad = Page("page=editinterval&ed=abc");
    EXPECT_TRUE(Has(bad, "<br>\r\n<font color=black>Error!!! Interval <b><font color=navy>not</font></b> changed!!! "
                         "Current Value is: 720</font>\r\n<font color=black>Current value of <b><font color=navy>"
                         "Interval is: 720</font></b>"));
    EXPECT_TRUE(Has(Page("page=browse"), "Current Interval value: \r\n<td align=right><font color=black>\r\n"
                                         "720 min (12 hours-0 minutes)"));
    EXPECT_TRUE(Has(Page("page=editinterval&ed=-90"), "<font color=black>Interval changed to: -90</font>"));
    EXPECT_TRUE(Has(Page("page=browse"), "-90 min (-1 hours--30 minutes)"));

    EXPECT_TRUE(
        Has(Page("page=editurl&ed=http://example.org/"), "<br>HomePageURL changed to: <b>http://example.org/</b>"));
    std::string browse = Page("page=browse");
    EXPECT_TRUE(Has(
        browse, "<a href=\"http://example.org/\" target=\"blank\"><font color=#d3ecfe>http://example.org/</font></a>"));
    EXPECT_TRUE(Has(browse, "HomePage URL: \r\n<td align=right><font color=black>\r\nhttp://example.org/"));
    EXPECT_TRUE(Has(browse, "DataBase creation date: \r\n<td align=right><font color=black>\r\n"));
}

TEST_F(Pages, StoredMarkupIsShownAsText) {
    Page("page=editsname&ed=%3Cscript%3Ealert(1)%3C%2Fscript%3E");
    Page("page=bradv&ed=add&val=%3Cb%3Eb%26%22x%22%3C%2Fb%3E");
    std::string nodes = Page("page=bradv");
    EXPECT_TRUE(
        nodes.starts_with("<html><head><title>Kestrow Web Access - &lt;script&gt;alert(1)&lt;/script&gt;</title>"));
    EXPECT_FALSE(Has(nodes, "<script>"));
    EXPECT_TRUE(Has(nodes, "<td><font color=black>&lt;b&gt;b&amp;&quot;x&quot;&lt;/b&gt;</font>"));
    EXPECT_TRUE(Has(nodes, "<option value=\"&lt;b&gt;b&amp;&quot;x&quot;&lt;/b&gt;\">"));
    std::string settings = Page("page=editsname");
    EXPECT_TRUE(Has(settings, "<input name=ed type=text value=\"&lt;script&gt;alert(1)&lt;/script&gt;\">"));
    // The calendar carries a chosen page name in links URL-encoded, and in the month form's
    // unquoted attribute escaped, blanks included.
    std::string calendar = Page("page=brdate&type=lmd&nodes=cus&nname=a%20b%3E");
    EXPECT_TRUE(Has(calendar, "&nodes=cus&nname=a%20b%3E\"><font color=#2f2feb>Previous month</font></a><br>"));
    EXPECT_TRUE(Has(calendar, "<td><font color=black>a b&gt;</font></td>"));
    std::string form = Page("page=brdate&type=cus&nodes=cus&nname=a%20b%3E");
    EXPECT_TRUE(Has(form, "<input name=nname type=hidden value=a&#32;b&gt;>"));
    // A plain value gives the literal bytes.
    EXPECT_TRUE(Has(Page("page=brdate&type=cus&nodes=all&nname="),
                    "<input name=nodes type=hidden value=all>\r\n"
                    "<input name=nname type=hidden value=>\r\n<select name=mon>"));
}

TEST_F(Pages, AddressListsAndBrowse) {
    std::string empty = Page("page=editskip");
    EXPECT_TRUE(Has(empty, "Select value of Skip IP - address to delete it: <br>\r\n<br>" + SeparatorTable));
    EXPECT_FALSE(Has(empty, "<select name=val>"));

    for (int i = 1; i <= 12; ++i) Page("page=editip&ed=add&val=10.0.0." + std::to_string(i));
    Page("page=editskip&ed=add&val=10.9.9.9");
    Page("page=editip&ed=add&val=10.9.9.9"); // on the skip list: not added
    std::string ip = Page("page=editip&ed=del&val=10.0.0.5");
    EXPECT_TRUE(Has(ip, "<select name=val>\r\n<option value=\"10.0.0.1\">10.0.0.1</option>\r\n"
                        "<option value=\"10.0.0.10\">10.0.0.10</option>"));
    EXPECT_FALSE(Has(ip, "\"10.0.0.5\""));
    EXPECT_FALSE(Has(ip, "\"10.9.9.9\""));
    EXPECT_TRUE(Has(ip, "<input type=submit value=\"Delete IP\"><br>\r\n</form></font>"));

    std::string browse = Page("page=browse");
    EXPECT_TRUE(Has(browse, "Unique IP count: \r\n<td align=right><font color=black>\r\n11"));
    EXPECT_TRUE(Has(browse, "Total Host count (current counter value):\r\n<td align=right><font color=black>\r\n12"));
    EXPECT_TRUE(Has(browse, "<tr>\r\n<td><font color=black>10.9.9.9</font>\r\n</table><br>"));
    EXPECT_TRUE(Has(browse, "<input name=col value=\"\" type=hidden>"));
    EXPECT_TRUE(Has(browse, "<input type=radio name=sort value=1 checked>Last visiting date-time<br>"));
    EXPECT_TRUE(Has(browse, "<input name=col type=text value=\"11\">"));
    EXPECT_TRUE(Has(browse, "<td align=right><font color=black>01-03-2004/10-00-00</font>"));
    EXPECT_TRUE(Has(browse, "<td align=right><font color=black>1/1</font>"));
    EXPECT_TRUE(Has(browse, "<td>&nbsp</td><td align=right><b><font color=black>11</font></b></td></tr>"));
    EXPECT_TRUE(Has(browse, "Today Hits/Hosts: \r\n<td align=right><font color=black>\r\n0/12"));
    EXPECT_TRUE(Has(browse, "<tr height=100% valign=\"center\"><td width=60 valign=center><font color=black>Skin # 0"
                            "</font><td valign=center align=left><img src=\"/cgi-bin/counter?skin=0\"><br>"));
    EXPECT_EQ(CountOf(browse, "<td align=right><font color=black>1/1</font>"), 11u);

    EXPECT_EQ(CountOf(Page("page=browse&col=500&sort=3"), "1/1</font>"), 11u);
    EXPECT_TRUE(Has(Page("page=browse&col=500&sort=3"), "<input type=radio name=sort value=3 checked>Host count<br>"));
    std::string none = Page("page=browse&col=0&sort=9");
    EXPECT_EQ(CountOf(none, "1/1</font>"), 0u);
    EXPECT_TRUE(Has(none, "<input name=col value=\"0\" type=hidden>"));
    EXPECT_TRUE(Has(none, "<input type=radio name=sort value=1 checked>"));
    EXPECT_TRUE(Has(none, "<b><font color=black>11</font></b></td></tr>"));
    std::string negative = Page("page=browse&col=-4&sort=-1");
    EXPECT_EQ(CountOf(negative, "1/1</font>"), 0u);
    EXPECT_TRUE(Has(negative, "<input name=col type=text value=\"-4\">"));
    EXPECT_TRUE(Has(negative, "<input name=col value=\"-4\" type=hidden>"));
    EXPECT_TRUE(Has(Page("page=browse&sort=x"), "<input type=radio name=sort value=1 checked>"));
    std::string sorted = Page("page=browse&col=2&sort=0");
    EXPECT_TRUE(Has(sorted, "<td><font color=black>10.0.0.1</font>\r\n<td align=right>"));
    EXPECT_TRUE(Has(sorted, "<td><font color=black>10.0.0.10</font>\r\n<td align=right>"));
    EXPECT_FALSE(Has(sorted, "<td><font color=black>10.0.0.11</font>"));

    std::string skip = Page("page=editskip&ed=del&val=10.9.9.9");
    EXPECT_FALSE(Has(skip, "<option"));
}

TEST_F(Pages, SkinRowsShareTheHeightRoundedToEven) {
    Page("");
    WithCounter([](ICounter& c) {
        TSkinImages images;
        c.GetSkinImages(0, images);
        TSkinStreams streams{};
        for (int i = 0; i < SkinImageCount; ++i) streams[size_t(i)] = images[size_t(i)].get();
        for (int i = 0; i < 7; ++i) c.AddSkin(streams);
        c.DeleteSkin(3);
    });
    std::string browse = Page("page=browse");
    // 8 skins: 100 / 8 = 12.5 gives 12; the emptied skin 3 has no row but counts.
    EXPECT_EQ(CountOf(browse, "<tr height=12% valign=\"center\">"), 7u);
    EXPECT_FALSE(Has(browse, "Skin # 3<"));
    EXPECT_TRUE(Has(browse, "Skin # 7</font><td valign=center align=left><img src=\"/cgi-bin/counter?skin=7\"><br>"));
}

TEST_F(Pages, SitePagesAndReferrers) {
    std::string empty = Page("page=bradv");
    EXPECT_TRUE(Has(empty, "<input type=radio name=sort value=2 checked>Hit count<br>"));
    EXPECT_TRUE(Has(empty, "<br><input type=submit value=\"Add node\">\r\n</form>" + SeparatorTable + "\r\n<br>" +
                               SeparatorTable));
    EXPECT_FALSE(Has(empty, "name=form2"));

    Page("page=bradv&ed=add&val=index.html");
    Page("page=bradv&ed=add&val=news.html");
    WithCounter([](ICounter& c) {
        c.AddHitByDate("1.1.1.1", "index.html", FixedNow);
        c.RegisterNodeHit("1.1.1.1", "index.html", true);
        c.RegisterNodeHit("1.1.1.1", "index.html", true);
        c.RegisterNodeHit("1.1.1.1", "news.html", true);
        c.RegisterReferer("", FixedNow); // counted as "Unknown"
        for (int i = 0; i < 25; ++i) c.RegisterReferer("site" + std::to_string(i) + ".org", FixedNow - i);
        c.RegisterReferer("site3.org", FixedNow);
    });
    std::string nodes = Page("page=bradv");
    EXPECT_TRUE(Has(nodes, "<td><font color=black>index.html</font>"));
    EXPECT_TRUE(Has(nodes, "<td align=right><font color=black><b>3</b></td>\r\n</table><br></font>" + SeparatorTable));
    EXPECT_LT(nodes.find("index.html</font>"), nodes.find("news.html</font>"));
    EXPECT_TRUE(Has(nodes, "<select name=val>\r\n<option value=\"index.html\">index.html</option>"));
    EXPECT_FALSE(Has(Page("page=bradv&ed=del&val=news.html"), "news.html"));

    std::string refs = Page("page=brref");
    EXPECT_EQ(CountOf(refs, "<tr>\r\n<td><font color=black>"), 20u);
    EXPECT_TRUE(
        Has(refs, "<tr>\r\n<td><font color=black><a href=\"http://WWW.SITE3.ORG\" target=blank>SITE3.ORG</a></font>\r\n"
                  "<td align=right><font color=black>01.03.2004-10:00:00</font>\r\n"
                  "<td align=right><font color=black>2</font>"));
    EXPECT_TRUE(Has(refs, "<td>&nbsp</td><td align=right><b>26</b></td></tr>"));
    EXPECT_EQ(CountOf(refs, "<option value="), 26u);
    EXPECT_TRUE(Has(refs, "<input name=col type=hidden value=20>"));
    EXPECT_TRUE(Has(refs, "<input name=so type=hidden value=2>"));

    std::string byName = Page("page=brref&sort=0&col=100&ed=del&val=SITE7.ORG");
    EXPECT_TRUE(Has(byName, "<td><font color=black>Unknown</font>"));
    EXPECT_FALSE(Has(byName, "SITE7.ORG"));
    EXPECT_TRUE(Has(byName, "<input name=col type=hidden value=\"25\">\r\n<input name=sort type=hidden value=\"0\">"));
    EXPECT_TRUE(Has(byName, "<input type=radio name=sort value=0 checked>URL<br>"));
}

TEST_F(Pages, CalendarPeriods) {
    Page("page=bradv&ed=add&val=a.html");
    Page("page=bradv&ed=add&val=b.html");
    WithCounter([](ICounter& c) {
        c.AddHitByDate("1.1.1.1", "a.html", EncodeDate(2004, 2, 9));
        c.AddHitByDate("1.1.1.1", "a.html", EncodeDate(2004, 2, 9));
        c.AddHitByDate("1.1.1.1", "b.html", EncodeDate(2004, 2, 10));
        c.AddHostByDate("1.1.1.1", EncodeDate(2004, 2, 11));
    });

    std::string select = Page("page=brdate&seltype=1");
    EXPECT_TRUE(Has(select, "<Select name=nname><br>\r\n<option value=\"a.html\">a.html</option><br>"));
    EXPECT_FALSE(Has(select, "<table border=1"));

    std::string month = Page("page=brdate&type=cus&mon=feb&year=2004&nodes=all&nname=");
    EXPECT_TRUE(Has(month, "<td colspan=32>"));
    EXPECT_TRUE(Has(month, "<tr rowspan=2 bgcolor=navy>"));
    EXPECT_TRUE(Has(month, "<td align=center><font color=black>29</font></td>"));
    EXPECT_TRUE(Has(month, "<b>Statistics for feb 2004 </b>"));
    EXPECT_TRUE(
        Has(month, "?page=brdate&mon=JAN&year=2004&type=cus&nodes=all&nname=\"><font color=#2f2feb>Previous month"));
    EXPECT_TRUE(Has(month, "?page=brdate&type=lmd&nodes=all&nname=\"><font color=#2f2feb>Next month"));
    // a.html: 2 hits on the 9th; sum 2, highest 2, average 2/29 = 0.07.
    EXPECT_TRUE(Has(month, "<td align=center><font color=black>2</font></td>"));
    EXPECT_TRUE(Has(month, "<td align=center><b><font color=black>0.07</font></b></td>\r\n</tr>"));
    // Hosts row: one host on the 11th; the last summary cell ends the row.
    EXPECT_TRUE(Has(month, "Hosts(all site)</font></b></td>"));
    EXPECT_TRUE(
        Has(month, "<td align=center><b><font color=black>0.03</font></b></td></tr>\r\n</table></center></font>"));

    std::string one = Page("page=brdate&type=cus&mon=jan&year=2004&nodes=cus&nname=b.html");
    EXPECT_TRUE(Has(one, "mon=DEC&year=2003&type=cus&nodes=cus&nname=b.html"));
    EXPECT_TRUE(Has(one, "mon=FEB&year=2004&type=cus&nodes=cus&nname=b.html\"><font color=#2f2feb>Next month"));
    EXPECT_FALSE(Has(one, "a.html</font></td>"));
    EXPECT_TRUE(Has(one, "<td><font color=black>b.html</font></td>"));

    std::string current = Page("page=brdate&type=lmd&nodes=all");
    EXPECT_TRUE(Has(current, "mon=FEB&year=2004&type=cus&nodes=all&nname="));
    EXPECT_TRUE(Has(current, "Statistics for current month (Mar) per days"));
    EXPECT_TRUE(Has(current, "<td colspan=4>"));

    std::string week = Page("page=brdate&type=lwd");
    EXPECT_TRUE(Has(week, "<td colspan=5>")); // Sunday and Monday
    EXPECT_TRUE(Has(week, "<td><font color=white><b> Node name/date</font></b></td>"));
    EXPECT_TRUE(
        Has(week,
            "<td align=center><font color=black>29</font></td>\r\n<td align=center><font color=black>01</font></td>"));
    EXPECT_TRUE(Has(week, "</tr>\r\n</tr>"));

    std::string form = Page("page=brdate&type=cus&nodes=all");
    EXPECT_TRUE(Has(form, "<option value=\"Jan\" checked>Jan</option>"));
    EXPECT_TRUE(Has(form, "<option value=\"2004\">2004</option>"));
    EXPECT_TRUE(Has(form, "<option value=\"1995\">1995</option>\r\n</select>"));
    EXPECT_FALSE(Has(form, "1994"));

    EXPECT_TRUE(Has(Page("page=brdate&type=other"), "</center><br>\r\n<br>" + SeparatorTable));
    // The calendar's first and last years show as asked; a year beyond them fails the page.
    std::string first = Page("page=brdate&type=cus&mon=jan&year=1");
    EXPECT_TRUE(Has(first, "<b>Statistics for jan 1 </b>"));
    EXPECT_TRUE(Has(first, "mon=DEC&year=0&type=cus"));
    EXPECT_TRUE(Has(first, "<td align=center><font color=black>31</font></td>"));
    EXPECT_TRUE(Has(Page("page=brdate&type=cus&mon=dec&year=9999"), "mon=JAN&year=10000&type=cus"));
    for (std::string year : {"0", "10000", "99999", "-5"}) {
        TCgiAnswer beyond = Request("page=brdate&type=cus&mon=dec&year=" + year);
        EXPECT_TRUE(beyond.Head.starts_with("Status: 500 Internal Server Error\r\n")) << year;
        EXPECT_TRUE(Has(beyond.Body, "Exception: EConvertError<br>")) << year;
        FinalizeCounterBase();
    }
}

TEST_F(Pages, CalendarOnTheFirstOfJanuary) {
    SetNowSource([] { return EncodeDate(2005, 1, 1) + EncodeTime(0, 30, 0, 0); }); // a Saturday
    std::string current = Page("page=brdate&type=lmd&nodes=all&nname=");
    EXPECT_TRUE(Has(current, "?page=brdate&mon=DEC&year=2004&type=cus&nodes=all&nname=\">"));
    EXPECT_TRUE(Has(current, "<td colspan=4>"));
    EXPECT_TRUE(Has(Page("page=brdate&type=lwd"), "<td colspan=10>"));
}

// Pages that only show data leave the file as it was: the same bytes and the same modification
// time (once the first visits have made what a database makes on first use).
TEST_F(Pages, ReadOnlyRequestsLeaveTheFileUntouched) {
    for (int i = 1; i <= 5; ++i) Page("page=editip&ed=add&val=10.0.0." + std::to_string(i));
    Page("page=editskip&ed=add&val=10.9.9.9");
    Page("page=bradv&ed=add&val=/index.htm");
    const std::vector<std::string> readers = {"",
                                              "page=browse&col=20",
                                              "page=bradv",
                                              "page=brref",
                                              "page=editip",
                                              "page=brdate&type=lmd&nodes=all&nname=",
                                              "page=brdate&seltype=1"};
    for (const std::string& query : readers) Page(query);
    Request("skin=0");
    FinalizeCounterBase();

    auto bytes = [&] {
        std::ifstream in(DatabaseFile(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string before = bytes();
    auto past = std::filesystem::last_write_time(DatabaseFile()) - std::chrono::hours(1);
    std::filesystem::last_write_time(DatabaseFile(), past);
    for (const std::string& query : readers) {
        Page(query);
        EXPECT_EQ(std::filesystem::last_write_time(DatabaseFile()), past) << query;
    }
    EXPECT_TRUE(Request("skin=0").HasHeader("Content-Type: image/GIF"));
    FinalizeCounterBase();
    EXPECT_EQ(std::filesystem::last_write_time(DatabaseFile()), past);
    EXPECT_TRUE(bytes() == before);
}

} // namespace

// The routines the page bodies share: sums, month names and lengths, link building, number
// and date formats, the database name, and the frame built without a database.
#include "webadmin/UWMAdm.h"
#include "webadmin/WebModule.h"

#include <gtest/gtest.h>

#include <array>

namespace {

TEST(PageRoutines, SumsMaximaAndAverages) {
    std::array<int32_t, 4> values{3, -5, 9, 1};
    EXPECT_EQ(SumOf(values), 8);
    EXPECT_EQ(MaxOf(values), 9);
    EXPECT_DOUBLE_EQ(AverageOf(values), 2.0);
    std::array<int32_t, 2> negative{-3, -1};
    EXPECT_EQ(MaxOf(negative), 0); // never below 0
    EXPECT_EQ(SumOf({}), 0);
    EXPECT_EQ(MaxOf({}), 0);
    EXPECT_EQ(AverageOf({}), 0.0);
}

TEST(PageRoutines, MonthsAndDays) {
    EXPECT_EQ(MonthIndex("feb"), 2);
    EXPECT_EQ(MonthIndex("DEC"), 12);
    EXPECT_EQ(MonthIndex("Sept"), 1);
    EXPECT_EQ(MonthIndex(""), 1);
    EXPECT_EQ(DaysInMonth(2, 2000), 29);
    EXPECT_EQ(DaysInMonth(2, 1900), 28);
    EXPECT_EQ(DaysInMonth(2, 2004), 29);
    EXPECT_EQ(DaysInMonth(4, 2023), 30);
    EXPECT_EQ(TwoDigitText(7), "07");
    EXPECT_EQ(TwoDigitText(10), "10");
}

TEST(PageRoutines, HomeLinks) {
    EXPECT_EQ(BuildHomeURL("www.example.org"), "http://www.example.org");
    EXPECT_EQ(BuildHomeURL("example.org"), "http://WWW.example.org");
    EXPECT_EQ(BuildHomeURL("wwwexample.org"), "http://WWW.wwwexample.org");
    EXPECT_EQ(BuildHomeURL("uNkNoWn"), BuildHomeURL(""));
    EXPECT_TRUE(BuildHomeURL("").starts_with("http://"));
}

TEST(PageRoutines, FixedFormatRoundsHalvesAwayFromZero) {
    EXPECT_EQ(FormatFixed2(1.0 / 8), "0.13");
    EXPECT_EQ(FormatFixed2(3.0 / 8), "0.38");
    EXPECT_EQ(FormatFixed2(1.0 / 3), "0.33");
    EXPECT_EQ(FormatFixed2(2.0 / 3), "0.67");
    EXPECT_EQ(FormatFixed2(25.0 / 2), "12.50");
    EXPECT_EQ(FormatFixed2(0), "0.00");
    EXPECT_EQ(FormatFixed2(1234567), "1234567.00");
}

TEST(PageRoutines, DateFormats) {
    TDateTime moment = EncodeDate(2004, 2, 9) + EncodeTime(7, 5, 3, 0);
    EXPECT_EQ(FormatDate(moment), "09.02.2004");
    EXPECT_EQ(FormatDateTimeDashed(moment), "09-02-2004/07-05-03");
    EXPECT_EQ(FormatDateTimeDotted(moment), "09.02.2004-07:05:03");
}

// The row formats write what printf writes for the decoded parts, across the years a file may
// hold (before year 0 and after 9999 too) and at every time of day.
TEST(PageRoutines, RowDateFormatsMatchPrintfEverywhere) {
    for (double value = -800000.0; value < 3700000.0; value += 997.0137) {
        TDateParts p = DecodeDateTime(value);
        ASSERT_EQ(FormatDateTimeDashed(value),
                  StrFormat("%02d-%02d-%04d/%02d-%02d-%02d", p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second))
            << value;
        ASSERT_EQ(FormatDateTimeDotted(value),
                  StrFormat("%02d.%02d.%04d-%02d:%02d:%02d", p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second))
            << value;
    }
}

TEST(PageRoutines, DatabaseNameBesideTheProgram) {
    EXPECT_EQ(CounterDatabaseFile("/srv/cgi-bin/counter"), "/srv/cgi-bin/counter.ostra");
    EXPECT_EQ(CounterDatabaseFile("/srv/cgi-bin/counter.cgi"), "/srv/cgi-bin/counter.ostra");
    EXPECT_EQ(CounterDatabaseFile("counter"), "counter.ostra");
    EXPECT_EQ(CounterDatabaseFile("./stats.exe"), "./stats.ostra");
}

TEST(PageFrame, SeparatorAndFooterLiterals) {
    EXPECT_EQ(SeparatorTable,
              "<TABLE Style=\"border-top:1px solid; border-bottom: 0px\"  width=\"100%\" border=0 height=0 "
              "cellspacing=0  cellpading=0 bgcolor=gray><TR><TD border=0 height=0></TD></TR></TABLE>");
    TWM module("/nowhere/counter");
    module.Bunners.Lines = {"[B0]", "[B1]"};
    TWebRequest request([](std::string_view) { return std::optional<std::string>(); },
                        [](char*, size_t) { return size_t(0); });
    std::string footer = PageFooter(module, request);
    EXPECT_TRUE(footer.starts_with("\r\n<br>" + SeparatorTable + "<br>\r\n\r\n<center><TABLE bgcolor=white"));
    EXPECT_NE(footer.find("<tr><td width=100%  align=center>[B0]</table>"), std::string::npos);
    EXPECT_NE(footer.find("\r\n<center>[B1]</table>\r\n<center><TABLE"), std::string::npos);
    EXPECT_NE(footer.find("<font color=white><b>&nbspReklam:</b></font>"), std::string::npos);
    EXPECT_TRUE(footer.ends_with("<TR><TD width=100% valign=top height=2></table></body></html>"));
}

TEST(PageFrame, HeaderWithoutDatabase) {
    TWM module("/nowhere/counter");
    TWebRequest request(
        [](std::string_view name) {
            return name == "SCRIPT_NAME" ? std::optional<std::string>("/cgi/a\"b") : std::nullopt;
        },
        [](char*, size_t) { return size_t(0); });
    std::string header = PageHeader(module, request, nullptr);
    EXPECT_TRUE(header.starts_with("<html><head><title>Kestrow Web Access - </title></head><body text=#003399 "));
    EXPECT_NE(header.find("<td width=22% align=left><font color=red><b>Navigation</b></font>\r\n<td width=13% "
                          "align=center><a href=\"/cgi/a&quot;b?page=browse&col=20\"><font color=#ffffb0>Basic "
                          "Info</font></a></td>"),
              std::string::npos);
    EXPECT_NE(header.find("<img border=0 src=\"/cgi/a&quot;b?logos=1&img=0\" alt=\"Kestrow LOGO\">"),
              std::string::npos);
    EXPECT_TRUE(header.ends_with("?page=admin\"><font color=#ffffb0>About</font></a></td></table><br><center><font "
                                 "size=+2><b></b></font></center>"));
}

TEST(BuiltinImages, LogoAndDefaultSkinSizes) {
    TWM module("/nowhere/counter");
    const std::pair<TSize, int> logos[] = {{{207, 64}, 8}, {{88, 31}, 8}, {{88, 31}, 24}, {{88, 31}, 8}, {{88, 31}, 8}};
    ASSERT_EQ(module.Logos.Count(), 5);
    for (int i = 0; i < 5; ++i) {
        const TBitmap& logo = ImageLibBitmap(module.Logos, i);
        EXPECT_EQ(logo.Width(), logos[i].first.Width) << i;
        EXPECT_EQ(logo.Height(), logos[i].first.Height) << i;
        EXPECT_EQ(logo.BitCount(), logos[i].second) << i;
    }
    ASSERT_EQ(module.DefSkin.Count(), 11);
    EXPECT_EQ(ImageLibBitmap(module.DefSkin, 0).Width(), 81);
    EXPECT_EQ(ImageLibBitmap(module.DefSkin, 0).Height(), 49);
    for (int digit = 1; digit <= 10; ++digit) {
        const TBitmap& bitmap = ImageLibBitmap(module.DefSkin, digit);
        EXPECT_EQ(bitmap.Width(), 5);
        EXPECT_EQ(bitmap.Height(), 14);
        EXPECT_EQ(bitmap.BitCount(), 24);
    }
    // Every digit looks different.
    for (int a = 1; a <= 10; ++a)
        for (int b = a + 1; b <= 10; ++b)
            EXPECT_NE(ImageLibBitmap(module.DefSkin, a).SaveToBMP(), ImageLibBitmap(module.DefSkin, b).SaveToBMP());
    EXPECT_THROW(ImageLibBitmap(module.Logos, 5), Exception);
    EXPECT_THROW(ImageLibBitmap(module.Logos, -1), Exception);
}

} // namespace

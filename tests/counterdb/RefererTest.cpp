// Referring sites: the host key a referrer text counts under, the 12-byte record, the list and
// its sort orders, deletion without normalisation.
#include "CounterTestSupport.h"

namespace {

class RefererTest : public CounterTest {};

std::string KeyOf(ICounter& c, std::string_view referer) {
    c.ClearReferers();
    c.RegisterReferer(referer, NewYear2001);
    TStringList list = c.GetRefererList(0);
    return list.Count() == 1 ? list[0] : std::string("<").append(std::to_string(list.Count())).append(" keys>");
}

TEST_F(RefererTest, HostKeyNormalisation) {
    Session([](ICounter& c) {
        EXPECT_EQ(KeyOf(c, "http://www.example.com/path/page.htm?q=1"), "EXAMPLE.COM");
        EXPECT_EQ(KeyOf(c, "http://WwW.Example.Com"), "EXAMPLE.COM");
        EXPECT_EQ(KeyOf(c, "EXAMPLE.COM"), "EXAMPLE.COM");
        EXPECT_EQ(KeyOf(c, "HTTP://news.example.org/"), "NEWS.EXAMPLE.ORG");
        EXPECT_EQ(KeyOf(c, ""), "Unknown");
        EXPECT_EQ(KeyOf(c, "http://"), "Unknown");
        EXPECT_EQ(KeyOf(c, "/"), "Unknown");
        EXPECT_EQ(KeyOf(c, "..."), "Unknown");
        EXPECT_EQ(KeyOf(c, "http://ex\"ample.com/"), "Unknown");
        EXPECT_EQ(KeyOf(c, "http://example.com/a\"b"), "EXAMPLE.COM") << "a quote after the path is cut off";
        EXPECT_EQ(KeyOf(c, "http://.example.com./x"), "EXAMPLE.COM");
        EXPECT_EQ(KeyOf(c, "http:// . example.com . /"), "EXAMPLE.COM");
        // Only "HTTP://" is stripped: every https referrer shares one key.
        EXPECT_EQ(KeyOf(c, "https://www.secure.example/"), "HTTPS:");
        EXPECT_EQ(KeyOf(c, "ftp://files.example/"), "FTP:");
        EXPECT_EQ(KeyOf(c, "www.example.com"), "EXAMPLE.COM");
    });
}

TEST_F(RefererTest, CountsSameHostUnderOneKeyWithTheLatestDate) {
    Session([](ICounter& c) {
        for (int i = 1; i <= 10; ++i) c.RegisterReferer(i % 2 ? "http://www.site.example/a" : "SITE.EXAMPLE", At(i, 0));
        c.RegisterReferer("https://a.example/", At(3, 0));
        c.RegisterReferer("https://b.example/", At(4, 0));
    });
    {
        TRawDatabase raw(DbFile());
        std::vector<uint8_t> expected = DoubleBytes(At(10, 0));
        for (uint8_t b : ByteList({10, 0, 0, 0})) expected.push_back(b);
        EXPECT_EQ(raw.ValueBytes(13, "SITE.EXAMPLE"), expected);
    }
    Session([](ICounter& c) {
        TStringList list = c.GetRefererList(2);
        ASSERT_EQ(list.Count(), 2);
        EXPECT_EQ(list[0], "SITE.EXAMPLE");
        EXPECT_EQ(list.ObjectAs<TCObject>(0)->Hits, 10);
        EXPECT_EQ(list.ObjectAs<TCObject>(0)->Date, At(10, 0));
        EXPECT_EQ(list[1], "HTTPS:");
        EXPECT_EQ(list.ObjectAs<TCObject>(1)->Hits, 2);
        EXPECT_EQ(list.ObjectAs<TCObject>(1)->Date, At(4, 0));
        EXPECT_EQ(c.GetRefererList(1)[0], "SITE.EXAMPLE");
        EXPECT_EQ(c.GetRefererList(0)[0], "HTTPS:");
        EXPECT_EQ(c.GetRefererList(7)[0], "HTTPS:");
        EXPECT_EQ(c.GetRefererCount(), 2);
    });
}

TEST_F(RefererTest, DeleteTakesTheKeyAsGiven) {
    Session([](ICounter& c) {
        c.RegisterReferer("http://example.com/", NewYear2001);
        c.DeleteReferer("example.com");
        EXPECT_EQ(c.GetRefererCount(), 1);
        c.DeleteReferer("EXAMPLE.COM");
        EXPECT_EQ(c.GetRefererCount(), 0);
        c.RegisterReferer("http://example.com/", NewYear2001);
        EXPECT_TRUE(c.ClearReferers());
        EXPECT_EQ(c.GetRefererCount(), 0);
    });
}

} // namespace

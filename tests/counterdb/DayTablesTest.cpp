// Site pages, per-day tables and totals: day keys byte for byte, page records, period sums
// with both ends included, the cached total since creation, and a randomised run against a
// simple model that survives reopening.
#include "CounterTestSupport.h"

#include <cmath>
#include <map>
#include <random>

namespace {

class DayTablesTest : public CounterTest {};

TEST_F(DayTablesTest, SiteDayKeyIsTheRawTruncatedDate) {
    Session([](ICounter& c) {
        c.AddHitByDate("ip", "", At(0, 14, 30));
        c.AddHitByDate("ip", "", At(0, 23, 59, 59, 999));
    });
    TRawDatabase raw(DbFile());
    std::vector<std::string> keys = raw.Keys(10);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(keys[0].begin(), keys[0].end()), ByteList({0, 0, 0, 0, 0x80, 0x03, 0xE2, 0x40}));
    EXPECT_EQ(raw.ValueBytes(10, keys[0]), ByteList({'2'}));
}

TEST_F(DayTablesTest, TheLastHoursBeforeDayZeroShareItsKey) {
    Session([](ICounter& c) {
        c.AddHitByDate("ip", "", -0.25);
        EXPECT_EQ(c.GetHitsByDate("", 0.5), 1);
    });
    TRawDatabase raw(DbFile());
    std::vector<std::string> keys = raw.Keys(10);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(keys[0].begin(), keys[0].end()), ByteList({0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DayTablesTest, AnEmptyPageNameCountsForTheSiteOnly) {
    Session([](ICounter& c) {
        int32_t before = c.GetTotalHits();
        c.RegisterNodeHit("ip", "", true);
        EXPECT_EQ(c.GetTotalHits(), before + 1);
        EXPECT_TRUE(c.GetNodeNames().Empty());
        c.AddSkipIP("bad");
        c.RegisterNodeHit("bad", "", true);
        EXPECT_EQ(c.GetTotalHits(), before + 1);
    });
}

TEST_F(DayTablesTest, PageRecordBytes) {
    SetNowSource([] { return NewYear2001; });
    Session([](ICounter& c) { c.RegisterNodeHit("ip", "/index.htm", true); });
    SetNowSource(nullptr);
    TRawDatabase raw(DbFile());
    EXPECT_EQ(raw.ValueBytes(7, "/index.htm"), ByteList({0x11, 0, 0, 0, 0, 0x80, 0x03, 0xE2, 0x40, 0x02, 0x01}));
}

TEST_F(DayTablesTest, PageHitByDateCreatesThePageWithCountZero) {
    Session([](ICounter& c) {
        c.AddHitByDate("ip", "/a.htm", At(3, 1));
        c.AddHitByDate("ip", "/a.htm", At(3, 22));
        EXPECT_EQ(c.GetHitsByDate("/a.htm", At(3, 0)), 2);
        EXPECT_EQ(c.GetHitsByDate("/a.htm", At(4, 0)), 0);
        EXPECT_EQ(c.GetHitsByDate("", At(3, 0)), 0) << "a page hit is not a site hit";
        EXPECT_EQ(c.GetHitsByDate("/none", At(3, 0)), 0);
        TStringList pages = c.GetNodeList(0);
        ASSERT_EQ(pages.Count(), 1);
        EXPECT_EQ(pages[0], "/a.htm");
        EXPECT_EQ(pages.ObjectAs<TCObject>(0)->Hits, 0);
        EXPECT_EQ(pages.ObjectAs<TCObject>(0)->Visits, 0);
        c.DeleteNode("/a.htm");
        EXPECT_TRUE(c.GetNodeNames().Empty());
        EXPECT_EQ(c.GetHitsByDate("/a.htm", At(3, 0)), 0);
    });
}

TEST_F(DayTablesTest, SkippedAddressBooksNoDays) {
    Session([](ICounter& c) {
        c.AddSkipIP("bad");
        c.AddHitByDate("bad", "", At(0, 1));
        c.AddHitByDate("bad", "/p", At(0, 1));
        c.AddHostByDate("bad", At(0, 1));
        EXPECT_EQ(c.GetHitsByDate("", At(0, 1)), 0);
        EXPECT_EQ(c.GetHostsByDate(At(0, 1)), 0);
        EXPECT_TRUE(c.GetNodeNames().Empty());
    });
}

TEST_F(DayTablesTest, PeriodSumsIncludeBothEndsInEitherOrder) {
    Session([](ICounter& c) {
        for (int day = 0; day < 10; ++day)
            for (int n = 0; n <= day; ++n) {
                c.AddHitByDate("ip", "", At(day, n % 24));
                c.AddHitByDate("ip", "/p", At(day, 23));
                c.AddHostByDate("ip", At(day, 0));
            }
        // Days 2..5 hold 3+4+5+6 hits.
        EXPECT_EQ(c.GetHitsForPeriod("", false, At(2, 23), At(5, 0)), 18);
        EXPECT_EQ(c.GetHitsForPeriod("", false, At(5, 0), At(2, 23)), 18);
        EXPECT_EQ(c.GetHitsForPeriod("/p", false, At(5, 7), At(2, 1)), 18);
        EXPECT_EQ(c.GetHitsForPeriod("", false, At(4, 1), At(4, 2)), 5);
        EXPECT_EQ(c.GetHitsForPeriod("", true, At(4, 1), At(4, 2)), 55);
        EXPECT_EQ(c.GetHitsForPeriod("", false, At(20, 0), At(30, 0)), 0);
        EXPECT_EQ(c.GetHostsForPeriod(false, At(9, 0), At(0, 0)), 55);
        EXPECT_EQ(c.GetHostsForPeriod(false, At(0, 0), At(0, 0)), 1);
        EXPECT_EQ(c.GetHitsForPeriod("/none", true, 0, 0), 0);
    });
}

TEST_F(DayTablesTest, RegisterNodeHitCountsPagesAndTheCachedTotal) {
    Session([](ICounter& c) {
        EXPECT_EQ(c.GetTotalHits(), 0);
        c.RegisterNodeHit("ip", "/new", false);
        TStringList pages = c.GetNodeList(0);
        ASSERT_EQ(pages.Count(), 1);
        EXPECT_EQ(pages.ObjectAs<TCObject>(0)->Hits, 1);
        EXPECT_NEAR(pages.ObjectAs<TCObject>(0)->Date, Now(), 1e-3);
        EXPECT_EQ(c.GetTotalHits(), 1);
    });
    const TDateTime fixed = At(100, 10);
    SetNowSource([=] { return fixed; });
    Session([&](ICounter& c) {
        c.AddNode("/old");
        SetNowSource([=] { return fixed + 1; });
        c.RegisterNodeHit("ip", "/old", false);
        c.RegisterNodeHit("ip", "/old", false);
        EXPECT_EQ(c.GetNodeList(0).ObjectAs<TCObject>(1)->Date, fixed);
        c.RegisterNodeHit("ip", "/old", true);
        TStringList pages = c.GetNodeList(0);
        EXPECT_EQ(pages[1], "/old");
        EXPECT_EQ(pages.ObjectAs<TCObject>(1)->Date, fixed + 1);
        EXPECT_EQ(pages.ObjectAs<TCObject>(1)->Hits, 3);
        EXPECT_EQ(c.GetTotalHits(), 4);
        c.AddSkipIP("skip");
        c.RegisterNodeHit("skip", "", false);
        EXPECT_EQ(c.GetTotalHits(), 4);
        // Re-adding a page resets it.
        c.AddNode("/old");
        EXPECT_EQ(c.GetNodeList(0).ObjectAs<TCObject>(1)->Hits, 0);
    });
    SetNowSource(nullptr);
}

TEST_F(DayTablesTest, TotalHitsAreSummedFromTheCreationDay) {
    TDateTime today = std::trunc(Now());
    Session([&](ICounter& c) {
        c.AddHitByDate("ip", "", today + 0.01);
        c.AddHitByDate("ip", "", today + 0.02);
        c.AddHitByDate("ip", "", today - 3); // before the database existed
        c.AddHitByDate("ip", "", today + 5); // not yet
    });
    Session([&](ICounter& c) { EXPECT_EQ(c.GetTotalHits(), 2); });
    {
        TRawDatabase raw(DbFile());
        EXPECT_EQ(raw.Text(8), "2");
    }
    Session([&](ICounter& c) {
        c.AddHitByDate("ip", "", today);
        EXPECT_EQ(c.GetTotalHits(), 2) << "the cached total is kept, not recounted";
    });
}

TEST_F(DayTablesTest, RandomBookingsMatchAModelAcrossReopen) {
    std::mt19937 random(20261209);
    std::map<std::pair<std::string, int>, int> hits; // (page, day) -> hits
    std::map<int, int> hosts;
    const std::vector<std::string> pages = {"", "/", "/index.htm", "/a/b", "/x"};
    auto check = [&](ICounter& c) {
        for (int probe = 0; probe < 25; ++probe) {
            const std::string& page = pages[random() % pages.size()];
            int d1 = int(random() % 400) - 100, d2 = int(random() % 400) - 100;
            int expected = 0;
            for (const auto& [key, count] : hits)
                if (key.first == page && key.second >= std::min(d1, d2) && key.second <= std::max(d1, d2))
                    expected += count;
            EXPECT_EQ(c.GetHitsForPeriod(page, false, At(d1, 13), At(d2, 2)), expected);
            auto it = hits.find({page, d1});
            EXPECT_EQ(c.GetHitsByDate(page, At(d1, 5)), it == hits.end() ? 0 : it->second);
            int expectedHosts = 0;
            for (const auto& [day, count] : hosts)
                if (day >= std::min(d1, d2) && day <= std::max(d1, d2)) expectedHosts += count;
            EXPECT_EQ(c.GetHostsForPeriod(false, At(d2, 0), At(d1, 0)), expectedHosts);
            // A run of days read at once says what each day's own lookup says, for one page and
            // for every page in one pass.
            int32_t first = int32_t(std::floor(At(d1, 0)));
            int32_t days = 1 + int32_t(random() % 250);
            std::vector<int32_t> byDay, hostsByDay;
            for (int32_t d = 0; d < days; ++d) {
                byDay.push_back(c.GetHitsByDate(page, first + d));
                hostsByDay.push_back(c.GetHostsByDate(first + d));
            }
            EXPECT_EQ(c.GetHitsForDays(page, first, days), byDay) << page << " " << d1 << " " << days;
            EXPECT_EQ(c.GetHostsForDays(first, days), hostsByDay) << d1 << " " << days;
            std::vector<TPageDays> everyPage = c.GetHitsForDaysOfPages(first, days);
            TStringList names = c.GetNodeNames();
            ASSERT_EQ(everyPage.size(), size_t(names.Count()));
            for (int i = 0; i < names.Count(); ++i) {
                EXPECT_EQ(everyPage[size_t(i)].Node, names[i]);
                EXPECT_EQ(everyPage[size_t(i)].Hits, c.GetHitsForDays(names[i], first, days)) << names[i];
            }
        }
    };
    for (int round = 0; round < 2; ++round) {
        Session([&](ICounter& c) {
            for (int i = 0; i < 500; ++i) {
                int day = int(random() % 300) - 80;
                const std::string& page = pages[random() % pages.size()];
                TDateTime when = At(day, int(random() % 24), int(random() % 60));
                if (random() % 4 == 0) {
                    c.AddHostByDate("h", when);
                    ++hosts[day];
                } else {
                    c.AddHitByDate("h", page, when);
                    ++hits[{page, day}];
                }
            }
            check(c);
        });
        Session(check);
    }
}

} // namespace

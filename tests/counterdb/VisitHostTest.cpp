// Visits, host records and the skip list: the revisit rule to the millisecond, the host record
// bytes, total hosts, list sorting and the skip test.
#include "CounterTestSupport.h"

#include <algorithm>
#include <random>

namespace {

class VisitHostTest : public CounterTest {};

void Visit(ICounter& c, std::string_view ip, TDateTime date, bool checkSkip = true) {
    c.RegisterVisit(ip, "", date, false, checkSkip, false);
}

TEST_F(VisitHostTest, HitExactlyOneIntervalLaterIsNoNewVisit) {
    Session([](ICounter& c) {
        Visit(c, "a", At(0, 0));
        Visit(c, "a", At(0, 12));
        EXPECT_EQ(c.GetHostHits("a"), 2);
        EXPECT_EQ(c.GetHostVisits("a"), 1);
        EXPECT_EQ(c.GetTotalHosts(), 1);

        Visit(c, "b", At(0, 0));
        Visit(c, "b", At(0, 12, 0, 0, 1));
        EXPECT_EQ(c.GetHostHits("b"), 2);
        EXPECT_EQ(c.GetHostVisits("b"), 2);
        EXPECT_EQ(c.GetTotalHosts(), 3);
    });
}

TEST_F(VisitHostTest, IntervalBoundaryHoldsAtEveryTimeOfDay) {
    // Times written independently of each other, as callers make them: the boundary must not
    // depend on how the two doubles happen to round.
    Session([](ICounter& c) {
        c.SetInterval(60);
        int expectedTotal = 0;
        for (int i = 0; i < 120; ++i) {
            int hour = i % 23, minute = (i * 7) % 60, second = (i * 13) % 60, ms = (i * 37) % 1000;
            std::string same = std::string("s").append(std::to_string(i)),
                        next = std::string("n").append(std::to_string(i));
            Visit(c, same, At(i, hour, minute, second, ms));
            Visit(c, same, At(i, hour + 1, minute, second, ms));
            Visit(c, next, At(i, hour, minute, second, ms));
            Visit(c, next, At(i, hour, minute, second, ms) + EncodeTime(1, 0, 0, 1));
            EXPECT_EQ(c.GetHostVisits(same), 1) << i;
            EXPECT_EQ(c.GetHostVisits(next), 2) << i;
            expectedTotal += 3;
        }
        EXPECT_EQ(c.GetTotalHosts(), expectedTotal);
    });
}

TEST_F(VisitHostTest, EarlierHitMovesTheDateBack) {
    Session([](ICounter& c) {
        Visit(c, "h", At(5, 10));
        Visit(c, "h", At(1, 10));
        EXPECT_EQ(c.GetHostHits("h"), 2);
        EXPECT_EQ(c.GetHostVisits("h"), 1);
        TStringList hosts = c.GetHostList(0);
        ASSERT_EQ(hosts.Count(), 1);
        EXPECT_EQ(hosts.ObjectAs<TCObject>(0)->Date, At(1, 10));
    });
}

TEST_F(VisitHostTest, HostRecordBytes) {
    const TDateTime first = At(0, 12), last = At(3, 0);
    Session([&](ICounter& c) {
        Visit(c, "10.0.0.1", first);
        EXPECT_EQ(c.GetHostsByDate(first), 1);
    });
    {
        TRawDatabase raw(DbFile());
        std::vector<uint8_t> expected = ByteList({6, 8, '1', '0', '.', '0', '.', '0', '.', '1', 0x11});
        for (uint8_t b : DoubleBytes(first)) expected.push_back(b);
        for (uint8_t b : ByteList({2, 1, 2, 1})) expected.push_back(b);
        EXPECT_EQ(raw.ValueBytes(3, "10.0.0.1"), expected);
    }
    // 300 hits need the two-byte form: the record grows in place and reads back whole.
    Session([&](ICounter& c) {
        for (int i = 1; i < 300; ++i) Visit(c, "10.0.0.1", i == 299 ? last : first);
    });
    TRawDatabase raw(DbFile());
    std::vector<uint8_t> bytes = raw.ValueBytes(3, "10.0.0.1");
    std::vector<uint8_t> tail(bytes.begin() + 11, bytes.end());
    std::vector<uint8_t> expected = DoubleBytes(last);
    for (uint8_t b : ByteList({3, 0x2C, 0x01, 2, 2})) expected.push_back(b);
    EXPECT_EQ(tail, expected);
}

TEST_F(VisitHostTest, SkippedAddressesAndCheckSkip) {
    Session([](ICounter& c) {
        c.AddSkipIP("1.1.1.1");
        c.RegisterVisit("1.1.1.1", "http://ref.example/", At(0, 1), true, true, false);
        EXPECT_FALSE(c.HostExists("1.1.1.1"));
        EXPECT_EQ(c.GetRefererCount(), 0);
        EXPECT_EQ(c.GetTotalHosts(), 0);

        Visit(c, "1.1.1.1", At(0, 1), false);
        EXPECT_EQ(c.GetHostHits("1.1.1.1"), 1);
        EXPECT_EQ(c.GetTotalHosts(), 1);
        EXPECT_EQ(c.GetHostsByDate(At(0, 1)), 0) << "skipped addresses are not booked per day";

        Visit(c, "2.2.2.2", At(0, 2));
        EXPECT_EQ(c.GetHostsByDate(At(0, 23)), 1);
        Visit(c, "", At(0, 2));
        EXPECT_EQ(c.GetHostCount(), 2);
    });
}

TEST_F(VisitHostTest, RefererIsCountedWithTheVisit) {
    Session([](ICounter& c) {
        c.RegisterVisit("3.3.3.3", "http://www.Example.com/page", At(0, 1), true, true, false);
        c.RegisterVisit("3.3.3.3", "http://www.Example.com/page", At(0, 2), false, true, false);
        TStringList refs = c.GetRefererList(0);
        ASSERT_EQ(refs.Count(), 1);
        EXPECT_EQ(refs[0], "EXAMPLE.COM");
        EXPECT_EQ(refs.ObjectAs<TCObject>(0)->Hits, 1);
    });
}

TEST_F(VisitHostTest, UnreadableTotalRefusesANewVisitBeforeWritingAnything) {
    Session([](ICounter& c) {
        Visit(c, "a", At(0, 0));
        // Through the raw atom: the counter's own setter only writes numbers.
    });
    {
        if (!StorageFactory()) StartStorageEngine();
        TRef<IVirtualStorage> storage = CreateStorage(DbFile(), "Mode:Open; Class:" + CounterDataClass.ToString());
        storage->OpenRoot()->OpenLink(0)->SetText("many");
    }
    Session([](ICounter& c) {
        EXPECT_EQ(c.GetTotalHosts(), -1);
        EXPECT_THROW(Visit(c, "a", At(2, 0)), EConvertError);
        EXPECT_THROW(Visit(c, "new", At(2, 0)), EConvertError);
        EXPECT_EQ(c.GetHostHits("a"), 1) << "the host record was not rewritten";
        EXPECT_FALSE(c.HostExists("new"));
        Visit(c, "a", At(0, 1)); // no new visit: the total is not needed
        EXPECT_EQ(c.GetHostHits("a"), 2);
    });
}

TEST_F(VisitHostTest, CountsWrapInsteadOfOverflowing) {
    Session([](ICounter& c) {
        c.SetTotalHosts(INT32_MAX);
        Visit(c, "x", At(0, 0));
        EXPECT_EQ(c.GetTotalHosts(), INT32_MIN);
    });
}

TEST_F(VisitHostTest, HostListSortModes) {
    Session([](ICounter& c) {
        c.SetInterval(0);
        // b: 3 hits, 1 visit (same instant); c: latest; a: most visits.
        for (int i = 0; i < 3; ++i) Visit(c, "b", At(1, 5));
        Visit(c, "c", At(9, 0));
        for (int i = 0; i < 2; ++i) Visit(c, "a", At(0, i));
        auto order = [&](int mode) {
            std::string s;
            for (const auto& e : c.GetHostList(mode)) s += e.Text;
            return s;
        };
        EXPECT_EQ(order(0), "abc");
        EXPECT_EQ(order(-1), "abc");
        EXPECT_EQ(order(1), "cba");
        EXPECT_EQ(order(2), "bac");
        EXPECT_EQ(order(3), "abc");
        EXPECT_EQ(order(5), "abc");
        TStringList list = c.GetHostList(2);
        const TCObject* b = list.ObjectAs<TCObject>(0);
        EXPECT_EQ(b->Hits, 3);
        EXPECT_EQ(b->Visits, 1);
        EXPECT_EQ(b->Date, At(1, 5));
    });
}

// A page showing the first rows gets exactly those of the whole list, ties and all.
TEST_F(VisitHostTest, TheHeadOfEachHostListIsItsFirstRows) {
    Session([](ICounter& c) {
        c.SetInterval(0);
        std::mt19937 random(5);
        for (int i = 0; i < 60; ++i) {
            std::string ip = "10.0." + std::to_string(random() % 7) + "." + std::to_string(i);
            for (uint32_t hits = random() % 3; hits > 0; --hits) Visit(c, ip, At(int(random() % 4), 1));
            Visit(c, ip, At(int(random() % 4), int(random() % 3)));
        }
        TRef<IHostListHead> head = Query<IHostListHead>(&c);
        ASSERT_TRUE(head);
        for (int mode : {-1, 0, 1, 2, 3, 4, 5}) {
            TStringList whole = c.GetHostList(mode);
            ASSERT_EQ(whole.Count(), 60);
            for (int32_t count : {-2, 0, 1, 2, 7, 59, 60, 61, INT32_MAX}) {
                int32_t total = -1;
                TStringList first = head->GetHostListHead(mode, count, total);
                EXPECT_EQ(total, 60);
                ASSERT_EQ(first.Count(), std::clamp(count, 0, 60)) << mode << " " << count;
                for (int i = 0; i < first.Count(); ++i) {
                    const TCObject *a = first.ObjectAs<TCObject>(i), *b = whole.ObjectAs<TCObject>(i);
                    ASSERT_EQ(first[i], whole[i]) << mode << " " << count << " row " << i;
                    EXPECT_TRUE(a->Date == b->Date && a->Hits == b->Hits && a->Visits == b->Visits);
                }
            }
        }
    });
}

TEST_F(VisitHostTest, DeletingHostsAndSkipListSurviveReopen) {
    Session([](ICounter& c) {
        Visit(c, "a", At(0, 0));
        Visit(c, "b", At(0, 0));
        c.DeleteHost("");
        c.DeleteHost("a");
        for (std::string_view ip : {"", "9.9.9.9", "1.2.3.4", "1.2.3.4", "5.5.5.5"}) c.AddSkipIP(ip);
        c.DeleteSkipIP("5.5.5.5");
    });
    Session([](ICounter& c) {
        EXPECT_FALSE(c.HostExists("a"));
        EXPECT_EQ(c.GetHostHits("a"), 0);
        EXPECT_EQ(c.GetHostCount(), 1);
        TStringList skip = c.GetSkipList();
        ASSERT_EQ(skip.Count(), 2);
        EXPECT_EQ(skip[0], "1.2.3.4");
        EXPECT_EQ(skip[1], "9.9.9.9");
        c.ClearHosts();
        c.ClearSkipList();
        EXPECT_EQ(c.GetHostCount(), 0);
        EXPECT_EQ(c.GetSkipCount(), 0);
        EXPECT_TRUE(c.GetSkipList().Empty());
        EXPECT_EQ(c.GetTotalHosts(), 2) << "the visitor counter is not a host count";
    });
}

} // namespace

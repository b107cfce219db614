// Hourly tables, tagged and paired values, the option flag and the extra text.
#include "CounterTestSupport.h"

#include <cmath>

namespace {

class HourlyValuesTest : public CounterTest {};

std::array<int32_t, 25> Hours(ICounter& c, std::string_view node, int32_t fill = 0) {
    std::array<int32_t, 25> hours;
    hours.fill(fill);
    c.GetHourlyHits(hours, node);
    return hours;
}

TEST_F(HourlyValuesTest, HourBucketsSurviveReopen) {
    Session([](ICounter& c) {
        std::array<int32_t, 25> none = Hours(c, "", 7);
        EXPECT_EQ(none[0], 0);
        EXPECT_EQ(none[5], 7) << "no table: the hours are left as passed";
        c.RegisterHourlyHit("ip", "", At(0, 13, 30));
    });
    {
        TRawDatabase raw(DbFile());
        EXPECT_TRUE(raw.HasLink(30));
        EXPECT_FALSE(raw.HasLink(31));
    }
    Session([](ICounter& c) {
        std::array<int32_t, 25> hours = Hours(c, "", 7);
        EXPECT_EQ(hours[0], 1);
        for (int h = 1; h <= 24; ++h) EXPECT_EQ(hours[size_t(h)], h == 14 ? 1 : 0) << h;
        c.RegisterHourlyHit("ip", "/p", At(1, 0));
        c.RegisterHourlyHit("ip", "/p", At(2, 23, 59, 59, 999));
        c.RegisterHourlyHit("ip", "/q", At(3, 13, 0));
        c.AddSkipIP("bot");
        c.RegisterHourlyHit("bot", "/p", At(3, 13, 0));
    });
    Session([](ICounter& c) {
        std::array<int32_t, 25> site = Hours(c, "");
        EXPECT_EQ(site[0], 4);
        EXPECT_EQ(site[1], 1);
        EXPECT_EQ(site[14], 2);
        EXPECT_EQ(site[24], 1);
        std::array<int32_t, 25> page = Hours(c, "/p");
        EXPECT_EQ(page[0], 2);
        EXPECT_EQ(page[1], 1);
        EXPECT_EQ(page[24], 1);
        EXPECT_EQ(page[14], 0);
        std::array<int32_t, 25> never = Hours(c, "/never", 3);
        EXPECT_EQ(never[0], 0);
        EXPECT_EQ(never[1], 3);
    });
}

TEST_F(HourlyValuesTest, HourlyTableLayout) {
    Session([](ICounter& c) {
        c.RegisterHourlyHit("ip", "/p", At(0, 13, 30));
        c.RegisterHourlyHit("ip", "/p", At(0, 13, 59));
        c.RegisterHourlyHit("ip", "", At(1, 13, 0));
    });
    TRawDatabase raw(DbFile());
    TRef<IIndexerFactory> btree = NewBTreeIndexFactory();
    TRef<IIndexer> site = btree->OpenIndex(raw.Link(30).get(), "", "");
    TRef<IIndexerCursor> cursor = site->GetCursor();
    EXPECT_EQ(cursor->GetCount(), 24);
    cursor->Close();
    const int32_t hour = 13;
    TRef<IVirtualAtom> bucket;
    ASSERT_TRUE(site->FindKeyBufAccess(&hour, 4, AccessReadOnly, bucket));
    EXPECT_EQ(bucket->GetBytes(), ByteList({3, 0, 0, 0}));
    TRef<IIndexer> days = btree->OpenIndex(bucket->OpenLinkAccess(0, AccessReadOnly).get(), "", "");
    std::vector<std::vector<uint8_t>> keys, values;
    TRef<IIndexerCursor> dayCursor = days->GetCursor();
    for (bool more = dayCursor->First(); more; more = dayCursor->Next()) {
        std::string key = dayCursor->GetKey();
        keys.emplace_back(key.begin(), key.end());
        values.push_back(dayCursor->GetAtomAccess(AccessReadOnly)->GetBytes());
    }
    dayCursor->Close();
    // Days 36892 and 36893 as little-endian integers (the B-tree orders them lowest byte first).
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], ByteList({0x1C, 0x90, 0, 0}));
    EXPECT_EQ(values[0], ByteList({2, 0, 0, 0}));
    EXPECT_EQ(keys[1], ByteList({0x1D, 0x90, 0, 0}));
    EXPECT_EQ(values[1], ByteList({1, 0, 0, 0}));
    TRef<IIndexer> pages = btree->OpenIndex(raw.Link(31).get(), "", "");
    TRef<IVirtualAtom> pageTable;
    ASSERT_TRUE(pages->FindKeyAccess("/p", AccessReadOnly, pageTable));
    EXPECT_TRUE(btree->IsIndex(pageTable.get()));
}

TEST_F(HourlyValuesTest, FullHoursFallIntoTheirOwnHour) {
    Session([](ICounter& c) {
        for (int h = 0; h < 24; ++h) c.RegisterHourlyHit("ip", "", At(h * 11, h));
        std::array<int32_t, 25> hours = Hours(c, "");
        EXPECT_EQ(hours[0], 24);
        for (int h = 1; h <= 24; ++h) EXPECT_EQ(hours[size_t(h)], 1) << "hour " << h - 1;
    });
}

TEST_F(HourlyValuesTest, DatesNoCalendarHoldsAreStillCounted) {
    Session([](ICounter& c) {
        for (TDateTime odd : {1e300, -1e300, std::nan(""), 3e9}) {
            c.RegisterHourlyHit("ip", "/p", odd);
            c.RegisterVisit("ip", "", odd, false, true, false);
        }
        EXPECT_EQ(Hours(c, "/p")[0], 4);
        EXPECT_EQ(c.GetHostHits("ip"), 4);
    });
}

TEST_F(HourlyValuesTest, TaggedValueStatistics) {
    Session([](ICounter& c) {
        c.SetTaggedValue("k1", "Word");
        c.SetTaggedValue("k2", "WORD");
        c.SetTaggedValue("k3", "other");
        c.SetTaggedValue("k4", "");
        TStringList stats = c.GetTaggedValueStats();
        ASSERT_EQ(stats.Count(), 2);
        EXPECT_EQ(stats[0], "Word");
        EXPECT_EQ(stats.Integers(0), 2);
        EXPECT_EQ(stats[1], "other");
        EXPECT_EQ(stats.Integers(1), 1);
        c.SetTaggedValue("k3", "word");
    });
    Session([](ICounter& c) {
        TStringList stats = c.GetTaggedValueStats();
        ASSERT_EQ(stats.Count(), 1);
        EXPECT_EQ(stats.Integers(0), 3);
        c.ClearTaggedValues();
        EXPECT_TRUE(c.GetTaggedValueStats().Empty());
    });
}

TEST_F(HourlyValuesTest, PairedValueStatistics) {
    Session([](ICounter& c) {
        c.AddPairedValue("a", "x");
        c.AddPairedValue("a", "ignored");
        c.AppendPairedValue("a", "first second");
        c.AppendPairedValue("a", "second");
        c.AddPairedValue("b", "X");
        c.AppendPairedValue("b", "second");
        c.AddPairedValue("c", "only first");
        c.AppendPairedValue("missing", "none");
    });
    {
        TRawDatabase raw(DbFile());
        EXPECT_EQ(raw.ValueBytes(15, "a"), ByteList({6, 1, 'x', 6, 6, 's', 'e', 'c', 'o', 'n', 'd'}));
        EXPECT_EQ(raw.ValueBytes(15, "c"), ByteList({6, 10, 'o', 'n', 'l', 'y', ' ', 'f', 'i', 'r', 's', 't'}));
    }
    Session([](ICounter& c) {
        TStringList first, second;
        first.Add("stale");
        c.GetPairedValueStats(first, second);
        ASSERT_EQ(first.Count(), 1);
        EXPECT_EQ(first[0], "x");
        EXPECT_EQ(first.Integers(0), 2);
        ASSERT_EQ(second.Count(), 1);
        EXPECT_EQ(second.Integers(0), 2);
        c.ClearPairedValues();
        c.GetPairedValueStats(first, second);
        EXPECT_TRUE(first.Empty());
        EXPECT_TRUE(second.Empty());
    });
}

TEST_F(HourlyValuesTest, OptionFlagAndExtraText) {
    Session([](ICounter& c) {
        EXPECT_FALSE(c.GetOptionFlag());
        EXPECT_EQ(c.GetExtraText(), "");
        c.SetExtraText(std::string("a\0b", 3));
    });
    EXPECT_EQ(TRawDatabase(DbFile()).Text(20), "0") << "the first read stores the flag";
    Session([](ICounter& c) { c.SetOptionFlag(true); });
    Session([](ICounter& c) {
        EXPECT_TRUE(c.GetOptionFlag());
        EXPECT_EQ(c.GetExtraText(), std::string("a\0b", 3));
    });
}

} // namespace

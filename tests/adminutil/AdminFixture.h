// Shared by the admin utility tests: a counter database built in the test's temporary folder
// with known counts, and a way to read its counts back once the utility has let it go.
#pragma once

#include "TempDir.h"
#include "counterdb/UCounter.h"

#include <gtest/gtest.h>

#include <string>

// The day the fixture's counts are booked on, and the counts.
inline const TDateTime FixtureDay = EncodeDate(2026, 3, 14);
inline constexpr const char* FixturePage = "index.html";
inline constexpr const char* OtherPage = "news.html";
inline constexpr int32_t FixturePageHits = 5; // on FixtureDay; also the site's hits that day
inline constexpr int32_t OtherPageHits = 2;   // on the day before
inline constexpr int32_t FixtureDayHosts = 3;
inline constexpr int32_t FixtureTotalHosts = 40;

class AdminDatabaseTest : public TempDirTest {
protected:
    void SetUp() override {
        FileName = Temp.File("site.ostra");
        TRef<ICounter> counter = OpenCounter(FileName);
        ASSERT_TRUE(counter) << "the counter database cannot be created";
        BookPageHits(*counter, FixturePage, FixtureDay, FixturePageHits);
        BookPageHits(*counter, OtherPage, FixtureDay - 1, OtherPageHits);
        for (int i = 0; i < FixtureDayHosts; ++i) counter->AddHostByDate("10.0.0.1", FixtureDay);
        counter->SetTotalHosts(FixtureTotalHosts);
        CloseCounter(counter);
    }

    // Books hits the way a visitor's hits are booked: per day for the page and the site, and
    // on the page's count.
    static void BookPageHits(ICounter& counter, std::string_view page, TDateTime day, int hits) {
        for (int i = 0; i < hits; ++i) {
            counter.AddHitByDate("10.0.0.1", page, day + 0.5);
            counter.AddHitByDate("10.0.0.1", "", day + 0.5);
            counter.RegisterNodeHit("10.0.0.1", page, false);
        }
    }

    // Opens the database as another program would; fails the test when it is busy.
    TRef<ICounter> Reopen() const {
        TRef<ICounter> counter = OpenCounter(FileName);
        EXPECT_TRUE(counter) << "the database is still held";
        return counter;
    }

    // The page's count in the page list, or -1 when the page is missing.
    static int32_t PageCount(ICounter& counter, std::string_view page) {
        TStringList list = counter.GetNodeList(0);
        for (int i = 0; i < list.Count(); ++i)
            if (list[i] == page) return list.ObjectAs<TCObject>(i)->Hits;
        return -1;
    }

    std::string FileName;
};

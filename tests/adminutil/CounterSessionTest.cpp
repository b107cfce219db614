// The utility's database session without any window: switching files, the page list rows,
// and the four corrections with their rule, checked in the file after the session lets it go.
#include "AdminFixture.h"
#include "adminutil/CounterSession.h"

#include <stdexcept>

class CounterSessionTest : public AdminDatabaseTest {
protected:
    int RowOf(std::string_view page) const {
        for (int i = 0; i < Session.NodeCount(); ++i)
            if (Session.NodeName(i) == page) return i;
        return -1;
    }

    TCounterSession Session;
};

TEST_F(CounterSessionTest, OpeningAnotherFileCommitsTheFirst) {
    std::string second = Temp.File("second.ostra");
    ASSERT_TRUE(OpenCounter(second));
    ASSERT_TRUE(Session.Open(FileName));
    Session.RaiseTotalHosts(FixtureTotalHosts + 1);
    ASSERT_TRUE(Session.Open(second));
    TRef<ICounter> first = Reopen();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetTotalHosts(), FixtureTotalHosts + 1);
}

TEST_F(CounterSessionTest, SplitsEntriesThatCarryStars) {
    {
        TRef<ICounter> counter = Reopen();
        ASSERT_TRUE(counter);
        counter->AddNode("three*middle*last");
        counter->AddNode("two*pieces");
    }
    ASSERT_TRUE(Session.Open(FileName));
    int three = RowOf("three"), two = RowOf("two");
    ASSERT_GE(three, 0);
    ASSERT_GE(two, 0);
    EXPECT_EQ(Session.NodeHitsText(three), "last");
    EXPECT_EQ(Session.NodeHitsText(two), "pieces");
}

TEST_F(CounterSessionTest, RefusesLowerValuesAndBooksNothingForEqualOnes) {
    ASSERT_TRUE(Session.Open(FileName));
    int row = RowOf(FixturePage);
    auto expectRefused = [](auto&& correction) {
        try {
            correction();
            ADD_FAILURE() << "a lower value was taken";
        } catch (const std::exception& error) {
            EXPECT_STREQ(error.what(), "You can't set new value of this parameter - below old value.");
        }
    };
    expectRefused([&] { Session.RaiseNodeHits(row, FixtureDay, 4, nullptr); });
    expectRefused([&] { Session.RaiseTotalHosts(FixtureTotalHosts - 1); });
    expectRefused([&] { Session.RaiseSiteHosts(FixtureDay, FixtureDayHosts - 1, nullptr); });
    expectRefused([&] { Session.RaiseSiteHits(FixtureDay, FixturePageHits - 1, nullptr); });

    bool isBooked = false;
    auto noteBooking = [&](int64_t, int64_t) { return isBooked = true; };
    Session.RaiseNodeHits(row, FixtureDay, FixturePageHits, noteBooking);
    Session.RaiseTotalHosts(FixtureTotalHosts);
    Session.RaiseSiteHosts(FixtureDay, FixtureDayHosts, noteBooking);
    Session.RaiseSiteHits(FixtureDay, FixturePageHits, noteBooking);
    EXPECT_FALSE(isBooked);
    Session.Close();

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate(FixturePage, FixtureDay), FixturePageHits);
    EXPECT_EQ(PageCount(*counter, FixturePage), FixturePageHits);
    EXPECT_EQ(counter->GetTotalHosts(), FixtureTotalHosts);
    EXPECT_EQ(counter->GetHostsByDate(FixtureDay), FixtureDayHosts);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), FixturePageHits);
}

TEST_F(CounterSessionTest, BooksOnAPageNameExactlyAsStored) {
    // Not UTF-8: a name from an old Latin-1 site must not turn into another page.
    const std::string latinName = "caf\xE9.html";
    {
        TRef<ICounter> counter = Reopen();
        ASSERT_TRUE(counter);
        BookPageHits(*counter, latinName, FixtureDay, 1);
    }
    ASSERT_TRUE(Session.Open(FileName));
    int row = RowOf(latinName);
    ASSERT_GE(row, 0);
    Session.RaiseNodeHits(row, FixtureDay, 3, nullptr);
    EXPECT_EQ(Session.NodeCount(), 3);
    Session.Close();

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate(latinName, FixtureDay), 3);
    EXPECT_EQ(PageCount(*counter, latinName), 3);
}

TEST_F(CounterSessionTest, ARowOfAnEmptyPageNameBooksTheSiteOncePerStep) {
    {
        TRef<ICounter> counter = Reopen();
        ASSERT_TRUE(counter);
        counter->AddNode(""); // as an empty "Add node" stored it
    }
    ASSERT_TRUE(Session.Open(FileName));
    int row = RowOf("");
    ASSERT_GE(row, 0);
    EXPECT_EQ(Session.GetNodeHits(row, FixtureDay), FixturePageHits);
    Session.RaiseNodeHits(row, FixtureDay, FixturePageHits + 4, nullptr);
    EXPECT_EQ(Session.GetNodeHits(row, FixtureDay), FixturePageHits + 4);
    EXPECT_EQ(Session.GetSiteHits(FixtureDay), FixturePageHits + 4);
    EXPECT_EQ(Session.GetAllDaysHits(), FixturePageHits + OtherPageHits + 4);
}

TEST_F(CounterSessionTest, AStoppedCorrectionKeepsWhatWasBooked) {
    ASSERT_TRUE(Session.Open(FileName));
    int64_t told = 0;
    Session.RaiseSiteHits(FixtureDay, 2147483647, [&](int64_t done, int64_t total) {
        EXPECT_EQ(total, 2147483647 - FixturePageHits);
        told = done;
        return done < 7;
    });
    EXPECT_EQ(told, 7);
    EXPECT_EQ(Session.GetSiteHits(FixtureDay), FixturePageHits + 7);
    int row = RowOf(FixturePage);
    Session.RaiseNodeHits(row, FixtureDay, 2147483647, [](int64_t done, int64_t) { return done < 3; });
    EXPECT_EQ(Session.GetNodeHits(row, FixtureDay), FixturePageHits + 3);
    EXPECT_EQ(Session.NodeHitsText(row), std::to_string(FixturePageHits + 3)) << "the list is loaded again";
    Session.Close();

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), FixturePageHits + 10);
}

TEST(BookingsToRaiseTest, CountsTheDifferenceOverTheWholeIntegerRange) {
    EXPECT_EQ(BookingsToRaise(5, 8), 3);
    EXPECT_EQ(BookingsToRaise(-1, -1), 0);
    EXPECT_EQ(BookingsToRaise(-1, 2147483647), int64_t(2147483648));
    EXPECT_THROW(BookingsToRaise(0, -1), std::exception);
}

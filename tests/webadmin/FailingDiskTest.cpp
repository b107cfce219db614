// The answers of the program when its disk fails, on the simulated disk: every failing call of a
// changing request, and of a read that must first roll back an interrupted commit, answers 500
// with the database as it was, or succeeds with it whole; never 500 with the change standing,
// never a page built without the database.
#include "WebFixture.h"

#include "platform/SimulatedDisk.h"
#include "storage/KVZError.h"

#include <cerrno>

namespace {

class FailingDisk : public WebTest {
protected:
    void SetUp() override {
        WebTest::SetUp();
        SetNowSource([] { return 46000.5; });
    }

    // The disk as a request left it: the database and its journal.
    struct TFiles {
        std::vector<uint8_t> Database, Journal;
    };
    TFiles Save(TSimulatedDisk& disk) { return {disk.Contents(DatabaseFile()), disk.Contents(JournalFile())}; }
    void Load(TSimulatedDisk& disk, const TFiles& files) {
        disk.SetContents(DatabaseFile(), files.Database);
        if (!files.Journal.empty()) disk.SetContents(JournalFile(), files.Journal);
    }
    std::string JournalFile() const { return DatabaseFile() + "-journal"; }

    // The site name as the settings page shows it, on a disk that no longer fails.
    std::string SiteName(TSimulatedDisk& disk) {
        disk.FailAt(0, 0);
        TCgiAnswer answer = Request("page=editsname");
        EXPECT_TRUE(answer.Head.starts_with("Status: 200")) << answer.Head;
        size_t at = answer.Body.find("<title>Kestrow Web Access - ");
        if (at == std::string::npos) return "<no title>";
        at += 28;
        return answer.Body.substr(at, answer.Body.find('<', at) - at);
    }

    static constexpr int Errors[] = {ENOSPC, EIO, EACCES};
    static int ErrorFor(uint64_t step) { return Errors[step % std::size(Errors)]; }
};

// With the settled journal of earlier changes beside the database, and without one (the change
// then creates it).
TEST_F(FailingDisk, EveryFailingCallOfAChangeAnswers500AndLeavesTheDatabaseAsItWas) {
    for (bool withJournal : {true, false}) {
        TSimulatedDisk learn(1);
        TFiles start;
        uint64_t steps = 0;
        {
            TOsFileLayerScope scope(learn);
            Request("page=editsname&ed=Before");
            start = Save(learn);
            if (!withJournal) start.Journal.clear();
        }
        {
            TSimulatedDisk disk(1);
            TOsFileLayerScope scope(disk);
            Load(disk, start);
            ASSERT_TRUE(Request("page=editsname&ed=After").Head.starts_with("Status: 200"));
            steps = disk.Steps();
            ASSERT_EQ(SiteName(disk), "After");
        }
        ASSERT_GT(steps, 4u);
        for (uint64_t step = 1; step <= steps; ++step) {
            TSimulatedDisk disk(step);
            TOsFileLayerScope scope(disk);
            Load(disk, start);
            disk.FailAt(step, ErrorFor(step));
            TCgiAnswer answer = Request("page=editsname&ed=After");
            std::string what =
                "call " + std::to_string(step) + (withJournal ? "" : " (no journal before)") + " failing";
            bool failed = answer.Head.starts_with("Status: 500");
            EXPECT_TRUE(failed) << what << " answered " << answer.Head;
            EXPECT_EQ(SiteName(disk), failed ? "Before" : "After") << what;
        }
    }
}

// A commit cut short by a power loss leaves a hot journal; the next request rolls it back
// before it reads. When that fails, the answer is 500 with the reason, and a later request tries
// again; a page never shows the half-made commit, nor the frame without the database.
TEST_F(FailingDisk, AFailingRollBackAnswers500WithItsReasonAndTheNextRequestRollsBack) {
    TFiles start, interrupted;
    {
        TSimulatedDisk disk(2);
        TOsFileLayerScope scope(disk);
        Request("page=editsname&ed=Before");
        start = Save(disk);
        disk.CutAt(disk.Steps() + 5); // the journal synced, the file being written
        Request("page=editsname&ed=After");
        disk.PowerCut();
        interrupted = Save(disk);
    }
    ASSERT_NE(interrupted.Journal, std::vector<uint8_t>(interrupted.Journal.size(), 0));
    uint64_t steps = 0;
    {
        TSimulatedDisk disk(3);
        TOsFileLayerScope scope(disk);
        Load(disk, interrupted);
        EXPECT_EQ(SiteName(disk), "Before");
        steps = disk.Steps();
    }
    ASSERT_GT(steps, 2u);
    for (uint64_t step = 1; step <= steps; ++step) {
        TSimulatedDisk disk(step);
        TOsFileLayerScope scope(disk);
        Load(disk, interrupted);
        int error = ErrorFor(step);
        disk.FailAt(step, error);
        TCgiAnswer answer = Request("page=admin");
        std::string what = "call " + std::to_string(step) + " of the roll-back failing";
        if (answer.Head.starts_with("Status: 500")) {
            std::string reason = error == EACCES ? "rolling it back needs write access" : "rolling back an interrupted";
            EXPECT_NE(answer.Body.find(reason), std::string::npos) << what << ": " << answer.Body;
            EXPECT_NE(answer.Body.find("&quot;" + DatabaseFile() + "&quot;"), std::string::npos) << what;
        } else {
            EXPECT_NE(answer.Body.find("<title>Kestrow Web Access - Before</title>"), std::string::npos)
                << what << " answered " << answer.Head << "\n"
                << answer.Body.substr(0, 300);
        }
        EXPECT_EQ(SiteName(disk), "Before") << what;
    }
}

} // namespace

// The counter's sessions are all or nothing: power cuts and failing calls at every changing
// call of a run of sessions, and of the creation of a new database, on the simulated disk; and
// a failing read anywhere in them leaves a database that reads whole.
#include "CounterTestSupport.h"
#include "CrashSweep.h"

#include "platform/FileUtils.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {
const std::string SimCounter = "/sim/counter.ostra";

std::vector<uint8_t> FreshCounter() {
    TSimulatedDisk disk(0);
    TOsFileLayerScope scope(disk);
    SetNowSource([] { return 46000.5; });
    TRef<ICounter> counter = OpenCounter(SimCounter);
    CloseCounter(counter);
    SetNowSource(nullptr);
    return disk.Contents(SimCounter);
}

// OpenCounter gives nil on a failure; a sweep's workload must raise.
TRef<ICounter> OpenOrRaise() {
    TRef<ICounter> counter = OpenCounter(SimCounter);
    if (!counter) throw std::runtime_error("the counter does not open");
    return counter;
}

std::string Address(int n) { return "10.0." + std::to_string(n / 200) + "." + std::to_string(n % 200); }

// Sessions as the web program and the admin utility make them: visits and page hits over
// some days, hosts and pages added and deleted, skip entries, settings, a skin added and one
// deleted (its images are the largest writes).
void Sessions(const std::function<void()>& committed) {
    TSkinSet skin = MakeSkinSet(3);
    for (int session = 0; session < 12; ++session) {
        TRef<ICounter> counter = OpenOrRaise();
        for (int visit = 0; visit < 6; ++visit) {
            int n = session * 7 + visit;
            counter->RegisterVisit(Address(n % 23), "http://ref" + std::to_string(n % 5) + ".example/",
                                   At(n % 9, n % 24), true, true, false);
            counter->RegisterNodeHit(Address(n % 23), "page" + std::to_string(n % 4), true);
        }
        switch (session % 6) {
        case 0: counter->AddNode("new" + std::to_string(session)); break;
        case 1: counter->DeleteHost(Address(session)); break;
        case 2: counter->AddSkipIP(Address(session + 50)); break;
        case 3: counter->SetSiteName("Site " + std::to_string(session)); break;
        case 4: counter->AddSkin(skin.View()); break;
        case 5: counter->DeleteNode("new" + std::to_string(session - 5)); break;
        }
        if (session == 10) counter->DeleteSkin(1);
        CloseCounter(counter);
        committed();
    }
}

void ReopenCounter() {
    TRef<ICounter> counter = OpenCounter(SimCounter);
    counter->GetNodeList(0);
    CloseCounter(counter);
}

// Reopens the database and reads each of its lists and skins.
void ReadCounter() {
    TRef<ICounter> counter = OpenOrRaise();
    counter->GetNodeList(0);
    counter->GetHostList(0);
    counter->GetRefererList(0);
    counter->GetSkipList();
    for (int32_t skin = 0; skin < counter->GetSkinCount(); ++skin) {
        TSkinImages images;
        counter->GetSkinImages(skin, images);
    }
    CloseCounter(counter);
}
} // namespace

class CounterCrashTest : public ::testing::Test {
protected:
    void SetUp() override { StartStorageEngine(); }
    void TearDown() override { StopStorageEngine(); }
};

TEST_F(CounterCrashTest, EveryPowerCutInASessionLeavesItWholeOrUndone) {
    TCrashSweep sweep(SimCounter, FreshCounter(), Sessions, ReopenCounter);
    ASSERT_EQ(sweep.Commits(), 12u);
    sweep.CutEverywhere();
}

TEST_F(CounterCrashTest, EveryFailingCallInASessionIsReportedAndUndone) {
    TCrashSweep sweep(SimCounter, FreshCounter(), Sessions, ReopenCounter);
    sweep.FailEverywhere();
}

TEST_F(CounterCrashTest, AfterEveryFailingReadInASessionTheDatabaseReadsWhole) {
    TCrashSweep sweep(SimCounter, FreshCounter(), Sessions, ReadCounter);
    sweep.FailReadsEverywhere();
}

// Creation: after a power cut anywhere in it there is either no database yet, or a whole one.
TEST_F(CounterCrashTest, APowerCutWhileCreatingLeavesNoDatabaseOrAWholeOne) {
    uint64_t steps = 0;
    {
        TSimulatedDisk disk(1);
        TOsFileLayerScope scope(disk);
        TRef<ICounter> counter = OpenCounter(SimCounter);
        CloseCounter(counter);
        steps = disk.Steps();
    }
    for (uint64_t cut = 1; cut <= steps; ++cut) {
        TSimulatedDisk disk(cut);
        TOsFileLayerScope scope(disk);
        disk.CutAt(cut);
        try {
            TRef<ICounter> counter = OpenCounter(SimCounter);
            CloseCounter(counter);
        } catch (const std::exception&) {}
        disk.PowerCut();
        if (!FileExists(SimCounter)) continue;
        TRef<ICounter> counter = OpenCounter(SimCounter);
        ASSERT_TRUE(counter) << "cut at " << cut;
        EXPECT_EQ(counter->GetSkinCount(), 1) << "cut at " << cut;
        EXPECT_EQ(counter->GetTotalHosts(), 0) << "cut at " << cut;
        CloseCounter(counter);
    }
}

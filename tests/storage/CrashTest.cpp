// Commits are all or nothing: power cuts and failing writes, truncations and syncs at every
// changing call of randomised workloads, on the simulated disk, and failing reads at every read.
// And what a commit writes.
#include "CrashSweep.h"
#include "OstraTestFile.h"
#include "StorageFixture.h"
#include "storage/OstraFile.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {
const std::string SimFile = "/sim/crash.ostra";

TRef<IVirtualStorage> SimStorage(const std::string& mode) {
    return StorageFactory()->CreateStorage(0, 0, SimFile, "", "Mode:" + mode + "; Class:" + TestDataClass);
}

// A new storage file as the simulated disk holds it after its first commit.
std::vector<uint8_t> FreshFile() {
    TSimulatedDisk disk(0);
    TOsFileLayerScope scope(disk);
    SetNowSource([] { return 46000.5; });
    SimStorage("CREATE")->Flush();
    SetNowSource(nullptr);
    return disk.Contents(SimFile);
}

// Commits of random changes under the root atom: children made, rewritten (growing and
// shrinking, small and large), linked below each other and dropped (cascading deletes that
// leave holes and shorten the file), in nested transactions, some aborted, and at the storage
// level.
class TStorageWorkload {
public:
    TStorageWorkload(uint32_t seed, int commits) : Seed(seed), CommitCount(commits) {}

    void operator()(const std::function<void()>& committed) {
        Random.seed(Seed);
        TRef<IVirtualStorage> storage = SimStorage("Open");
        for (int commit = 0; commit < CommitCount; ++commit) {
            if (Pick(6) == 0) {
                storage = nullptr; // a new session now and then: the open path too
                storage = SimStorage("Open");
            }
            if (Pick(4) == 0) {
                Change(storage.get());
                storage->Flush();
            } else {
                TRef<IStorageTransaction> outer = storage->StartTransaction();
                Change(outer.get());
                if (Pick(2)) {
                    TRef<IStorageTransaction> inner = outer->StartTransaction();
                    Change(inner.get());
                    if (Pick(3))
                        inner->Commit();
                    else
                        inner->Abort();
                }
                outer->Commit();
            }
            committed();
        }
        storage->Flush();
    }

private:
    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(Random); }

    std::vector<uint8_t> Data() {
        uint32_t size = Pick(10) == 0 ? 1000 + Pick(40000) : Pick(60);
        std::vector<uint8_t> bytes(size);
        uint8_t fill = uint8_t(Pick(256));
        for (size_t i = 0; i < bytes.size(); i += 97) bytes[i] = fill++;
        return bytes;
    }

    void Change(IVirtualStorage* level) {
        TRef<IVirtualAtom> root = level->OpenRoot();
        for (uint32_t n = 1 + Pick(4); n > 0; --n) {
            uint32_t count = root->GetLinkCount();
            uint32_t op = Pick(10);
            if (op < 4 || count == 0) {
                TRef<IVirtualAtom> child = level->NewAtom();
                child->SetBytes(Data());
                root->SetLink(count, child.get());
            } else if (op < 7) {
                root->OpenLink(Pick(count))->SetBytes(Data());
            } else if (op < 8) {
                TRef<IVirtualAtom> parent = root->OpenLink(Pick(count));
                TRef<IVirtualAtom> grandchild = level->NewAtom();
                grandchild->SetBytes(Data());
                parent->SetLink(parent->GetLinkCount(), grandchild.get());
            } else {
                root->DeleteLink(Pick(count));
            }
        }
    }

    uint32_t Seed;
    int CommitCount;
    std::mt19937 Random;
};

class CrashTest : public StorageTest {
protected:
    static void Reopen() { SimStorage("Open"); }
    // Reopens the file and reads every atom the root reaches, data and links.
    static void ReadEverything() {
        TRef<IVirtualStorage> storage = SimStorage("ReadOnly");
        std::vector<TRef<IVirtualAtom>> pending{storage->OpenRoot()};
        std::set<TAtomHandle> seen;
        while (!pending.empty()) {
            TRef<IVirtualAtom> atom = std::move(pending.back());
            pending.pop_back();
            if (!seen.insert(Query<IAtomInfo>(atom)->GetAddress().Handle).second) continue;
            atom->GetBytes();
            for (uint32_t i = 0; i < atom->GetLinkCount(); ++i)
                if (atom->HasLink(i)) pending.push_back(atom->OpenLink(i));
        }
    }
};
} // namespace

TEST_F(CrashTest, TheSimulatedDiskLosesOnlyWhatWasNotSynced) {
    TSimulatedDisk disk(5);
    {
        TOsFileLayerScope scope(disk);
        TOsFile file;
        ASSERT_EQ(file.Open("/sim/f", true, TOsDisposition::CreateNew, false), 0);
        std::vector<uint8_t> synced(4096, 1), unsynced(4096, 2);
        file.WriteAt(synced, 0);
        file.Sync();
        OsFileLayer().SyncFolderOf("/sim/f");
        for (int i = 0; i < 64; ++i) file.WriteAt(unsynced, 4096 + 4096 * uint64_t(i));
        disk.CutAt(disk.Steps() + 1);
        EXPECT_THROW(file.Sync(), EOSError);
    }
    disk.PowerCut();
    std::vector<uint8_t> after = disk.Contents("/sim/f");
    ASSERT_GE(after.size(), 4096u);
    EXPECT_EQ(std::count(after.begin(), after.begin() + 4096, 1), 4096);
    size_t kept = size_t(std::count(after.begin() + 4096, after.end(), 2));
    EXPECT_EQ(kept % TSimulatedDisk::SectorSize, 0u); // torn at sectors, never inside one
    EXPECT_LT(kept, 64u * 4096);                      // some of 512 sectors were lost
}

TEST_F(CrashTest, EveryPowerCutLeavesTheLastCommitOrTheOneBefore) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        TCrashSweep sweep(SimFile, FreshFile(), TStorageWorkload(seed, 30), Reopen);
        ASSERT_EQ(sweep.Commits(), 30u);
        sweep.CutEverywhere();
    }
}

TEST_F(CrashTest, APowerCutWhileABufferTooSmallForItsCommitSpillsLosesNothingCommitted) {
    TPageBufferLimits saved = std::exchange(PageBufferLimits, TPageBufferLimits{4, 12});
    for (uint32_t seed : {7u, 8u}) {
        TCrashSweep sweep(SimFile, FreshFile(), TStorageWorkload(seed, 25), Reopen);
        sweep.CutEverywhere();
        sweep.FailEverywhere();
    }
    PageBufferLimits = saved;
}

// However many atoms a commit writes, each page of the atom table takes them in one sweep: a
// commit that outgrows the page buffer hands the disk about the file once, not once per spill.
TEST_F(CrashTest, ACommitLargerThanThePageBufferWritesTheFileAboutOnce) {
    TPageBufferLimits saved = std::exchange(PageBufferLimits, TPageBufferLimits{16, 16});
    TSimulatedDisk disk(11);
    disk.SetContents(SimFile, FreshFile());
    TOsFileLayerScope scope(disk);
    {
        TRef<IVirtualStorage> storage = SimStorage("Open");
        TRef<IStorageTransaction> transaction = storage->StartTransaction();
        TRef<IVirtualAtom> root = transaction->OpenRoot();
        for (uint32_t i = 0; i < 6000; ++i) {
            TRef<IVirtualAtom> atom = transaction->NewAtom();
            atom->SetText("atom " + std::to_string(i));
            root->SetLink(i, atom.get());
        }
        root = nullptr;
        transaction->Commit();
    }
    PageBufferLimits = saved;
    EXPECT_LT(disk.BytesWritten(), 3 * disk.Contents(SimFile).size());
}

// A read that fails after the page buffer was emptied to make room for it leaves none of the
// emptied pages reachable: the page found last before is read from the disk again, and fails.
TEST_F(CrashTest, AReadFailingAfterTheBufferWasEmptiedForItLeavesNoOldPageBehind) {
    TPageBufferLimits saved = std::exchange(PageBufferLimits, TPageBufferLimits{1, 1});
    TSimulatedDisk disk(3);
    TOsFileLayerScope scope(disk);
    {
        auto file = OpenOstra(SimFile, TOpenMode::Create);
        file->SetDataSize(16 * 4096);
        std::vector<uint8_t> page(4096, 0xA5);
        for (uint64_t at = 4096; at < 16 * 4096; at += 4096) file->Pager().WriteAt(page, at);
    }
    {
        auto file = OpenOstra(SimFile, TOpenMode::ReadOnly);
        std::vector<uint8_t> byte(1);
        file->Pager().ReadAt(byte, 4 * 4096);
        EXPECT_EQ(byte[0], 0xA5);
        disk.PowerCut();
        EXPECT_EQ(CatchKVZ([&] { file->Pager().ReadAt(byte, 9 * 4096); }).Code, 9);
        EXPECT_EQ(CatchKVZ([&] { file->Pager().ReadAt(byte, 4 * 4096); }).Code, 9);
    }
    PageBufferLimits = saved;
}

TEST_F(CrashTest, AfterEveryFailingReadTheFileReadsWhole) {
    TPageBufferLimits saved = std::exchange(PageBufferLimits, TPageBufferLimits{4, 12});
    for (uint32_t seed : {4u, 9u}) {
        TCrashSweep sweep(SimFile, FreshFile(), TStorageWorkload(seed, 20), ReadEverything);
        sweep.FailReadsEverywhere();
    }
    PageBufferLimits = saved;
}

TEST_F(CrashTest, EveryFailingWriteTruncateOrSyncIsReportedAndUndone) {
    for (uint32_t seed : {4u, 5u}) {
        TCrashSweep sweep(SimFile, FreshFile(), TStorageWorkload(seed, 20), Reopen);
        sweep.FailEverywhere();
    }
}

TEST_F(CrashTest, AFailedCommitRefusesFurtherWorkAndAReadOnlyOpenRollsItBack) {
    TSimulatedDisk disk(9);
    disk.SetContents(SimFile, FreshFile());
    TOsFileLayerScope scope(disk);
    {
        TRef<IVirtualStorage> storage = SimStorage("Open");
        storage->OpenRoot()->SetBytes(std::vector<uint8_t>(50000, 7));
        disk.CutAt(disk.Steps() + 7); // after the journal is synced, inside the file's writes
        EXPECT_EQ(ErrorCode([&] { storage->Flush(); }), 9);
        EXPECT_EQ(ErrorCode([&] { storage->OpenRoot(); }), 3); // the storage refuses further work
    }
    disk.PowerCut();
    ASSERT_TRUE(disk.Exists(SimFile + "-journal"));
    EXPECT_EQ(SimStorage("READONLY")->OpenRoot()->GetDataSize(), 0u);
    EXPECT_FALSE(disk.Exists(SimFile + "-journal"));
}

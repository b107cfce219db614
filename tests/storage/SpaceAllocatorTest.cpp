// Free-space management: growth of the data end, best fit, merging of released blocks, the
// write-through slack hole, the hole table on disk and its checks at open.
#include "OstraTestFile.h"

#include "storage/SpaceAllocator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class SpaceAllocatorTest : public TempDirTest {
protected:
    void SetUp() override { name = Temp.File("space.ostra"); }
    void Open(TOpenMode mode = TOpenMode::OpenOrCreate, bool writeThrough = false) {
        file.reset();
        file = OpenOstra(name, mode, writeThrough);
    }
    ISpaceAllocator& Space() { return *file->SpaceAllocator(); }
    TSpaceManager& Manager() { return dynamic_cast<TSpaceManager&>(Space()); }
    // Holes as (address, size) in address order.
    std::vector<std::pair<uint64_t, uint32_t>> Holes() {
        std::vector<std::pair<uint64_t, uint32_t>> holes;
        for (auto& [address, hole] : Manager().Holes().ByAddress()) holes.emplace_back(address, hole->Size);
        return holes;
    }
    using Holes_t = std::vector<std::pair<uint64_t, uint32_t>>;

    std::string name;
    std::unique_ptr<TOstraFile> file;
};

TEST_F(SpaceAllocatorTest, AnEmptyStorageGrowsAtItsEnd) {
    Open();
    EXPECT_EQ(Space().Allocate(100), 128u);
    EXPECT_EQ(file->DataSize(), 228u);
    EXPECT_EQ(file->GetFileSize(), 4096u);
    EXPECT_EQ(Space().Allocate(50), 228u);
    EXPECT_EQ(file->DataSize(), 278u);
    EXPECT_EQ(file->HoleTableRoot(), 0u);
}

TEST_F(SpaceAllocatorTest, WriteThroughRoundsTheEndAndKeepsTheSlackAsAHole) {
    Open(TOpenMode::OpenOrCreate, true);
    EXPECT_EQ(Space().Allocate(100), 128u);
    EXPECT_EQ(Holes(), (Holes_t{{228, 3868}}));
    EXPECT_EQ(file->HoleTableRoot(), 4096u);
    EXPECT_EQ(file->DataSize(), 8208u);
    // The hole table on disk: head {0, 256, 0}, slot 0 holding the slack hole.
    file.reset();
    auto bytes = TTempDir::ReadBytes(name);
    EXPECT_EQ(FileLE(bytes, 4096, 8), 0u);
    EXPECT_EQ(FileLE(bytes, 4104, 4), 256u);
    EXPECT_EQ(FileLE(bytes, 4116, 8), 228u);
    EXPECT_EQ(FileLE(bytes, 4124, 4), 3868u);
    EXPECT_EQ(FileLE(bytes, 4112, 4), CRC32Of(std::span<const uint8_t>(bytes.data() + 4116, 12)));
    // Reopened, the slack is used first.
    Open(TOpenMode::Open, true);
    EXPECT_EQ(Space().Allocate(68), 228u);
    EXPECT_EQ(Holes(), (Holes_t{{296, 3800}}));
}

TEST_F(SpaceAllocatorTest, ReleasingTheLastBlockShrinksTheDataAndSwallowsTheHoleBeforeIt) {
    Open();
    uint64_t a = Space().Allocate(100);
    uint64_t b = Space().Allocate(100);
    Space().Release(100, b);
    EXPECT_EQ(file->DataSize(), b);
    Space().Release(100, a);
    EXPECT_EQ(file->DataSize(), 128u);
    EXPECT_EQ(file->GetFileSize(), 4096u);
    a = Space().Allocate(100);
    b = Space().Allocate(100);
    Space().Release(100, a);            // the first hole appends the hole table after b
    uint64_t c = Space().Allocate(100); // taken from the hole
    EXPECT_EQ(c, a);
    uint64_t d = Space().Allocate(100);
    uint64_t e = Space().Allocate(100);
    Space().Release(100, d);
    EXPECT_EQ(Holes(), (Holes_t{{d, 100}}));
    Space().Release(100, e);
    EXPECT_EQ(file->DataSize(), d);
    EXPECT_TRUE(Holes().empty());
}

TEST_F(SpaceAllocatorTest, ReleaseBetweenTwoHolesMergesAllThreeAndPoolsTheSlot) {
    Open();
    std::vector<uint64_t> block;
    for (int i = 0; i < 6; ++i) block.push_back(Space().Allocate(32));
    Space().Release(32, block[1]); // slot 0, creates the hole table at the end
    Space().Release(32, block[3]); // slot 1
    EXPECT_EQ(Holes().size(), 2u);
    Space().Release(32, block[2]);
    EXPECT_EQ(Holes(), (Holes_t{{block[1], 96}}));
    EXPECT_EQ(Manager().Holes().ByAddress().begin()->second->Slot, 0u);
    Space().Release(32, block[5]); // a new separate hole reuses the pooled slot 1
    ASSERT_EQ(Holes().size(), 2u);
    EXPECT_EQ(Manager().Holes().ByAddress().rbegin()->second->Slot, 1u);
    Space().Release(0, block[0]);
    EXPECT_EQ(Holes().size(), 2u);
}

TEST_F(SpaceAllocatorTest, BestFitTakesTheSmallestAndAmongEqualsTheOldest) {
    Open();
    std::vector<uint64_t> block;
    for (uint32_t size : {64u, 8u, 48u, 8u, 64u, 8u}) block.push_back(Space().Allocate(size));
    Space().Release(64, block[0]);
    Space().Release(48, block[2]);
    Space().Release(64, block[4]);
    EXPECT_EQ(Space().Allocate(50), block[0]);
    EXPECT_EQ(Holes(), (Holes_t{{block[0] + 50, 14}, {block[2], 48}, {block[4], 64}}));
    EXPECT_EQ(Space().Allocate(48), block[2]);
    EXPECT_EQ(Holes(), (Holes_t{{block[0] + 50, 14}, {block[4], 64}}));
    EXPECT_EQ(Space().Allocate(14), block[0] + 50);
    uint64_t end = file->DataSize();
    EXPECT_EQ(Space().Allocate(65), end); // nothing fits: the data end grows
}

TEST_F(SpaceAllocatorTest, AShrunkHoleQueuesBehindOlderHolesOfItsNewSize) {
    Open();
    std::vector<uint64_t> block;
    for (uint32_t size : {40u, 8u, 30u, 8u}) block.push_back(Space().Allocate(size));
    Space().Release(30, block[2]); // the older 30-byte hole
    Space().Release(40, block[0]);
    EXPECT_EQ(Space().Allocate(10), block[2]); // smallest fit: the 30 shrinks to 20
    EXPECT_EQ(Space().Allocate(10), block[2] + 10);
    EXPECT_EQ(Space().Allocate(10), block[2] + 20);
    EXPECT_EQ(Space().Allocate(10), block[0]);
}

TEST_F(SpaceAllocatorTest, HolesSurviveReopeningInSlotOrder) {
    Open();
    std::vector<uint64_t> block;
    for (int i = 0; i < 8; ++i) block.push_back(Space().Allocate(16 + 16 * (i % 2)));
    Space().Release(16, block[2]);
    Space().Release(16, block[4]);
    Space().Release(32, block[5]);
    Holes_t before = Holes();
    Open(TOpenMode::Open);
    EXPECT_EQ(Holes(), before);
    EXPECT_EQ(Space().Allocate(16), block[2]);
    Open(TOpenMode::ReadOnly);
    EXPECT_TRUE(Holes().empty()); // nothing is ever allocated in a read-only file
}

TEST_F(SpaceAllocatorTest, ManyHolesGrowTheHoleTableBySegments) {
    Open();
    std::vector<uint64_t> block;
    for (int i = 0; i < 1000; ++i) block.push_back(Space().Allocate(8));
    for (int i = 0; i < 1000; i += 2) Space().Release(8, block[size_t(i)]);
    EXPECT_EQ(Holes().size(), 500u);
    EXPECT_EQ(Manager().Total(), 256u + 512u);
    Open(TOpenMode::Open);
    EXPECT_EQ(Holes().size(), 500u);
    for (int i = 1; i < 999; i += 2) Space().Release(8, block[size_t(i)]);
    EXPECT_EQ(Holes(), (Holes_t{{block[0], 8 * 999}}));
    Open(TOpenMode::Open);
    EXPECT_EQ(Holes(), (Holes_t{{block[0], 8 * 999}}));
}

// Slot s of a one-segment hole table on disk.
void PatchSlot(const std::string& name, uint64_t tableAddress, uint32_t slot, uint64_t address, uint32_t size) {
    std::vector<uint8_t> entry = LE(0, 4);
    auto a = LE(address, 8), s = LE(size, 4);
    entry.insert(entry.end(), a.begin(), a.end());
    entry.insert(entry.end(), s.begin(), s.end());
    auto crc = LE(CRC32Of(std::span<const uint8_t>(entry.data() + 4, 12)), 4);
    std::copy(crc.begin(), crc.end(), entry.begin());
    PatchFile(name, tableAddress + 16 + 16 * uint64_t(slot), entry);
}

TEST_F(SpaceAllocatorTest, HoleEntriesOutsideTheDataOrOverlappingAreIgnored) {
    Open();
    std::vector<uint64_t> block;
    for (int i = 0; i < 4; ++i) block.push_back(Space().Allocate(100));
    Space().Release(100, block[1]);
    uint64_t table = file->HoleTableRoot();
    uint64_t dataSize = file->DataSize();
    file.reset();
    PatchSlot(name, table, 1, dataSize - 10, 100); // runs past the data end
    PatchSlot(name, table, 2, block[1] + 50, 100); // overlaps the hole of slot 0
    PatchSlot(name, table, 3, table + 16, 32);     // inside the hole table itself
    PatchSlot(name, table, 4, 64, 32);             // inside the header
    PatchSlot(name, table, 5, block[3], 0);        // empty
    Open(TOpenMode::Open);
    EXPECT_EQ(Holes(), (Holes_t{{block[1], 100}}));
    // A bad-CRC slot counts as free and is reused.
    file.reset();
    PatchFile(name, table + 16 + 16, {0xFF});
    Open(TOpenMode::Open);
    Space().Release(100, block[3]);
    EXPECT_EQ(Holes(), (Holes_t{{block[1], 100}, {block[3], 100}}));
    EXPECT_EQ(Manager().Holes().ByAddress().rbegin()->second->Slot, 1u);
}

TEST_F(SpaceAllocatorTest, ABrokenHoleChainIs207AndNeverHangs) {
    Open();
    std::vector<uint64_t> block;
    for (int i = 0; i < 3; ++i) block.push_back(Space().Allocate(100));
    Space().Release(100, block[1]);
    uint64_t table = file->HoleTableRoot();
    file.reset();
    auto original = TTempDir::ReadBytes(name);
    PatchFile(name, table, LE(table, 8)); // Next points at itself
    EKVZError loop = CatchKVZ([&] { Open(TOpenMode::Open); });
    EXPECT_EQ(loop.Code, 207);
    EXPECT_STREQ(loop.what(), (name + ": File damaged").c_str());
    TTempDir::WriteBytes(name, original);
    PatchFile(name, table, LE(1 << 30, 8)); // beyond the data
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::Open); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    PatchFile(name, table + 8, LE(0x10000000, 4)); // entries running past the data
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::ReadOnly); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    PatchFile(name, table + 8, LE(255, 4)); // a count the first segment never holds
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::ReadOnly); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    PatchFile(name, 16, LE(40, 8)); // root inside the header
    FixHeaderCRC(name);
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::Open); }).Code, 207);
}

} // namespace

namespace {

// The blocks are sparse: the file never holds the gigabytes on disk.
TEST_F(SpaceAllocatorTest, AMergeBeyondFourGigabytesIsRefused) {
    Open();
    uint64_t a = Space().Allocate(0xF0000000u);
    uint64_t b = Space().Allocate(0x20000000u);
    Space().Allocate(16);
    Space().Release(0xF0000000u, a);
    EKVZError error = CatchKVZ([&] { Space().Release(0x20000000u, b); });
    EXPECT_EQ(error.Code, 9);
    EXPECT_EQ(Holes(), (Holes_t{{a, 0xF0000000u}}));
}

} // namespace

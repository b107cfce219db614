// The storage file: the header a new file gets, the open checks and their messages, the share
// lock between opens, the data size and physical length, and closing.
#include "OstraTestFile.h"

#include "platform/Clock.h"
#include "platform/SimulatedDisk.h"
#include "storage/AtomManager.h"
#include "storage/SpaceAllocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class OstraFileTest : public TempDirTest {
protected:
    void SetUp() override {
        SetNowSource([this] { return clock; });
        NewFileAtomSizeAlign = 1;
        name = Temp.File("db.ostra");
    }
    void TearDown() override {
        SetNowSource(nullptr);
        NewFileAtomSizeAlign = 1;
    }
    void CreateEmpty() { OpenOstra(name, TOpenMode::Create).reset(); }
    EKVZError OpenError(TOpenMode mode, std::vector<TGUID> classes = {TestClassGuid}) {
        return CatchKVZ([&] { TOstraFile file(name, mode, classes, false); });
    }

    TDateTime clock = EncodeDate(2026, 12, 9) + EncodeTime(10, 20, 30, 0);
    std::string name;
};

TEST_F(OstraFileTest, CreateThenCloseLeavesExactlyTheHeader) {
    NewFileAtomSizeAlign = 16;
    {
        auto file = OpenOstra(name, TOpenMode::Create);
        EXPECT_TRUE(file->IsNew());
        EXPECT_EQ(file->DataSize(), 128u);
    }
    auto bytes = TTempDir::ReadBytes(name);
    ASSERT_EQ(bytes.size(), 128u);
    const uint8_t signature[16] = {'K', 'V', 'Z', '-', 'S', 'T', 'O', 'R', 'A', 'G', 'E', 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(signature, signature + 16, bytes.begin()));
    EXPECT_EQ(FileLE(bytes, 16, 8), 0u); // no hole table
    EXPECT_EQ(FileLE(bytes, 24, 8), 0u); // no atom table
    auto cls = TestClassGuid.Bytes();
    EXPECT_TRUE(std::equal(cls.begin(), cls.end(), bytes.begin() + 32));
    EXPECT_FALSE(TGUID::FromBytes(std::span<const uint8_t>(bytes.data() + 48, 16)).IsNull());
    uint32_t seconds = 10 * 3600 + 20 * 60 + 30;
    uint32_t day = uint32_t(EncodeDate(2026, 12, 9));
    EXPECT_EQ(FileLE(bytes, 64, 4), seconds);
    EXPECT_EQ(FileLE(bytes, 68, 4), day);
    EXPECT_EQ(FileLE(bytes, 72, 4), seconds);
    EXPECT_EQ(FileLE(bytes, 76, 4), day);
    EXPECT_EQ(FileLE(bytes, 80, 2), 0u);
    EXPECT_EQ(FileLE(bytes, 82, 2), 516u);
    EXPECT_EQ(FileLE(bytes, 84, 2), 516u);
    EXPECT_EQ(bytes[86], 0);
    EXPECT_EQ(bytes[87], 16);
    EXPECT_EQ(FileLE(bytes, 88, 8), 128u);
    for (size_t i = 96; i < 124; ++i) EXPECT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(FileLE(bytes, 124, 4), CRC32Of(std::span<const uint8_t>(bytes.data(), 124)));
}

TEST_F(OstraFileTest, CloseAfterWriteRestampsModifiedOnly) {
    auto file = OpenOstra(name, TOpenMode::Create);
    TGUID id = file->StorageID();
    clock += 1.5; // a day and twelve hours later
    file.reset();
    auto reopened = OpenOstra(name, TOpenMode::ReadOnly);
    EXPECT_EQ(reopened->StorageID(), id);
    EXPECT_DOUBLE_EQ(reopened->GetCreated(), EncodeDate(2026, 12, 9) + EncodeTime(10, 20, 30, 0));
    EXPECT_DOUBLE_EQ(reopened->GetModified(), EncodeDate(2026, 12, 10) + EncodeTime(22, 20, 30, 0));
    EXPECT_FALSE(reopened->IsNew());
}

TEST_F(OstraFileTest, OpenWithoutWritingLeavesTheFileAlone) {
    CreateEmpty();
    auto before = TTempDir::ReadBytes(name);
    clock += 3;
    OpenOstra(name, TOpenMode::Open).reset();
    EXPECT_EQ(TTempDir::ReadBytes(name), before);
}

TEST_F(OstraFileTest, OpenOrCreateCreatesOrInitialisesAnEmptyFileAndOpensAFullOne) {
    {
        auto file = OpenOstra(name, TOpenMode::OpenOrCreate);
        EXPECT_TRUE(file->IsNew());
    }
    {
        auto file = OpenOstra(name, TOpenMode::OpenOrCreate);
        EXPECT_FALSE(file->IsNew());
    }
    std::string empty = Temp.File("empty.ostra");
    TTempDir::WriteBytes(empty, {});
    {
        auto file = OpenOstra(empty, TOpenMode::OpenOrCreate);
        EXPECT_TRUE(file->IsNew());
    }
    EXPECT_EQ(TTempDir::ReadBytes(empty).size(), 128u);
}

TEST_F(OstraFileTest, OpenFailuresOfTheSystemAre201WithItsText) {
    EKVZError missing = OpenError(TOpenMode::Open);
    EXPECT_EQ(missing.Code, 201);
    EXPECT_STREQ(missing.what(), ("Error opening file \"" + name + "\": No such file or directory").c_str());
    EXPECT_EQ(OpenError(TOpenMode::ReadOnly).Code, 201);
    EXPECT_THROW(OpenOstra(name, TOpenMode::Open), EOstraOpenError);
    CreateEmpty();
    EKVZError exists = OpenError(TOpenMode::Create);
    EXPECT_EQ(exists.Code, 201);
    EXPECT_STREQ(exists.what(), ("Error opening file \"" + name + "\": File exists").c_str());
}

TEST_F(OstraFileTest, MessagesNameTheFileAsPassedNotItsFullPath) {
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(Temp.Path());
    EKVZError error = CatchKVZ([] { OpenOstra("db.ostra", TOpenMode::Open); });
    std::filesystem::current_path(previous);
    EXPECT_STREQ(error.what(), "Error opening file \"db.ostra\": No such file or directory");
}

TEST_F(OstraFileTest, CreatingWithoutExactlyOneClassIs203BeforeTouchingTheFile) {
    for (TOpenMode mode : {TOpenMode::Create, TOpenMode::OpenOrCreate}) {
        EKVZError none = OpenError(mode, {});
        EXPECT_EQ(none.Code, 203);
        EXPECT_STREQ(none.what(), (name + ": Unmatched file data class").c_str());
        EXPECT_EQ(OpenError(mode, {TestClassGuid, OtherDataClass}).Code, 203);
        EXPECT_FALSE(std::filesystem::exists(name));
    }
}

TEST_F(OstraFileTest, DataClassDecidesWhoMayOpen) {
    CreateEmpty();
    EXPECT_EQ(OpenError(TOpenMode::Open, {OtherDataClass}).Code, 203);
    EXPECT_EQ(OpenError(TOpenMode::Open, {}).Code, 203);
    EXPECT_EQ(OpenError(TOpenMode::Open, {OtherDataClass, TestClassGuid}).Code, -1);
    EXPECT_EQ(OpenError(TOpenMode::ReadOnly, {}).Code, -1);
    EXPECT_EQ(OpenError(TOpenMode::ReadOnly, {OtherDataClass}).Code, 203);
}

TEST_F(OstraFileTest, ShortOrForeignFilesAre202) {
    TTempDir::WriteBytes(name, {});
    EKVZError empty = OpenError(TOpenMode::Open);
    EXPECT_EQ(empty.Code, 202);
    EXPECT_STREQ(empty.what(), ("Invalid file format: \"" + name + "\" is not a valid Ostra file").c_str());
    TTempDir::WriteBytes(name, std::vector<uint8_t>(127, 0));
    EXPECT_EQ(OpenError(TOpenMode::ReadOnly).Code, 202);
    std::filesystem::remove(name);
    CreateEmpty();
    PatchFile(name, 0, {'k'}); // the signature compares case-sensitively
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, 202);
}

TEST_F(OstraFileTest, VersionsOutsideTheReaderAre204) {
    CreateEmpty();
    PatchFile(name, 82, LE(515, 2));
    EKVZError old = OpenError(TOpenMode::Open);
    EXPECT_EQ(old.Code, 204);
    EXPECT_STREQ(old.what(), (name + ": Unsupported version of Ostra file format").c_str());
    PatchFile(name, 82, LE(516, 2));
    PatchFile(name, 84, LE(517, 2));
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, 204);
    PatchFile(name, 84, LE(0x8000, 2)); // unsigned: far above 516
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, 204);
}

TEST_F(OstraFileTest, AnyChangedByteUnderTheCrcIs206) {
    CreateEmpty();
    auto original = TTempDir::ReadBytes(name);
    for (uint64_t offset : {16, 40, 48, 64, 80, 86, 87, 88, 100, 123, 124}) {
        TTempDir::WriteBytes(name, original);
        PatchFile(name, offset, {uint8_t(original[offset] ^ 0x01)});
        EKVZError error = OpenError(TOpenMode::Open);
        EXPECT_EQ(error.Code, offset == 40 ? 203 : 206) << offset;
        if (offset == 100) {
            EXPECT_STREQ(error.what(), (name + ": File header CRC check has failed").c_str());
        }
    }
}

TEST_F(OstraFileTest, DataSizeOutsideTheFileIs207) {
    {
        auto file = OpenOstra(name, TOpenMode::Create);
        file->SetDataSize(5000);
    }
    std::filesystem::resize_file(name, 4999);
    EKVZError shorter = OpenError(TOpenMode::Open);
    EXPECT_EQ(shorter.Code, 207);
    EXPECT_STREQ(shorter.what(), (name + ": File damaged").c_str());
    std::filesystem::resize_file(name, 20000); // longer does not matter
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, -1);
    for (uint64_t size : {uint64_t(0), uint64_t(127), ~uint64_t(0)}) {
        PatchFile(name, 88, LE(size, 8));
        FixHeaderCRC(name);
        EXPECT_EQ(OpenError(TOpenMode::ReadOnly).Code, 207) << size;
    }
}

TEST_F(OstraFileTest, ReadOnlyMarkRefusesWritersAndDamagedMarkOpens) {
    CreateEmpty();
    PatchFile(name, 80, LE(1, 2));
    FixHeaderCRC(name);
    EKVZError error = OpenError(TOpenMode::Open);
    EXPECT_EQ(error.Code, 205);
    EXPECT_STREQ(error.what(), ("\"" + name + "\" is marked for read access only").c_str());
    EXPECT_EQ(OpenError(TOpenMode::ReadOnly).Code, -1);
    PatchFile(name, 80, LE(2, 2));
    FixHeaderCRC(name);
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, -1);
}

TEST_F(OstraFileTest, OneWriterOrManyReadersWithinOneProcess) {
    CreateEmpty();
    {
        auto writer = OpenOstra(name, TOpenMode::Open);
        EXPECT_EQ(OpenError(TOpenMode::Open).Code, 201);
        EXPECT_EQ(OpenError(TOpenMode::OpenOrCreate).Code, 201);
        EXPECT_EQ(OpenError(TOpenMode::ReadOnly).Code, 201);
    }
    auto reader1 = OpenOstra(name, TOpenMode::ReadOnly);
    auto reader2 = OpenOstra(name, TOpenMode::ReadOnly);
    EXPECT_EQ(OpenError(TOpenMode::Open).Code, 201);
}

// The child's exit status: 0 opened, 1 refused with 201, 2 anything else.
int OpenInChild(const std::string& name, TOpenMode mode) {
    pid_t pid = fork();
    if (pid == 0) {
        int status = 2;
        try {
            OpenOstra(name, mode);
            status = 0;
        } catch (const EKVZError& error) {
            status = error.Code == 201 ? 1 : 2;
        } catch (...) {}
        _exit(status);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(OstraFileTest, OneWriterOrManyReadersAcrossProcesses) {
    CreateEmpty();
    {
        auto writer = OpenOstra(name, TOpenMode::Open);
        EXPECT_EQ(OpenInChild(name, TOpenMode::Open), 1);
        EXPECT_EQ(OpenInChild(name, TOpenMode::ReadOnly), 1);
    }
    EXPECT_EQ(OpenInChild(name, TOpenMode::Open), 0);
    auto reader = OpenOstra(name, TOpenMode::ReadOnly);
    EXPECT_EQ(OpenInChild(name, TOpenMode::ReadOnly), 0);
    EXPECT_EQ(OpenInChild(name, TOpenMode::Open), 1);
}

TEST_F(OstraFileTest, DataSizeSetsThePhysicalLengthInWholeSteps) {
    auto file = OpenOstra(name, TOpenMode::Create);
    file->SetDataSize(4097);
    EXPECT_EQ(file->GetFileSize(), 8192u);
    file->SetDataSize(4096);
    EXPECT_EQ(file->GetFileSize(), 4096u);
    file->SetDataSize(200);
    EXPECT_EQ(file->GetFileSize(), 4096u);
    file.reset();
    EXPECT_EQ(OpenOstra(name, TOpenMode::ReadOnly)->DataSize(), 200u);
}

TEST_F(OstraFileTest, PositionedTransfers) {
    auto file = OpenOstra(name, TOpenMode::Create);
    file->SetDataSize(4000);
    std::vector<uint8_t> pattern(3000, 0xAB);
    file->Pager().WriteAt(pattern, 200);
    file->Pager().FillAt(2500, 0x5A, 300);
    std::vector<uint8_t> read(3000);
    file->Pager().ReadAt(read, 200);
    for (size_t i = 0; i < read.size(); ++i) ASSERT_EQ(read[i], (i >= 100 && i < 2600) ? 0x5A : 0xAB) << i;
    std::vector<uint8_t> beyond(10);
    EKVZError error = CatchKVZ([&] { file->Pager().ReadAt(beyond, 4090); });
    EXPECT_EQ(error.Code, 9);
    EXPECT_STREQ(error.what(), "File read error");
}

// Writes wait in memory: reads see them at once, the disk at a flush or the close.
TEST_F(OstraFileTest, WrittenBytesReachTheDiskAtFlushAndReadsSeeThemBefore) {
    auto file = OpenOstra(name, TOpenMode::Create);
    file->SetDataSize(20000);
    std::vector<uint8_t> pattern(9000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
    file->Pager().WriteAt(pattern, 3000); // across three page borders
    std::vector<uint8_t> read(9000);
    file->Pager().ReadAt(read, 3000);
    EXPECT_EQ(read, pattern);
    std::vector<uint8_t> small(10);
    file->Pager().ReadAt(small, 4090);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), pattern.begin() + 1090));
    file->Commit();
    auto bytes = TTempDir::ReadBytes(name);
    ASSERT_EQ(bytes.size(), 20480u);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), bytes.begin() + 3000));
    EXPECT_EQ(FileLE(bytes, OstraHeader::DataSizeOffset, 8), 20000u);
    uint8_t late[3] = {9, 8, 7};
    file->Pager().WriteAt(late, 19990);
    file.reset();
    bytes = TTempDir::ReadBytes(name);
    EXPECT_EQ(bytes[19990], 9);
    EXPECT_EQ(bytes[19992], 7);
}

// A write across two pages whose second page fails to read in raises and changes nothing: the
// first page's bytes must not reach the disk at a later commit.
TEST_F(OstraFileTest, AWriteWhoseSecondPageFailsToReadInChangesNothing) {
    TSimulatedDisk disk(1);
    TOsFileLayerScope scope(disk);
    const std::string simName = "/sim/torn.ostra";
    constexpr size_t PageSize = TOstraFile::PageSize;
    {
        auto file = OpenOstra(simName, TOpenMode::Create);
        file->SetDataSize(20000);
        file->Pager().FillAt(20000 - 200, 0x11, 200);
        file->Commit();
    }
    auto file = OpenOstra(simName, TOpenMode::Open);
    std::vector<uint8_t> first(10);
    file->Pager().ReadAt(first, 2000); // the first page is in the buffer, the second not
    disk.FailReadAt(disk.Reads() + 1, EIO);
    std::vector<uint8_t> bytes(32, 0x22);
    EXPECT_EQ(CatchKVZ([&] { file->Pager().WriteAt(bytes, PageSize - 16); }).Code, 9);
    std::vector<uint8_t> back(32);
    file->Pager().ReadAt(back, PageSize - 16);
    EXPECT_EQ(back, std::vector<uint8_t>(32, 0x11));
    file->Commit();
    file.reset();
    std::vector<uint8_t> stored = disk.Contents(simName);
    EXPECT_TRUE(std::all_of(stored.begin() + PageSize - 16, stored.begin() + PageSize + 16,
                            [](uint8_t b) { return b == 0x11; }));
}

// Many megabytes of writes go out along the way and still read back, before and after reopening.
TEST_F(OstraFileTest, LargeWritesAndReadsBeyondTheBufferLimits) {
    constexpr uint32_t Size = 12u << 20;
    auto file = OpenOstra(name, TOpenMode::Create);
    file->SetDataSize(Size);
    auto value = [](uint64_t at) { return uint8_t(at * 13 / 4096 + at); };
    std::vector<uint8_t> block(4000);
    for (uint64_t at = 128; at + block.size() <= Size; at += block.size()) {
        for (size_t i = 0; i < block.size(); ++i) block[i] = value(at + i);
        file->Pager().WriteAt(block, at);
    }
    auto check = [&](TOstraFile& f) {
        std::vector<uint8_t> read(100);
        for (uint64_t at = 128; at + read.size() <= Size; at += 40961) {
            f.Pager().ReadAt(read, at);
            for (size_t i = 0; i < read.size(); ++i) ASSERT_EQ(read[i], value(at + i)) << at + i;
        }
        std::vector<uint8_t> large(1 << 20);
        f.Pager().ReadAt(large, 5000);
        for (size_t i = 0; i < large.size(); ++i) ASSERT_EQ(large[i], value(5000 + i)) << i;
    };
    check(*file);
    file.reset();
    check(*OpenOstra(name, TOpenMode::ReadOnly));
}

// The header naming the shorter data is on the disk before the file is cut, so the file on
// disk is never shorter than its header says; the cut part reads as zeros when it grows again.
TEST_F(OstraFileTest, ShrinkingCutsTheFileAtTheCommitAndThePastReadsZeros) {
    auto file = OpenOstra(name, TOpenMode::Create);
    file->SetDataSize(10000);
    std::vector<uint8_t> ones(9000, 1);
    file->Pager().WriteAt(ones, 500);
    file->Commit();
    file->SetDataSize(5000);
    EXPECT_EQ(TTempDir::ReadBytes(name).size(), 12288u);
    file->Commit();
    auto bytes = TTempDir::ReadBytes(name);
    ASSERT_EQ(bytes.size(), 8192u);
    EXPECT_EQ(FileLE(bytes, OstraHeader::DataSizeOffset, 8), 5000u);
    EXPECT_EQ(bytes[4999], 1);
    file->SetDataSize(3000);
    EXPECT_EQ(CatchKVZ([&] {
                  std::vector<uint8_t> b(10);
                  file->Pager().ReadAt(b, 4095);
              }).Code,
              9);
    file->SetDataSize(10000);
    std::vector<uint8_t> read(200);
    file->Pager().ReadAt(read, 4000);
    EXPECT_EQ(read[95], 1);
    EXPECT_EQ(read[96], 0); // 4096 and on were cut
    EXPECT_EQ(read[199], 0);
}

// A session that has read many pages reads through a mapping of the file: a model of the
// bytes must still see every waiting write, every cut and growth, across commits and reopening.
TEST_F(OstraFileTest, MappedReadsSeeWritesCutsAndCommits) {
    std::mt19937 random(7);
    auto file = OpenOstra(name, TOpenMode::Create);
    std::vector<uint8_t> model(1 << 20);
    file->SetDataSize(model.size());
    auto write = [&] {
        uint64_t at = 128 + random() % (model.size() - 128);
        std::vector<uint8_t> bytes(std::min<uint64_t>(1 + random() % 3000, model.size() - at));
        for (uint8_t& b : bytes) b = uint8_t(random());
        file->Pager().WriteAt(bytes, at);
        std::copy(bytes.begin(), bytes.end(), model.begin() + std::ptrdiff_t(at));
    };
    auto check = [&](TOstraFile& f) {
        std::vector<uint8_t> read;
        for (int i = 0; i < 400; ++i) {
            uint64_t at = 128 + random() % (model.size() - 128);
            read.resize(std::min<uint64_t>(1 + random() % 1500, model.size() - at));
            f.Pager().ReadAt(read, at);
            ASSERT_TRUE(std::equal(read.begin(), read.end(), model.begin() + std::ptrdiff_t(at))) << at;
        }
    };
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 60; ++i) write();
        check(*file);
        if (round % 2) file->Commit();
        // A cut in whole pages, committed or not, then growth back: the cut part reads zeros.
        uint64_t cut = (16 + random() % 200) * OstraFileGranule;
        file->SetDataSize(cut);
        std::fill(model.begin() + std::ptrdiff_t(cut), model.end(), 0);
        if (round % 3 == 0) file->Commit();
        file->SetDataSize(model.size());
        check(*file);
    }
    file->Commit();
    file.reset();
    check(*OpenOstra(name, TOpenMode::ReadOnly));
}

TEST_F(OstraFileTest, ReadOnlyFilesRefuseWrites) {
    CreateEmpty();
    auto file = OpenOstra(name, TOpenMode::ReadOnly);
    uint8_t byte[1] = {1};
    EKVZError error = CatchKVZ([&] { file->Pager().WriteAt(byte, 0); });
    EXPECT_EQ(error.Code, 3);
    EXPECT_STREQ(error.what(), "Access is denied");
    EXPECT_EQ(CatchKVZ([&] { file->Pager().FillAt(1, 0, 0); }).Code, 3);
    EXPECT_EQ(CatchKVZ([&] { file->CheckWritable(); }).Code, 3);
    EXPECT_EQ(CatchKVZ([&] { file->SpaceAllocator()->Allocate(10); }).Code, 3);
}

TEST_F(OstraFileTest, ManagersOutlivingTheirFileRaiseInsteadOfTouchingIt) {
    auto file = OpenOstra(name, TOpenMode::Create);
    TRef<IAtomManager> atoms(file->AtomManager());
    TRef<ISpaceAllocator> space(file->SpaceAllocator());
    file.reset();
    EXPECT_EQ(CatchKVZ([&] { atoms->NewHandle(); }).Code, 3);
    EXPECT_EQ(CatchKVZ([&] { space->Allocate(10); }).Code, 3);
}

} // namespace

// The atom table: handles, the two entry forms with their exact bytes, bodies and their moves,
// CRC checks with the damaged mark, broken tables at open, and a randomised run against a model.
#include "OstraTestFile.h"

#include "storage/AtomManager.h"
#include "storage/SpaceAllocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace {

struct TModelAtom {
    std::vector<uint8_t> Data;
    TAtomHandleArray Links;
    uint8_t Width = 1;
    uint32_t LinkRefs = 0, ExtRefs = 0;
};

class AtomManagerTest : public TempDirTest {
protected:
    void SetUp() override { name = Temp.File("atoms.ostra"); }
    void TearDown() override { NewFileAtomSizeAlign = 1; }
    void Open(TOpenMode mode = TOpenMode::OpenOrCreate, bool writeThrough = false) {
        file.reset();
        file = OpenOstra(name, mode, writeThrough);
    }
    IAtomManager& Atoms() { return *file->AtomManager(); }
    uint32_t Create() { return Atoms().NewAtom(0); }
    void Write(uint32_t handle, const TModelAtom& atom) {
        TAtomRec rec;
        rec.Handle = handle;
        rec.Data = atom.Data;
        rec.Links = atom.Links;
        rec.LinkWidth = atom.Width;
        rec.LinkRefs = atom.LinkRefs;
        rec.ExtRefs = atom.ExtRefs;
        rec.Loaded = AtomPartAll;
        Atoms().WriteAtom(rec, AtomPartAll);
    }
    TAtomRec Read(uint32_t handle, uint8_t parts = AtomPartAll) {
        TAtomRec rec;
        rec.Handle = handle;
        Atoms().ReadAtom(rec, parts);
        return rec;
    }
    TAtomEntry Entry(uint32_t handle) {
        TAtomEntry entry;
        Atoms().ReadEntry(handle, entry);
        return entry;
    }
    uint64_t EntryOffset(uint32_t handle) { return file->AtomTableRoot() + 16 + 32 * uint64_t(handle - 1); }

    std::string name;
    std::unique_ptr<TOstraFile> file;
};

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 1) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(first + i);
    return bytes;
}

// Builds the expected entry: the given bytes from offset 4 with the CRC in front.
TAtomEntry ExpectedEntry(std::vector<uint8_t> from4) {
    TAtomEntry entry{};
    std::copy(from4.begin(), from4.end(), entry.begin() + 4);
    auto crc = LE(CRC32Of(std::span<const uint8_t>(entry.data() + 4, 28)), 4);
    std::copy(crc.begin(), crc.end(), entry.begin());
    return entry;
}

TEST_F(AtomManagerTest, TheFirstHandleCreatesTheFirstSegmentAndLaterOnesDoubleIt) {
    Open();
    EXPECT_EQ(Atoms().NewHandle(), 1u);
    EXPECT_EQ(file->AtomTableRoot(), 128u);
    EXPECT_EQ(file->DataSize(), 128u + 8208u);
    for (uint32_t h = 2; h <= 256; ++h) ASSERT_EQ(Atoms().NewHandle(), h);
    EXPECT_TRUE(Atoms().InRange(256));
    EXPECT_FALSE(Atoms().InRange(257));
    EXPECT_EQ(Atoms().NewHandle(), 257u);
    EXPECT_EQ(file->DataSize(), 128u + 8208u + 16u + 32u * 512u);
    EXPECT_TRUE(Atoms().InRange(768));
    EXPECT_FALSE(Atoms().InRange(769));
    EXPECT_FALSE(Atoms().InRange(0));
    file->Commit(); // written pages reach the file at a commit
    auto bytes = TTempDir::ReadBytes(name);
    EXPECT_EQ(FileLE(bytes, 128, 8), 128u + 8208u); // the first segment links the second
    EXPECT_EQ(FileLE(bytes, 136, 4), 256u);
}

// The first and last handle of each segment, through the doubling ones and three of full size,
// read back after a reopen: each must find its own entry.
TEST_F(AtomManagerTest, EachSegmentsFirstAndLastHandlesKeepTheirAtomsAcrossAReopen) {
    Open();
    std::map<uint32_t, TModelAtom> written;
    uint32_t last = 0;
    for (uint32_t k = 0; k < 11; ++k) {
        uint32_t first = last + 1;
        last += AtomTable::FirstSegmentEntries << std::min(k, AtomTable::MaxSegmentShift);
        for (uint32_t h : {first, last}) written[h].Data = Bytes(4, uint8_t(h * 7 + k));
    }
    while (Atoms().NewHandle() < last) {}
    for (const auto& [h, atom] : written) {
        ASSERT_EQ(Atoms().NewAtom(h), h);
        Write(h, atom);
    }
    file->Commit();
    Open(TOpenMode::Open);
    EXPECT_FALSE(Atoms().InRange(last + 1));
    for (const auto& [h, atom] : written) EXPECT_EQ(Read(h).Data, atom.Data) << "handle " << h;
    EXPECT_FALSE(Atoms().Exists(last - 1));
}

TEST_F(AtomManagerTest, ReservedHandlesStayFreeOnDiskUntilOccupied) {
    Open();
    uint32_t h = Atoms().NewHandle();
    EXPECT_FALSE(Atoms().Exists(h));
    EXPECT_EQ(Atoms().NewAtom(h), h);
    EXPECT_TRUE(Atoms().Exists(h));
    EXPECT_EQ(Entry(h), ExpectedEntry({0, 0, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_FALSE(Atoms().Exists(0));
    EXPECT_FALSE(Atoms().Exists(257));
    EKVZError error = CatchKVZ([&] { Entry(257); });
    EXPECT_EQ(error.Code, 5);
    EXPECT_STREQ(error.what(), "Invalid atom address");
    EXPECT_EQ(CatchKVZ([&] { Entry(0); }).Code, 5);
    EXPECT_EQ(CatchKVZ([&] { Read(2); }).Code, 5); // a free entry
}

TEST_F(AtomManagerTest, AnAtomOccupiedAheadOfTheScanIsNeverHandedOutAgain) {
    Open();
    EXPECT_EQ(Atoms().NewHandle(), 1u); // the first segment, fresh in this session
    EXPECT_EQ(Atoms().NewAtom(5), 5u);
    std::vector<uint32_t> handed;
    for (int i = 0; i < 5; ++i) handed.push_back(Atoms().NewHandle());
    EXPECT_EQ(handed, (std::vector<uint32_t>{2, 3, 4, 6, 7}));
}

TEST_F(AtomManagerTest, NineteenBytesStayInlineTwentyGoExternal) {
    Open();
    uint32_t a = Create(), b = Create();
    Write(a, {Bytes(19), {}, 1, 3, 4});
    std::vector<uint8_t> inlineEntry = {3, 0, 0, 0, 4, 0, 0, 0, 0x80 + 19};
    auto data = Bytes(19);
    inlineEntry.insert(inlineEntry.end(), data.begin(), data.end());
    EXPECT_EQ(Entry(a), ExpectedEntry(inlineEntry));

    uint64_t end = file->DataSize();
    Write(b, {Bytes(20), {}, 1, 0, 0});
    uint32_t bodyCrc = CRC32Of(Bytes(20));
    std::vector<uint8_t> external = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0, 0, 0, 20, 0, 0, 0};
    auto crc = LE(bodyCrc, 4), address = LE(end, 8);
    external.insert(external.end(), crc.begin(), crc.end());
    external.insert(external.end(), address.begin(), address.end());
    EXPECT_EQ(Entry(b), ExpectedEntry(external));
    EXPECT_EQ(file->DataSize(), end + 20);
    EXPECT_EQ(Read(b).Data, Bytes(20));
    EXPECT_EQ(Read(a).Data, Bytes(19));
    EXPECT_EQ(Read(a).LinkRefs, 3u);
    EXPECT_EQ(Read(a).ExtRefs, 4u);
}

TEST_F(AtomManagerTest, LinksCountTowardsTheInlineLimitAtTheirWidth) {
    Open();
    uint32_t a = Create(), b = Create();
    Write(a, {Bytes(15), {0x01020304}, 4});
    std::vector<uint8_t> inlineEntry = {0, 0, 0, 0, 0, 0, 0, 0, 0x80 + 0x60 + 15};
    auto data = Bytes(15);
    inlineEntry.insert(inlineEntry.end(), data.begin(), data.end());
    inlineEntry.insert(inlineEntry.end(), {4, 3, 2, 1});
    EXPECT_EQ(Entry(a), ExpectedEntry(inlineEntry));

    uint64_t end = file->DataSize();
    Write(b, {Bytes(16), {0x01020304}, 4});
    std::vector<uint8_t> body = Bytes(16);
    body.insert(body.end(), {4, 3, 2, 1});
    std::vector<uint8_t> external = {0, 0, 0, 0, 0, 0, 0, 0, 0x60, 1, 0, 0, 16, 0, 0, 0};
    auto crc = LE(CRC32Of(body), 4), address = LE(end, 8);
    external.insert(external.end(), crc.begin(), crc.end());
    external.insert(external.end(), address.begin(), address.end());
    EXPECT_EQ(Entry(b), ExpectedEntry(external));
    file->Commit();
    auto bytes = TTempDir::ReadBytes(name);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), bytes.begin() + std::ptrdiff_t(end)));

    TAtomRec rec = Read(b);
    EXPECT_EQ(rec.Links, TAtomHandleArray{0x01020304});
    EXPECT_EQ(rec.LinkWidth, 4);
    EXPECT_EQ(rec.Data, Bytes(16));
}

TEST_F(AtomManagerTest, InlineFormDropsTrailingEmptyLinksOnly) {
    Open();
    uint32_t a = Create(), b = Create();
    Write(a, {Bytes(3), {7, 0}, 1});
    Write(b, {Bytes(3), {0, 7}, 2});
    EXPECT_EQ(Read(a).Links, (TAtomHandleArray{7}));
    EXPECT_EQ(Read(b).Links, (TAtomHandleArray{0, 7}));
    EXPECT_EQ(Read(b).LinkWidth, 2);
}

TEST_F(AtomManagerTest, BodiesStayInPlaceWithinTheirRoundedSizeAndMoveBeyondIt) {
    NewFileAtomSizeAlign = 16;
    Open();
    uint32_t a = Create();
    Write(a, {Bytes(20), {}, 1});
    uint64_t first = GetLE64(&Entry(a)[24]);
    uint32_t b = Create();
    Write(b, {Bytes(40), {}, 1}); // a neighbour, so that a's move leaves a hole
    Write(a, {Bytes(32, 9), {}, 1});
    EXPECT_EQ(GetLE64(&Entry(a)[24]), first);
    Write(a, {Bytes(33, 9), {5, 6}, 1});
    uint64_t moved = GetLE64(&Entry(a)[24]);
    EXPECT_NE(moved, first);
    auto& space = dynamic_cast<TSpaceManager&>(*file->SpaceAllocator());
    ASSERT_EQ(space.HoleCount(), 1u);
    EXPECT_EQ(space.Holes().ByAddress().begin()->first, first);
    EXPECT_EQ(space.Holes().ByAddress().begin()->second->Size, 32u);
    Open(TOpenMode::Open);
    EXPECT_EQ(Read(a).Data, Bytes(33, 9));
    EXPECT_EQ(Read(a).Links, (TAtomHandleArray{5, 6}));
    EXPECT_EQ(Read(b).Data, Bytes(40));
}

TEST_F(AtomManagerTest, WritingOnePartKeepsTheOthers) {
    Open();
    uint32_t a = Create();
    Write(a, {Bytes(30), {1, 2, 3}, 1, 7, 8});
    TAtomRec rec;
    rec.Handle = a;
    rec.Data = Bytes(50, 100);
    rec.Loaded = AtomPartData;
    Atoms().WriteAtom(rec, AtomPartData); // links are read first and moved with the body
    rec = TAtomRec{};
    rec.Handle = a;
    rec.Links = {9};
    rec.Loaded = AtomPartLinks;
    Atoms().WriteAtom(rec, AtomPartLinks);
    rec = TAtomRec{};
    rec.Handle = a;
    rec.LinkRefs = 1;
    rec.ExtRefs = 2;
    rec.Loaded = AtomPartCounts;
    Atoms().WriteAtom(rec, AtomPartCounts | AtomPartData); // only loaded parts are written
    Open(TOpenMode::Open);
    TAtomRec back = Read(a);
    EXPECT_EQ(back.Data, Bytes(50, 100));
    EXPECT_EQ(back.Links, TAtomHandleArray{9});
    EXPECT_EQ(back.LinkRefs, 1u);
    EXPECT_EQ(back.ExtRefs, 2u);
    TAtomRec shrunk;
    shrunk.Handle = a;
    shrunk.Loaded = AtomPartAll;
    shrunk.Links = {9};
    Atoms().WriteAtom(shrunk, AtomPartAll); // back to inline: the body is released
    EXPECT_TRUE(AtomManagerTest::Read(a).Data.empty());
    EXPECT_NE(Entry(a)[12] & 0x80, 0);
}

// After a reopen the scan reads the table ahead of the handles it hands out: entries occupied or
// freed ahead of it since are seen as they are now.
TEST_F(AtomManagerTest, EntriesChangedAheadOfTheScanAfterAReopenAreSeenAsTheyAreNow) {
    Open();
    for (uint32_t h = 1; h <= 10; ++h) ASSERT_EQ(Create(), h);
    for (uint32_t h : {3u, 5u, 7u}) Atoms().Delete(h);
    Open(TOpenMode::Open);
    EXPECT_EQ(Atoms().NewHandle(), 3u);
    EXPECT_EQ(Atoms().NewAtom(5), 5u);
    Atoms().Delete(9);
    std::vector<uint32_t> handed;
    for (int i = 0; i < 3; ++i) handed.push_back(Atoms().NewHandle());
    EXPECT_EQ(handed, (std::vector<uint32_t>{7, 9, 11}));
}

TEST_F(AtomManagerTest, DeletedHandlesComeBackLowestFirstAfterReopen) {
    Open();
    for (uint32_t h = 1; h <= 10; ++h) {
        ASSERT_EQ(Create(), h);
        Write(h, {Bytes(h * 10), {h}, 1});
    }
    Atoms().Delete(5);
    EXPECT_FALSE(Atoms().Exists(5));
    EXPECT_EQ(Entry(5), TAtomEntry{});
    EXPECT_EQ(Atoms().NewHandle(), 5u); // from the pool
    Atoms().RecycleHandle(5);
    Atoms().Delete(7);
    Atoms().Delete(3);
    Open(TOpenMode::Open);
    EXPECT_EQ(Atoms().NewHandle(), 3u);
    EXPECT_EQ(Atoms().NewHandle(), 5u);
    EXPECT_EQ(Atoms().NewHandle(), 7u);
    EXPECT_EQ(Atoms().NewHandle(), 11u);
    for (uint32_t h : {1u, 2u, 4u, 6u, 8u, 9u, 10u}) EXPECT_EQ(Read(h).Data, Bytes(h * 10)) << h;
}

TEST_F(AtomManagerTest, DeletingAFreeEntryIs5AndNeverPoolsAHandleTwice) {
    Open();
    uint32_t a = Create();
    Create();
    Atoms().Delete(a);
    EKVZError again = CatchKVZ([&] { Atoms().Delete(a); });
    EXPECT_EQ(again.Code, 5);
    EXPECT_EQ(CatchKVZ([&] { Atoms().Delete(0); }).Code, 5);
    Atoms().RecycleHandle(a);
    EXPECT_EQ(Atoms().NewHandle(), a);
    EXPECT_EQ(Atoms().NewHandle(), 3u);
}

TEST_F(AtomManagerTest, AFlippedEntryByteIs12AndMarksTheFileDamaged) {
    Open();
    uint32_t a = Create();
    Write(a, {Bytes(10), {}, 1});
    uint64_t offset = EntryOffset(a) + 20;
    file.reset();
    PatchFile(name, offset, {0xEE});
    Open(TOpenMode::ReadOnly);
    EXPECT_EQ(CatchKVZ([&] { Read(a); }).Code, 12);
    file.reset();
    EXPECT_EQ(FileLE(TTempDir::ReadBytes(name), 80, 2), 0u); // read-only: header untouched
    Open(TOpenMode::Open);
    EKVZError error = CatchKVZ([&] { Read(a); });
    EXPECT_EQ(error.Code, 12);
    EXPECT_STREQ(error.what(), (file->FullPath() + ": Atom table entry ($00000001) CRC check failed").c_str());
    EXPECT_EQ(file->Flags() & OstraHeader::FlagDamaged, OstraHeader::FlagDamaged);
    EXPECT_EQ(CatchKVZ([&] { Atoms().Exists(a); }).Code, 12);
    Open(TOpenMode::Open); // a damaged file still opens
    EXPECT_EQ(file->Flags(), OstraHeader::FlagDamaged);
}

// Read through the page buffer, and through the file's view once enough pages were read (the
// larger atoms) to make one.
TEST_F(AtomManagerTest, AFlippedBodyByteIs11) {
    for (bool viewed : {false, true}) {
        SCOPED_TRACE(viewed ? "viewed" : "buffered");
        name = Temp.File(viewed ? "viewed.ostra" : "buffered.ostra");
        Open();
        Create();
        uint32_t a = Create();
        Write(a, {Bytes(100), {1}, 1});
        std::vector<uint32_t> larger(viewed ? 100 : 0);
        for (uint32_t& h : larger) Write(h = Create(), {Bytes(5000), {}, 1});
        uint64_t body = GetLE64(&Entry(a)[24]);
        file.reset();
        PatchFile(name, body + 99, {0});
        Open(TOpenMode::Open);
        for (uint32_t h : larger) EXPECT_EQ(Read(h).Data.size(), 5000u);
        EKVZError error = CatchKVZ([&] { Read(a, AtomPartLinks); });
        EXPECT_EQ(error.Code, 11);
        EXPECT_STREQ(error.what(), (file->FullPath() + ": Atom ($00000002) body CRC check failed").c_str());
        EXPECT_EQ(file->Flags() & OstraHeader::FlagDamaged, OstraHeader::FlagDamaged);
        EXPECT_EQ(Read(a, AtomPartCounts).Loaded, AtomPartCounts); // counts need no body
    }
}

// After reopening, the scan walks up across chunk and segment borders and then into the free
// tail of the last segment; entries written meanwhile read back from memory and from disk.
TEST_F(AtomManagerTest, TheScanAfterReopeningCrossesSegmentsInHandleOrder) {
    Open();
    for (uint32_t h = 1; h <= 700; ++h) ASSERT_EQ(Create(), h);
    Write(650, {Bytes(30), {1, 2}, 1});
    Atoms().Delete(130);
    Atoms().Delete(600);
    Open(TOpenMode::Open);
    EXPECT_EQ(Atoms().NewHandle(), 130u);
    EXPECT_EQ(Atoms().NewHandle(), 600u);
    EXPECT_EQ(Atoms().NewAtom(0), 701u);
    EXPECT_EQ(Read(650).Data, Bytes(30));
    Write(701, {Bytes(5), {650}, 2});
    EXPECT_EQ(Read(701).Links, TAtomHandleArray{650});
    for (uint32_t h = 702; h <= 768; ++h) ASSERT_EQ(Atoms().NewHandle(), h);
    EXPECT_EQ(Atoms().NewHandle(), 769u); // a third segment
    Open(TOpenMode::Open);
    EXPECT_EQ(Read(701).Data, Bytes(5));
    EXPECT_FALSE(Atoms().Exists(130));
    EXPECT_TRUE(Atoms().Exists(129));
}

TEST_F(AtomManagerTest, TheFreeEntryScanPassesOverBadEntriesWithoutMarking) {
    Open();
    for (int i = 0; i < 4; ++i) Create();
    Atoms().Delete(2);
    Atoms().Delete(3);
    uint64_t offset = EntryOffset(2) + 8;
    file.reset();
    PatchFile(name, offset, {1}); // entry 2 no longer matches its CRC
    Open(TOpenMode::Open);
    EXPECT_EQ(Atoms().NewHandle(), 3u);
    EXPECT_EQ(file->Flags(), 0u);
}

TEST_F(AtomManagerTest, AnExternalAtomOfWidthOneIsNotFree) {
    Open();
    uint32_t a = Create();
    Write(a, {Bytes(25), {3}, 1}); // flags byte 0, but bytes 24..31 hold the body address
    EXPECT_EQ(Entry(a)[12], 0);
    EXPECT_TRUE(Atoms().Exists(a));
    Open(TOpenMode::Open);
    EXPECT_EQ(Atoms().NewHandle(), 2u);
}

TEST_F(AtomManagerTest, ABrokenAtomChainIs207AndNeverHangs) {
    Open();
    for (int i = 0; i < 300; ++i) Create(); // two segments
    file->Commit();
    uint64_t second = GetLE64(TTempDir::ReadBytes(name).data() + 128);
    file.reset();
    auto original = TTempDir::ReadBytes(name);
    PatchFile(name, second, LE(128, 8)); // back to the first
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::Open); }).Code, 207);
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::ReadOnly); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    PatchFile(name, second + 8, LE(0xFFFFFFFF, 4));
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::Open); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    std::filesystem::resize_file(name, second);
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::Open); }).Code, 207);
    TTempDir::WriteBytes(name, original);
    PatchFile(name, 128 + 8, LE(255, 4)); // a count no segment of that place holds: outside every CRC
    EXPECT_EQ(CatchKVZ([&] { Open(TOpenMode::ReadOnly); }).Code, 207);
}

TEST_F(AtomManagerTest, AlignZeroInTheHeaderActsAsOne) {
    NewFileAtomSizeAlign = 0;
    Open();
    uint32_t a = Create();
    uint64_t end = file->DataSize();
    Write(a, {Bytes(21), {}, 1});
    EXPECT_EQ(file->DataSize(), end + 21);
    EXPECT_EQ(Read(a).Data, Bytes(21));
}

// Every live block (tables, bodies, holes) inside the data and no two overlapping.
void CheckNoOverlap(TOstraFile& file, IAtomManager& atoms, const std::map<uint32_t, TModelAtom>& model) {
    file.Commit();
    auto bytes = TTempDir::ReadBytes(file.FullPath());
    std::vector<std::pair<uint64_t, uint64_t>> blocks;
    for (uint64_t a = file.AtomTableRoot(); a; a = FileLE(bytes, a, 8))
        blocks.emplace_back(a, 16 + 32 * FileLE(bytes, a + 8, 4));
    for (uint64_t a = file.HoleTableRoot(); a; a = FileLE(bytes, a, 8))
        blocks.emplace_back(a, 16 + 16 * FileLE(bytes, a + 8, 4));
    uint32_t align = std::max<uint32_t>(file.AtomSizeAlign(), 1);
    for (auto& [handle, atom] : model) {
        TAtomEntry entry;
        atoms.ReadEntry(handle, entry);
        if (entry[12] & 0x80) continue;
        uint64_t length = atom.Data.size() + atom.Links.size() * atom.Width;
        blocks.emplace_back(GetLE64(&entry[24]), (length + align - 1) / align * align);
    }
    for (auto& [address, hole] : dynamic_cast<TSpaceManager&>(*file.SpaceAllocator()).Holes().ByAddress())
        blocks.emplace_back(address, hole->Size);
    std::sort(blocks.begin(), blocks.end());
    uint64_t end = OstraHeader::Size;
    for (auto& [address, size] : blocks) {
        ASSERT_GE(address, end) << "overlap at " << address;
        end = address + size;
    }
    ASSERT_LE(end, file.DataSize());
}

class AtomManagerRandomTest : public AtomManagerTest,
                              public ::testing::WithParamInterface<std::tuple<uint8_t, bool>> {};

TEST_P(AtomManagerRandomTest, MatchesAModelAcrossReopening) {
    auto [align, writeThrough] = GetParam();
    NewFileAtomSizeAlign = align;
    std::mt19937 random(1234 + align + writeThrough);
    std::map<uint32_t, TModelAtom> model;
    Open(TOpenMode::Create, writeThrough);
    auto randomAtom = [&] {
        TModelAtom atom;
        int kind = int(random() % 10);
        size_t length = kind < 4 ? random() % 20 : kind < 9 ? random() % 400 : random() % 6000;
        atom.Data.resize(length);
        for (auto& b : atom.Data) b = uint8_t(random());
        size_t links = random() % 4 == 0 ? random() % 40 : random() % 3;
        atom.Width = uint8_t(1 + random() % 4);
        uint32_t limit = atom.Width == 4 ? 0xFFFFFFFFu : (1u << (8 * atom.Width)) - 1;
        for (size_t i = 0; i < links; ++i) atom.Links.push_back(uint32_t(random()) % limit + 1);
        atom.LinkRefs = uint32_t(random() % 5);
        atom.ExtRefs = uint32_t(random() % 5);
        return atom;
    };
    int steps = writeThrough ? 600 : 5000; // write-through syncs every write
    for (int step = 0; step < steps; ++step) {
        int op = int(random() % 10);
        if (op < 4 || model.empty()) {
            uint32_t h = Create();
            ASSERT_FALSE(model.count(h));
            model[h] = randomAtom();
            Write(h, model[h]);
        } else if (op < 8) {
            auto it = std::next(model.begin(), std::ptrdiff_t(random() % model.size()));
            it->second = randomAtom();
            Write(it->first, it->second);
        } else {
            auto it = std::next(model.begin(), std::ptrdiff_t(random() % model.size()));
            Atoms().Delete(it->first);
            model.erase(it);
        }
        if (step % 500 == 499) Open(TOpenMode::Open, writeThrough);
    }
    auto compare = [&] {
        for (auto& [h, atom] : model) {
            TAtomRec rec = Read(h);
            ASSERT_EQ(rec.Data, atom.Data) << h;
            TAtomHandleArray links = atom.Links;
            bool isInline = atom.Data.size() + links.size() * atom.Width <= 19;
            while (isInline && !links.empty() && links.back() == 0) links.pop_back();
            ASSERT_EQ(rec.Links, links) << h;
            if (!links.empty()) {
                ASSERT_EQ(rec.LinkWidth, atom.Width) << h;
            }
            ASSERT_EQ(rec.LinkRefs, atom.LinkRefs);
            ASSERT_EQ(rec.ExtRefs, atom.ExtRefs);
        }
        for (uint32_t h = 1; Atoms().InRange(h); ++h) ASSERT_EQ(Atoms().Exists(h), model.count(h) == 1) << h;
    };
    compare();
    Open(TOpenMode::Open, writeThrough);
    compare();
    CheckNoOverlap(*file, Atoms(), model);
    EXPECT_EQ(file->Flags(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Aligns, AtomManagerRandomTest,
                         ::testing::Values(std::make_tuple(uint8_t(1), false), std::make_tuple(uint8_t(16), false),
                                           std::make_tuple(uint8_t(7), true)));

} // namespace

namespace {

TEST_F(AtomManagerTest, MoreLinksThanTheEntryCanCountAreRefused) {
    Open();
    uint32_t a = Create();
    Write(a, {Bytes(30), {1, 2}, 1});
    uint64_t end = file->DataSize();
    TModelAtom huge{{}, TAtomHandleArray(size_t(1) << 24, 1), 1};
    EKVZError error = CatchKVZ([&] { Write(a, huge); });
    EXPECT_EQ(error.Code, 9);
    EXPECT_EQ(file->DataSize(), end); // nothing allocated, the atom unchanged
    EXPECT_EQ(Read(a).Links, (TAtomHandleArray{1, 2}));
    huge.Links.pop_back(); // 2^24 - 1 links fit
    Write(a, huge);
    EXPECT_EQ(Read(a, AtomPartLinks).Links.size(), (size_t(1) << 24) - 1);
}

} // namespace

namespace {

// A hole entry over the atom table (a stale or crafted hole table) must not hand the table out.
// Holes over atom bodies are trusted: the journal keeps the two tables in step.
TEST_F(AtomManagerTest, HolesOverTheAtomTableAreDroppedWhenTheHolesLoad) {
    Open();
    uint32_t a = Create(), b = Create(), c = Create();
    Write(a, {Bytes(100), {}, 1});
    Write(b, {Bytes(100, 50), {}, 1});
    Write(c, {Bytes(100), {}, 1});
    Atoms().Delete(a); // a real hole, and a hole table
    uint64_t entries = file->AtomTableRoot() + 16;
    uint64_t table = file->HoleTableRoot();
    file.reset();
    std::vector<uint8_t> entry(16, 0);
    auto address = LE(entries, 8), size = LE(100, 4);
    std::copy(address.begin(), address.end(), entry.begin() + 4);
    std::copy(size.begin(), size.end(), entry.begin() + 12);
    auto crc = LE(CRC32Of(std::span<const uint8_t>(entry.data() + 4, 12)), 4);
    std::copy(crc.begin(), crc.end(), entry.begin());
    PatchFile(name, table + 16 + 16, entry); // slot 1
    Open(TOpenMode::Open);
    auto& space = dynamic_cast<TSpaceManager&>(*file->SpaceAllocator());
    EXPECT_EQ(space.HoleCount(), 1u);
    EXPECT_NE(space.Allocate(100), entries);
    EXPECT_EQ(Read(b).Data, Bytes(100, 50));
}

} // namespace

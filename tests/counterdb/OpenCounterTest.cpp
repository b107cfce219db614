// Opening and creating a counter database: the defaults of a new file, exclusion of a second
// opener, files of another data class, commit on release and through CloseCounter.
#include "CounterTestSupport.h"

#include <filesystem>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class OpenCounterTest : public CounterTest {};

TEST_F(OpenCounterTest, NewDatabaseHasTheDefaults) {
    TRef<ICounter> counter = Open();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetSkinCount(), 1);
    EXPECT_TRUE(counter->IsSkinComplete(0));
    EXPECT_EQ(counter->GetInterval(), 720);
    EXPECT_EQ(counter->GetHomePageURL(), "/default.htm");
    EXPECT_EQ(counter->GetSiteName(), "Your Site");
    EXPECT_EQ(counter->GetPassword(), "vakto");
    EXPECT_EQ(counter->GetTotalHosts(), 0);
    EXPECT_EQ(counter->GetHostCount(), 0);
    EXPECT_EQ(counter->GetSkipCount(), 0);
    EXPECT_EQ(counter->GetRefererCount(), 0);
    EXPECT_EQ(counter->GetReservedValue(), 0);
    EXPECT_FALSE(counter->GetOptionFlag());
    EXPECT_EQ(counter->GetExtraText(), "");
    EXPECT_TRUE(counter->GetNodeNames().Empty());
    TStringList names = counter->GetSkinNames();
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names[0], "Assigned image # 0");
    TGUID id;
    counter->GetStorageID(id);
    EXPECT_FALSE(id.IsNull());
    EXPECT_NEAR(counter->GetCreationDate(), Now(), 1.0 / 24);
}

TEST_F(OpenCounterTest, NewDatabaseDrawsTheDefaultSkin) {
    TRef<ICounter> counter = Open();
    ASSERT_TRUE(counter);
    TSkinImages images;
    counter->GetSkinImages(0, images);
    TBitmap logo;
    logo.LoadFromBMP(images[0]->Bytes());
    EXPECT_EQ(logo.Width(), 150);
    EXPECT_EQ(logo.Height(), 25);
    EXPECT_EQ(logo.Pixel(0, 0), clBlack);
    int white = 0;
    for (int y = 0; y < logo.Height(); ++y)
        for (int x = 0; x < logo.Width(); ++x) white += logo.Pixel(x, y) == clWhite;
    EXPECT_GT(white, 50) << "the logo text is drawn in white";
    for (int digit = 1; digit <= 10; ++digit) {
        TBitmap image;
        image.LoadFromBMP(images[size_t(digit)]->Bytes());
        EXPECT_EQ(image.Width(), 15);
        EXPECT_EQ(image.Height(), 25);
        EXPECT_EQ(images[size_t(digit)]->Position(), 0u);
    }
    TSkinInfo texts;
    int32_t colour = -1;
    TSkinLayout header;
    counter->GetSkinInfo(0, texts, colour, header);
    EXPECT_EQ(texts.Name(), "DEfaULt");
    EXPECT_EQ(colour, 0);
    EXPECT_EQ(header, (TSkinLayout{2, 6, 25, 0, 0, 3, 25, 150}));
}

TEST_F(OpenCounterTest, GivenImagesBecomeSkinZero) {
    TSkinSet set = MakeSkinSet(99);
    TRef<ICounter> counter = OpenCounter(DbFile(), set.View());
    ASSERT_TRUE(counter);
    TSkinImages images;
    counter->GetSkinImages(0, images);
    for (int i = 0; i < SkinImageCount; ++i) EXPECT_EQ(images[size_t(i)]->Bytes(), set.Bytes(i)) << i;
    TSkinInfo texts;
    int32_t colour = 0;
    TSkinLayout header;
    counter->GetSkinInfo(0, texts, colour, header);
    EXPECT_EQ(texts.Name(), "Default Kestrow Skin");
    EXPECT_EQ(colour, 13611961);
    EXPECT_EQ(header, (TSkinLayout{2, 6, 8, 0, 0, 3, 0, 81}));
}

TEST_F(OpenCounterTest, BrokenDefaultImagesLeaveNoFile) {
    TSkinSet set = MakeSkinSet(1);
    set.Streams[4].Clear();
    std::vector<uint8_t> junk = ByteList({'B', 'M', 1, 2, 3});
    set.Streams[4].Write(junk);
    EXPECT_FALSE(OpenCounter(DbFile(), set.View()));
    EXPECT_TRUE(std::filesystem::is_empty(Temp.Path())) << "no database and no scratch file remain";
    EXPECT_TRUE(OpenCounter(DbFile()));
}

// No scratch file nor its journal: the database, and the settled journal its commits reuse.
// Scratch files that creations killed half-way left go too, but never a living process's.
TEST_F(OpenCounterTest, CreationLeavesOnlyTheDatabaseAndItsJournal) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    std::string deadScratch = "site.ostra.~" + std::to_string(dead) + ".1";
    std::string livingScratch = "site.ostra.~" + std::to_string(getpid()) + ".999";
    for (const std::string& name : {deadScratch, deadScratch + "-journal", livingScratch, livingScratch + "-journal"})
        TTempDir::WriteBytes(Temp.File(name), std::vector<uint8_t>(200, 1));
    ASSERT_TRUE(Open());
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(Temp.Path()))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files,
              (std::set<std::string>{"site.ostra", "site.ostra-journal", livingScratch, livingScratch + "-journal"}));
    std::vector<uint8_t> journal = TTempDir::ReadBytes(DbFile() + "-journal");
    journal.resize(std::min<size_t>(journal.size(), 512));
    EXPECT_EQ(std::count(journal.begin(), journal.end(), 0), ptrdiff_t(journal.size())); // holds no commit
}

TEST_F(OpenCounterTest, SecondOpenInTheSameProcessIsRefused) {
    TRef<ICounter> first = Open();
    ASSERT_TRUE(first);
    EXPECT_FALSE(OpenCounter(DbFile()));
    first.reset();
    EXPECT_TRUE(OpenCounter(DbFile()));
}

TEST_F(OpenCounterTest, SecondOpenFromAnotherProcessIsRefused) {
    TRef<ICounter> first = Open();
    ASSERT_TRUE(first);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(OpenCounter(DbFile()) ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process got the database";
}

TEST_F(OpenCounterTest, FileOfAnotherDataClassGivesNil) {
    if (!StorageFactory()) StartStorageEngine();
    CreateStorage(DbFile(), "Mode:CREATE; Class:{11111111-2222-3333-4444-555555555555}");
    EXPECT_FALSE(OpenCounter(DbFile()));
    TTempDir::WriteBytes(Temp.File("junk.ostra"), std::vector<uint8_t>(300, 0x5A));
    EXPECT_FALSE(OpenCounter(Temp.File("junk.ostra")));
    EXPECT_FALSE(OpenCounter(Temp.File("no-such-folder/x.ostra")));
}

TEST_F(OpenCounterTest, ChangesReachTheFileOnRelease) {
    {
        TRef<ICounter> counter = Open();
        ASSERT_TRUE(counter);
        counter->SetSiteName("Kept");
        counter->SetTotalHosts(41);
    }
    TRef<ICounter> again = Open();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetSiteName(), "Kept");
    EXPECT_EQ(again->GetTotalHosts(), 41);
}

TEST_F(OpenCounterTest, CloseCounterCommitsAndLeavesOtherReferencesClosed) {
    TRef<ICounter> counter = Open();
    ASSERT_TRUE(counter);
    TRef<ICounter> other = counter;
    counter->SetPassword("secret");
    CloseCounter(counter);
    EXPECT_FALSE(counter);
    EXPECT_THROW(other->GetPassword(), EKVZError);
    EXPECT_EQ(other->GetReservedValue(), 0);
    // The file is free again although a reference is still held.
    TRef<ICounter> again = Open();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetPassword(), "secret");
}

TEST_F(OpenCounterTest, UnreadableIntervalGives720AndStaysAsWritten) {
    { ASSERT_TRUE(Open()); }
    {
        if (!StorageFactory()) StartStorageEngine();
        TRef<IVirtualStorage> storage = CreateStorage(DbFile(), "Mode:Open; Class:" + CounterDataClass.ToString());
        TRef<IVirtualAtom> root = storage->OpenRoot();
        root->OpenLink(4)->SetText("12x");
    }
    {
        TRef<ICounter> counter = Open();
        ASSERT_TRUE(counter);
        EXPECT_EQ(counter->GetInterval(), 720);
    }
    TRawDatabase raw(DbFile());
    EXPECT_EQ(raw.Text(4), "12x");
}

TEST_F(OpenCounterTest, OpeningAddsMissingIndexesOnce) {
    { ASSERT_TRUE(Open()); }
    {
        TRawDatabase raw(DbFile());
        for (uint32_t link : {5u, 7u, 9u, 13u, 15u}) EXPECT_TRUE(raw.HasLink(link)) << link;
        for (uint32_t link : {6u, 8u, 10u, 11u, 12u, 14u, 20u, 30u, 31u}) EXPECT_FALSE(raw.HasLink(link)) << link;
        EXPECT_EQ(raw.Text(0), "0");
        EXPECT_EQ(raw.Text(1), "vakto");
        EXPECT_EQ(raw.Text(4), "720");
    }
    auto atomCount = [&] {
        TRawDatabase raw(DbFile());
        TRef<IEnumVirtualAtoms> atoms = raw.Storage->EnumAtoms(AccessReadOnly);
        int count = 0;
        while (atoms->Next()) ++count;
        return count;
    };
    int before = atomCount();
    { ASSERT_TRUE(Open()); }
    EXPECT_EQ(atomCount(), before) << "a second opening adds nothing";
}

} // namespace

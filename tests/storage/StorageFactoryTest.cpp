// The storage factory: the file a creating call leaves, server types, locations, parameters,
// capability requirements and the process-wide factory's lifetime.
#include "StorageFixture.h"
#include "storage/Crc32.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
uint32_t LE32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t LE64(const std::vector<uint8_t>& b, size_t at) { return LE32(b, at) | uint64_t(LE32(b, at + 4)) << 32; }

constexpr size_t TableAt = 128;
constexpr size_t FirstEntryAt = TableAt + 16;
} // namespace

class StorageFactoryTest : public StorageTest {};

TEST_F(StorageFactoryTest, CreatingReleaseLeavesTheInitialFile) {
    ASSERT_TRUE(StorageFactory()->CreateStorage(0, 0, FileName(), "",
                                                "Mode:CREATE; Class:{28C7266E-7262-431C-BF61-DCB4F19C8DC0}"));
    std::vector<uint8_t> file = TTempDir::ReadBytes(FileName());
    ASSERT_EQ(file.size(), 12288u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 11), "KVZ-STORAGE");
    EXPECT_EQ(LE64(file, 24), TableAt); // atom table root
    EXPECT_EQ(LE64(file, 88), 8336u);   // data size: header + one 256-entry segment
    EXPECT_EQ(LE64(file, TableAt), 0u); // no next segment
    EXPECT_EQ(LE32(file, TableAt + 8), 256u);
    for (int handle = 1; handle <= 2; ++handle) {
        size_t at = FirstEntryAt + 32 * size_t(handle - 1);
        std::vector<uint8_t> expected(28, 0);
        expected[0] = 1;    // one link reference keeps it alive
        expected[8] = 0x80; // inline, width 1, no data
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + at + 4, file.begin() + at + 32), expected) << handle;
        EXPECT_EQ(LE32(file, at), CRC32Of(std::span<const uint8_t>(file.data() + at + 4, 28)));
    }
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + FirstEntryAt + 64, file.begin() + FirstEntryAt + 96),
              std::vector<uint8_t>(32, 0));

    TRef<IVirtualStorage> storage = Open();
    TRef<IStorageInfo> info = Query<IStorageInfo>(storage);
    TRef<IVirtualAtom> root = storage->OpenRoot();
    int32_t linkRefs = -1, extRefs = -1;
    Query<IAtomInfo>(root)->GetRefCounts(linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 1);
    EXPECT_EQ(extRefs, 0);
    EXPECT_EQ(Query<IAtomInfo>(root)->GetAddress().Handle, 1u);
    EXPECT_EQ(Query<IAtomInfo>(info->OpenSecondRoot())->GetAddress().Handle, 2u);
}

TEST_F(StorageFactoryTest, ServerTypesAndLocations) {
    TRef<IStorageFactory> factory = StorageFactory();
    std::string params = std::string("Mode:OpenOrCreate; Class:") + TestDataClass;
    EXPECT_TRUE(factory->CreateStorage(1, 0, FileName("a.ostra"), "", params));
    EXPECT_TRUE(factory->CreateStorage(3, 0, "file://" + FileName("b.ostra"), "", params));
    EXPECT_TRUE(factory->CreateStorage(0, 0, "FILE://" + FileName("b.ostra"), "", params));
    EXPECT_TRUE(std::filesystem::exists(FileName("b.ostra")));
    std::string message;
    EXPECT_EQ(ErrorCode([&] { factory->CreateStorage(2, 0, FileName("c.ostra"), "", "Mode=bogus"); }, &message), 16);
    EXPECT_EQ(message, "Server type not supported");
    EXPECT_FALSE(factory->CreateStorageAlt());
    auto storage = factory->CreateStorage(0, 0, FileName("a.ostra"), "", params);
    EXPECT_EQ(storage->GetLocation(), "file://" + std::filesystem::absolute(FileName("a.ostra")).string());
}

TEST_F(StorageFactoryTest, ErrorsPropagate) {
    std::string message;
    EXPECT_EQ(ErrorCode([&] { Storage("Open"); }), 201);
    EXPECT_EQ(ErrorCode([&] { Storage("Sometimes"); }, &message), 19);
    EXPECT_EQ(message, "SOMETIMES: Invalid MODE value");
    EXPECT_EQ(ErrorCode(
                  [&] {
                      StorageFactory()->CreateStorage(0, 0, FileName(), "MULTITHREADED=1",
                                                      std::string("Mode:Create; Class:") + TestDataClass);
                  },
                  &message),
              2);
    EXPECT_EQ(message, "Capability is not supported");
    // The refused storage was closed again: the file can be opened.
    EXPECT_TRUE(Open());
    EXPECT_EQ(ErrorCode([&] { Create(); }), 201); // CREATE refuses an existing file
    EXPECT_EQ(ErrorCode([&] {
                  StorageFactory()->CreateStorage(0, 0, FileName(), "",
                                                  "Mode:Open; Class:{00000000-0000-0000-0000-000000000009}");
              }),
              203);
    EXPECT_TRUE(StorageFactory()->CreateStorage(0, 0, FileName(), "TRANSACTIONS=3; ENUMERATION=1",
                                                std::string("Mode:Open; Class:") + TestDataClass));
}

TEST_F(StorageFactoryTest, EachCallSetsTheAlignmentOfNewFiles) {
    std::string params = std::string("Mode:Create; Class:") + TestDataClass;
    StorageFactory()->CreateStorage(0, 0, FileName("a.ostra"), "", params + "; AtomSizeAlign=16");
    StorageFactory()->CreateStorage(0, 0, FileName("b.ostra"), "", params);
    EXPECT_EQ(TTempDir::ReadBytes(FileName("a.ostra"))[87], 16);
    EXPECT_EQ(TTempDir::ReadBytes(FileName("b.ostra"))[87], 1);
}

TEST_F(StorageFactoryTest, CapabilitiesAndFactoryLifetime) {
    TRef<IVirtualStorage> storage = Create();
    TRef<ICapabilities> caps = Query<ICapabilities>(storage);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->GetCapability(";").substr(0, 36), "DISTRIBUTED_STORAGE=0;ENUMERATION=2;");
    EXPECT_EQ(caps->GetCapabilityInt("RELIABILITY"), 2);
    // The capability object answers for the storage: it leads back to the same identity.
    EXPECT_EQ(Query<IUnknown>(caps).get(), Query<IUnknown>(storage).get());
    caps.reset();
    storage.reset();
    StopStorageEngine();
    EXPECT_FALSE(StorageFactory());
    EXPECT_EQ(ErrorCode([&] { CreateStorage(FileName(), "Mode:Open"); }), 1);
    StartStorageEngine();
    EXPECT_TRUE(CreateStorage(FileName(), std::string("Mode:Open; Class:") + TestDataClass));
}

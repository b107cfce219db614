// The atom cache in front of the atom table (recency order, limit, item order, read and write
// through, failed reads) and the keyed containers it and the transactions are built on.
#include "OstraTestFile.h"

#include "storage/AtomCache.h"
#include "storage/EAccessors.h"
#include "storage/Support.h"

#include <gtest/gtest.h>

#include <set>

namespace {

class AtomCacheTest : public TempDirTest {
protected:
    void SetUp() override {
        name = Temp.File("cache.ostra");
        Open();
    }
    void Open(TOpenMode mode = TOpenMode::OpenOrCreate) {
        cache.reset();
        file.reset();
        file = OpenOstra(name, mode);
        cache = MakeObj<TAtomCache>(TRef<IAtomManager>(file->AtomManager()));
    }
    // Creates atoms 1..count with data "atom <h>".
    void CreateAtoms(uint32_t count) {
        for (uint32_t h = 1; h <= count; ++h) {
            ASSERT_EQ(file->AtomManager()->NewAtom(0), h);
            TAtomData data;
            data.Data = Text(h);
            data.Parts = AtomPartData;
            cache->Write(h, data, AtomPartData);
        }
        cache->Clear();
    }
    static std::vector<uint8_t> Text(uint32_t h) {
        std::string text = "atom " + std::to_string(h);
        return {text.begin(), text.end()};
    }
    std::set<uint32_t> Cached() {
        std::set<uint32_t> handles;
        for (uint32_t i = 0; i < cache->GetCount(); ++i) handles.insert(cache->ItemHandle(i));
        return handles;
    }
    TAtomData Read(uint32_t h, uint8_t parts = AtomPartData) {
        TAtomData data;
        cache->Read(h, parts, data);
        return data;
    }

    std::string name;
    std::unique_ptr<TOstraFile> file;
    TRef<TAtomCache> cache;
};

// A full cache keeps turning items over: nothing of an atom that left may show in the next.
TEST_F(AtomCacheTest, ItemsTurnedOverInAFullCacheHoldOnlyTheirOwnAtom) {
    constexpr uint32_t Count = 40;
    for (uint32_t h = 1; h <= Count; ++h) {
        ASSERT_EQ(file->AtomManager()->NewAtom(0), h);
        TAtomData data;
        data.Data.assign(h % 3 == 0 ? 30 + h : h % 5, uint8_t(h)); // external, inline and empty
        if (h % 2 == 0) data.Links.assign(h % 7, h);
        data.LinkWidth = 1;
        data.LinkRefs = h;
        data.ExtRefs = 2 * h;
        data.Parts = AtomPartAll;
        cache->Write(h, data, AtomPartAll);
    }
    cache->SetLimit(3);
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t step = 0; step < Count; ++step) {
            uint32_t h = (step * 7 + round) % Count + 1;
            uint8_t parts = step % 2 ? AtomPartAll : AtomPartCounts;
            TAtomData data = Read(h, parts);
            ASSERT_EQ(data.LinkRefs, h);
            ASSERT_EQ(data.ExtRefs, 2 * h);
            if (parts != AtomPartAll) continue;
            ASSERT_EQ(data.Data, std::vector<uint8_t>(h % 3 == 0 ? 30 + h : h % 5, uint8_t(h))) << h;
            ASSERT_EQ(data.Links, h % 2 == 0 ? TAtomHandleArray(h % 7, h) : TAtomHandleArray()) << h;
        }
        EXPECT_LE(cache->GetCount(), 3u);
    }
}

TEST_F(AtomCacheTest, TheLeastRecentlyUsedItemGoesAtTheLimit) {
    CreateAtoms(3);
    cache->SetLimit(2);
    uint32_t lookups0, hits0;
    cache->GetStats(lookups0, hits0);
    Read(1);
    Read(2);
    Read(3);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{2, 3}));
    uint32_t lookups, hits;
    cache->GetStats(lookups, hits);
    EXPECT_EQ(hits, hits0);
    EXPECT_EQ(Read(2).Data, Text(2));
    cache->GetStats(lookups, hits);
    EXPECT_EQ(lookups, lookups0 + 4);
    EXPECT_EQ(hits, hits0 + 1);
    Read(1); // 3 is now the least recent
    EXPECT_EQ(Cached(), (std::set<uint32_t>{1, 2}));
}

TEST_F(AtomCacheTest, ALowerLimitTakesEffectAtTheNextLookupAndSparesItsItem) {
    CreateAtoms(5);
    for (uint32_t h = 1; h <= 5; ++h) Read(h);
    cache->SetLimit(1);
    EXPECT_EQ(cache->GetCount(), 5u);
    Read(1);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{1}));
    EXPECT_EQ(cache->GetLimit(), 1u);
}

TEST_F(AtomCacheTest, HandlesShareABucketByTheirLowBits) {
    CreateAtoms(70);
    Read(69);
    Read(5);
    EXPECT_EQ(cache->ItemHandle(0), 5u);
    EXPECT_EQ(cache->ItemHandle(1), 69u);
    EXPECT_EQ(cache->ItemHandle(2), 0u);
}

// As the table grows every item stays findable, in its recency place, and the limit still
// turns the oldest out.
TEST_F(AtomCacheTest, ThousandsOfItemsStayFindableInTheirRecencyOrder) {
    CreateAtoms(5000);
    cache->SetLimit(3000);
    for (uint32_t h = 5000; h >= 1; --h) Read(h);
    EXPECT_EQ(cache->GetCount(), 3000u);
    std::set<uint32_t> expected;
    for (uint32_t h = 1; h <= 3000; ++h) expected.insert(h);
    EXPECT_EQ(Cached(), expected);
    uint32_t lookups = 0, hits = 0;
    cache->GetStats(lookups, hits);
    for (uint32_t h = 1; h <= 3000; h += 7) EXPECT_EQ(Read(h).Data, Text(h)) << h;
    uint32_t lookupsAfter = 0, hitsAfter = 0;
    cache->GetStats(lookupsAfter, hitsAfter);
    EXPECT_EQ(hitsAfter - hits, lookupsAfter - lookups); // all of them hits
    Read(4999);                                          // the oldest, 3000, makes room
    EXPECT_EQ(Cached().count(3000), 0u);
}

TEST_F(AtomCacheTest, AFailedReadLeavesNoItemAndALaterOneFillsIt) {
    CreateAtoms(1);
    file->AtomManager()->NewHandle(); // 2: reserved, entry still free
    EKVZError error = CatchKVZ([&] { Read(2); });
    EXPECT_EQ(error.Code, 5);
    EXPECT_EQ(cache->GetCount(), 0u);
    file->AtomManager()->NewAtom(2);
    EXPECT_TRUE(Read(2, AtomPartAll).Data.empty());
    EXPECT_EQ(cache->GetCount(), 1u);
    EXPECT_EQ(CatchKVZ([&] { Read(300); }).Code, 5);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{2}));
}

TEST_F(AtomCacheTest, ReadsFillOnlyWhatIsMissingAndWritesGoThrough) {
    CreateAtoms(2);
    TAtomData data;
    data.Data = Text(1); // unmodified: the item takes it without a read
    data.Links = {2, 0, 1};
    data.LinkWidth = 1;
    data.LinkRefs = 4;
    data.Parts = AtomPartAll;
    uint32_t lookups0, hits0;
    cache->GetStats(lookups0, hits0);
    cache->Write(1, data, AtomPartLinks | AtomPartCounts);
    EXPECT_EQ(Read(1, AtomPartData).Data, Text(1));
    uint32_t lookups, hits;
    cache->GetStats(lookups, hits);
    EXPECT_EQ(hits, hits0 + 1);
    cache->Clear();
    TAtomData back = Read(1, AtomPartAll);
    EXPECT_EQ(back.Data, Text(1));
    EXPECT_EQ(back.Links, (TAtomHandleArray{2, 0, 1}));
    EXPECT_EQ(back.LinkRefs, 4u);
    EXPECT_EQ(back.Parts, AtomPartAll);
    data.Data = {1, 2, 3};
    cache->Write(1, data, AtomPartData);
    Open(TOpenMode::Open);
    back = Read(1, AtomPartAll);
    EXPECT_EQ(back.Data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(back.Links, (TAtomHandleArray{2, 0, 1}));
}

TEST_F(AtomCacheTest, RemoveAndClearEmptyTheCacheButKeepTheStatistics) {
    CreateAtoms(4);
    uint32_t lookups0, hits0;
    cache->GetStats(lookups0, hits0);
    for (uint32_t h = 1; h <= 4; ++h) Read(h);
    cache->Remove(2);
    cache->Remove(77);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{1, 3, 4}));
    cache->Clear();
    EXPECT_EQ(cache->GetCount(), 0u);
    EXPECT_EQ(cache->MostRecent, nullptr);
    uint32_t lookups, hits;
    cache->GetStats(lookups, hits);
    EXPECT_EQ(lookups, lookups0 + 4);
    Read(4);
    cache->SetLimit(1);
    Read(3);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{3}));
}

// Reads past the cache give what Read gives, keep nothing new, and reuse one buffer pair without
// leaking one atom's bytes into the next; they are no cache lookups, a held item's included.
TEST_F(AtomCacheTest, ReadsPastTheCacheKeepNothingAndShowWhatReadShows) {
    CreateAtoms(30);
    uint32_t lookups0, hits0;
    cache->GetStats(lookups0, hits0);
    Read(7);
    TAtomData past;
    for (uint32_t h = 30; h >= 1; --h) {
        cache->ReadPast(h, AtomPartData | AtomPartLinks, past);
        ASSERT_EQ(past.Data, Text(h)) << h;
        ASSERT_TRUE(past.Links.empty()) << h;
    }
    EXPECT_EQ(Cached(), (std::set<uint32_t>{7}));
    uint32_t lookups, hits;
    cache->GetStats(lookups, hits);
    EXPECT_EQ(lookups - lookups0, 1u);
    EXPECT_EQ(hits - hits0, 0u);
    EXPECT_EQ(CatchKVZ([&] { cache->ReadPast(300, AtomPartData, past); }).Code, 5);
    EXPECT_EQ(Cached(), (std::set<uint32_t>{7}));
}

// Images are opaque to the accessor: any distinct addresses will do.
TAtomImage* Image(uintptr_t n) { return reinterpret_cast<TAtomImage*>(n * 16); }

TEST(DivAtomAccessorTest, PutGetAndOrderByBucketThenKey) {
    auto accessor = MakeObj<TDivAtomAccessor>(6);
    for (uint32_t h : {70u, 6u, 1u, 65u, 134u}) accessor->Put(h, Image(h));
    EXPECT_EQ(accessor->GetCount(), 5u);
    EXPECT_EQ(accessor->Get(65), Image(65));
    EXPECT_EQ(accessor->Get(2), nullptr);
    std::vector<TAtomImage*> order;
    for (uint32_t i = 0; i < 6; ++i) order.push_back(accessor->GetByIndex(i));
    EXPECT_EQ(order, (std::vector<TAtomImage*>{Image(1), Image(65), Image(6), Image(70), Image(134), nullptr}));
    accessor->Put(65, Image(99));
    EXPECT_EQ(accessor->Get(65), Image(99));
    EXPECT_EQ(accessor->GetCount(), 5u);
    accessor->Put(3, nullptr);
    EXPECT_EQ(accessor->GetCount(), 5u);
    accessor->Put(65, nullptr);
    EXPECT_EQ(accessor->GetCount(), 4u);
    EXPECT_EQ(accessor->Get(65), nullptr);
}

TEST(DivAtomAccessorTest, EnumeratorsWalkBothWaysAndBackwardAllowsRemoval) {
    auto accessor = MakeObj<TDivAtomAccessor>(2);
    for (uint32_t h = 1; h <= 9; ++h) accessor->Put(h, Image(h));
    std::vector<TAtomImage*> forward;
    auto fwd = accessor->EnumForward();
    for (TAtomImage* image = fwd->First(); image; image = fwd->Next()) forward.push_back(image);
    std::vector<TAtomImage*> backward;
    auto bwd = accessor->EnumBackward();
    for (TAtomImage* image = bwd->First(); image; image = bwd->Next()) {
        backward.push_back(image);
        accessor->Put(uint32_t(reinterpret_cast<uintptr_t>(image) / 16), nullptr);
    }
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward.size(), 9u);
    EXPECT_EQ(forward[0], Image(4)); // bucket 0 first
    EXPECT_EQ(accessor->GetCount(), 0u);
}

TEST(BinAccessorTest, SortedKeysAndIndexErrors) {
    TBinAccessor accessor(&MakeIndexedObject<TIndexedObject>);
    for (uint32_t key : {5u, 0xFFFFFFFFu, 1u, 5u, 3u}) accessor.GetOrCreate(key);
    ASSERT_EQ(accessor.Count(), 4u);
    EXPECT_EQ(accessor.Get(0)->Key, 1u);
    EXPECT_EQ(accessor.Get(3)->Key, 0xFFFFFFFFu); // unsigned order
    size_t index;
    EXPECT_EQ(accessor.Find(4, index), nullptr);
    EXPECT_EQ(index, 2u);
    EXPECT_THROW(accessor.Get(4), EInvalidIndex);
    EXPECT_THROW(accessor.Delete(4), EInvalidIndex);
    TIndexedObject probe(3);
    accessor.RemoveItem(&probe);
    EXPECT_EQ(accessor.Count(), 3u);
    accessor.SetCount(1);
    EXPECT_EQ(accessor.Count(), 1u);
    accessor.Insert(99, std::make_unique<TIndexedObject>(8));
    EXPECT_EQ(accessor.Get(1)->Key, 8u);
}

} // namespace

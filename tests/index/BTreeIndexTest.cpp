// The B-tree index and its factory: splits and merges seen through Dump, the seek table, key
// length limits, header bytes, parameter and error texts, damaged headers and pages, bounded
// page data, and values kept across deletions at the storage's root level.
#include "IndexFixture.h"

namespace {

class BTreeTest : public IndexTest {
protected:
    void SetUp() override {
        IndexTest::SetUp();
        Storage = Create();
        Root = Storage->OpenRoot();
    }
    void TearDown() override {
        Root = nullptr;
        Storage = nullptr;
        IndexTest::TearDown();
    }
    TRef<IIndexer> Make(const std::string& params, uint32_t link = 1) {
        return BTree()->OpenOrCreateIndex(Root.get(), int32_t(link), "", params);
    }
    static std::vector<std::string> Dump(IIndexer* indexer) {
        std::vector<std::string> lines;
        Query<IBTreeDump>(indexer)->Dump(lines);
        return lines;
    }
    static std::string Int(uint32_t v) {
        std::string key(4, '\0');
        for (int i = 0; i < 4; ++i) key[size_t(i)] = char(v >> (8 * i));
        return key;
    }
    TRef<IVirtualAtom> IndexAtom(uint32_t link = 1) { return Root->OpenLinkAccess(link, AccessReadOnly); }

    TRef<IVirtualStorage> Storage;
    TRef<IVirtualAtom> Root;
};

TEST_F(BTreeTest, FifthKeySplitsTheRootAndDeletionsMergeBack) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    for (const char* key : {"1", "2", "3", "4"}) indexer->AddKey(key);
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"1", "2", "3", "4"}));
    indexer->AddKey("5");
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"p0", " 1", " 2", "3", " 4", " 5"}));
    indexer->InsertKey("6", nullptr);
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"p0", " 1", " 2", "3", " 4", " 5", " 6N"}));
    EXPECT_TRUE(indexer->DeleteKey("6"));
    EXPECT_TRUE(indexer->DeleteKey("5"));
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_TRUE(indexer->DeleteKey("1"));
    EXPECT_FALSE(indexer->DeleteKey("1"));
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"2", "3", "4"}));
}

TEST_F(BTreeTest, RotationAndInnerDeletion) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    for (const char* key : {"a", "b", "c", "d", "e", "f", "g"}) indexer->AddKey(key);
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"p0", " a", " b", "c", " d", " e", " f", " g"}));
    // Removing a separator takes its predecessor; the underfull leaf borrows from its sibling.
    EXPECT_TRUE(indexer->DeleteKey("c"));
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"p0", " a", " b", "d", " e", " f", " g"}));
    EXPECT_TRUE(indexer->DeleteKey("a"));
    EXPECT_TRUE(indexer->KeyExists("b"));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    std::string walked;
    for (bool ok = cursor->First(); ok; ok = cursor->Next()) walked += cursor->GetKey();
    EXPECT_EQ(walked, "bdefg");
}

TEST_F(BTreeTest, ExistingKeyGetsTheNewValue) {
    TRef<IIndexer> indexer = Make("");
    indexer->InsertKey("k", Value(indexer.get(), "one").get());
    indexer->InsertKey("k", Value(indexer.get(), "two").get());
    EXPECT_EQ(ValueText(indexer.get(), "k"), "two");
    EXPECT_EQ(indexer->GetCursor()->GetCount(), 1);
}

TEST_F(BTreeTest, IntegerKeysOrderByTheirLowestByte) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    for (uint32_t v : {1u, 256u, 2u, 512u}) indexer->AddKey(Int(v));
    indexer->AddKey(std::string("\0\x01", 2));
    indexer->AddKey(std::string("\0\x01\0", 3));
    std::vector<std::string> walked;
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    for (bool ok = cursor->First(); ok; ok = cursor->Next()) walked.push_back(cursor->GetKey());
    EXPECT_EQ(walked, (std::vector<std::string>{std::string("\0\x01", 2), std::string("\0\x01\0", 3), Int(256),
                                                Int(512), Int(1), Int(2)}));
}

TEST_F(BTreeTest, SeekConditions) {
    TRef<IIndexer> indexer = Make("");
    for (char key : {'\x0A', '\x14', '\x1E'}) indexer->AddKey(std::string(1, key));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    auto seek = [&](char key, uint8_t condition) -> int {
        if (!cursor->Seek(std::string(1, key), condition)) return -1;
        return uint8_t(cursor->GetKey()[0]);
    };
    EXPECT_EQ(seek(20, SeekLess), 10);
    EXPECT_EQ(seek(20, SeekGreater), 30);
    EXPECT_EQ(seek(20, SeekLessOrEqual), 20);
    EXPECT_EQ(seek(20, SeekGreaterOrEqual), 20);
    EXPECT_EQ(seek(25, SeekExact), -1);
    EXPECT_EQ(seek(25, SeekLess), 20);
    EXPECT_EQ(seek(25, SeekLessOrEqual), 20);
    EXPECT_EQ(seek(25, SeekGreater), 30);
    EXPECT_EQ(seek(25, SeekGreaterOrEqual), 30);
    ASSERT_EQ(seek(10, SeekExact), 10);
    EXPECT_EQ(seek(35, SeekGreater), -1);
    EXPECT_EQ(seek(35, SeekGreaterOrEqual), -1);
    EXPECT_EQ(cursor->GetKey(), "\x0A");
    EXPECT_EQ(seek(5, SeekLess), -1);
    EXPECT_EQ(ErrorCode([&] { cursor->Seek("x", 5); }), 150);
}

TEST_F(BTreeTest, SeekConditionsAcrossLevels) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    std::vector<uint8_t> keys;
    for (uint8_t k = 10; k <= 200; k += 10) keys.push_back(k);
    for (uint8_t k : keys) indexer->AddKey(std::string(1, char(k)));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    for (int sought = 0; sought <= 210; sought += 5) {
        auto expect = [&](uint8_t condition) -> int {
            for (int i = condition == SeekLess || condition == SeekLessOrEqual ? int(keys.size()) - 1 : 0;
                 i >= 0 && i < int(keys.size());
                 i += (condition == SeekLess || condition == SeekLessOrEqual ? -1 : 1)) {
                int k = keys[size_t(i)];
                if ((condition == SeekExact && k == sought) || (condition == SeekLess && k < sought) ||
                    (condition == SeekGreater && k > sought) || (condition == SeekLessOrEqual && k <= sought) ||
                    (condition == SeekGreaterOrEqual && k >= sought))
                    return k;
            }
            return -1;
        };
        for (uint8_t condition = 0; condition <= 4; ++condition) {
            int got = cursor->Seek(std::string(1, char(sought)), condition) ? uint8_t(cursor->GetKey()[0]) : -1;
            EXPECT_EQ(got, expect(condition)) << sought << " condition " << int(condition);
        }
    }
}

TEST_F(BTreeTest, CursorEndsFirstLastAndClone) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    TRef<IIndexerCursor> empty = indexer->GetCursor();
    EXPECT_FALSE(empty->First());
    EXPECT_TRUE(empty->IsEmpty());
    EXPECT_EQ(ErrorCode([&] { empty->GetKey(); }), 3);
    for (char c = 'a'; c <= 'm'; ++c) indexer->AddKey(std::string(1, c));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    EXPECT_TRUE(cursor->IsFirst());
    EXPECT_FALSE(cursor->Prior());
    EXPECT_EQ(cursor->GetKey(), "a");
    // After moves the path differs from the one First builds; the answer must not.
    for (int i = 0; i < 5; ++i) cursor->Next();
    for (int i = 0; i < 5; ++i) cursor->Prior();
    EXPECT_TRUE(cursor->IsFirst());
    EXPECT_TRUE(cursor->Seek("m", SeekExact));
    EXPECT_TRUE(cursor->IsLast());
    EXPECT_FALSE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "m");
    EXPECT_TRUE(cursor->Prior());
    EXPECT_TRUE(cursor->Next());
    EXPECT_TRUE(cursor->IsLast());
    EXPECT_FALSE(cursor->IsFirst());
    ASSERT_TRUE(cursor->Seek("f", SeekExact));
    TRef<IIndexerCursor> clone = Query<IIndexerCursor>(cursor->Clone());
    ASSERT_TRUE(clone);
    EXPECT_EQ(clone->GetKey(), "f");
    clone->Next();
    EXPECT_EQ(clone->GetKey(), "g");
    EXPECT_EQ(cursor->GetKey(), "f");
    EXPECT_EQ(cursor->GetCount(), 13);
    char buffer[8];
    EXPECT_EQ(cursor->GetKeyBuf(buffer, 8), 1);
    EXPECT_EQ(cursor->GetKeyLength(), 1);
    EXPECT_EQ(ErrorCode([&] { cursor->GetKeyBuf(nullptr, 1); }), 153);
    cursor->Close();
    EXPECT_FALSE(cursor->GetIndexer());
    std::string message;
    EXPECT_EQ(ErrorCode([&] { cursor->First(); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
}

TEST_F(BTreeTest, KeyLengthLimit) {
    TRef<IIndexer> indexer = Make("");
    std::string longest(65536, 'x');
    indexer->AddKey(longest);
    EXPECT_TRUE(indexer->KeyExists(longest));
    TRef<IVirtualAtom> atom;
    EXPECT_TRUE(indexer->FindKey(longest, atom));
    EXPECT_EQ(ErrorText([&] { indexer->AddKey(longest + "x"); }), "Key too long 65537 bytes");
    EXPECT_EQ(ErrorText([&] { indexer->FindKey(longest + "x", atom); }), "Key too long 65537 bytes");
}

TEST_F(BTreeTest, HeaderBytesAndPageSizeParameter) {
    TRef<IIndexer> indexer = Make("");
    TRef<IVirtualAtom> header = IndexAtom();
    const std::vector<uint8_t> expected = {0x30, 0x02, 0xA6, 0xB3, 0xA1, 0x0B, 0xD5, 0x11, 0x8F, 0x94, 0x00, 0x01,
                                           0x02, 0xFA, 0xE9, 0xE5, 2,    0,    0,    0,    40,   0,    0,    0};
    EXPECT_EQ(header->GetBytes(), expected);
    TRef<IVirtualAtom> rootPage = header->OpenLinkAccess(0, AccessReadOnly);
    EXPECT_EQ(rootPage->GetBytes(), (std::vector<uint8_t>{0, 0, 0, 0, 0x48, 0x01, 0, 0}));
    TRef<IVirtualAtom> atom;
    std::string message;
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(Storage.get(), atom, "", "PageSize=5"); }, &message), 19);
    EXPECT_EQ(message, "TBTreeIndexFactory - invalid PageSize parameter value out of range");
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(Storage.get(), atom, "", "PageSize=1026"); }), 19);
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(Storage.get(), atom, "", "PageSize=2"); }), 19);
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(Storage.get(), atom, "", "PageSize=big"); }, &message), 19);
    EXPECT_EQ(message, "TBTreeIndexFactory - invalid PageSize parameter");
    EXPECT_FALSE(atom);
    EXPECT_TRUE(BTree()->CreateIndex(Storage.get(), atom, "", "pagesize = 1024"));
}

TEST_F(BTreeTest, FactoryErrorsAndRecognition) {
    TRef<IIndexer> btree = Make("");
    TRef<IIndexer> trie = Trie()->OpenOrCreateIndex(Root.get(), 2, "", "");
    EXPECT_TRUE(BTree()->IsIndex(IndexAtom(1).get()));
    EXPECT_FALSE(BTree()->IsIndex(IndexAtom(2).get()));
    EXPECT_FALSE(Trie()->IsIndex(IndexAtom(1).get()));
    EXPECT_FALSE(BTree()->IsIndex(nullptr));
    std::string message;
    EXPECT_EQ(ErrorCode([&] { BTree()->OpenIndex(nullptr, "", ""); }, &message), 152);
    EXPECT_EQ(message, "not BTREE index");
    EXPECT_EQ(ErrorCode([&] { BTree()->OpenOrCreateIndex(Root.get(), 2, "", ""); }), 152);
    TRef<IVirtualAtom> atom;
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(nullptr, atom, "", ""); }, &message), 154);
    EXPECT_EQ(message, "Not storage!");
    EXPECT_EQ(ErrorCode([&] { btree->GetModifyingCursor(); }, &message), 1);
    EXPECT_EQ(message, "Not implemented");
    TRef<IModificatingCursor> modifying;
    EXPECT_EQ(ErrorCode([&] { btree->SeekModifyingCursor("a", modifying); }), 1);
    EXPECT_EQ(ErrorCode([&] { BTree()->CreateIndex(Storage.get(), atom, "KEY_LENGTH=4", ""); }, &message), 2);
    EXPECT_EQ(message, "Capability is not supported");
    EXPECT_TRUE(BTree()->OpenIndex(IndexAtom(1).get(), "KEY_LENGTH=3;GOTO_LINE_NUMBER=1", ""));
    EXPECT_EQ(ErrorCode([&] { btree->AddKeyBuf(nullptr, 1); }), 153);
    EXPECT_EQ(ErrorCode([&] { btree->InsertKeyBuf(nullptr, 0, nullptr); }), 153);
    EXPECT_EQ(ErrorCode([&] { btree->KeyExistsBuf(nullptr, 0); }), 153);
    EXPECT_EQ(ErrorCode([&] { btree->DeleteKeyBuf(nullptr, 0); }), 153);
    TRef<IIndexerCursor> cursor;
    EXPECT_FALSE(btree->SeekCursor("nothing", cursor));
    EXPECT_FALSE(cursor);
    EXPECT_EQ(Query<ICapabilities>(btree)->GetCapabilityInt("MODIFICATING_CURSOR"), 0);
}

TEST_F(BTreeTest, ImpossibleHeadersAndPagesAreRefused) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    indexer->AddKey("a");
    indexer = nullptr;
    TRef<IVirtualAtom> header = Root->OpenLink(1);
    for (uint8_t size : {5, 2, 0}) {
        std::vector<uint8_t> bytes = header->GetBytes();
        bytes[20] = size;
        header->SetBytes(bytes);
        EXPECT_FALSE(BTree()->IsIndex(header.get())) << int(size);
    }
    std::vector<uint8_t> bytes = header->GetBytes();
    bytes[20] = 4;
    bytes[21] = 0x10; // 4100
    header->SetBytes(bytes);
    EXPECT_FALSE(BTree()->IsIndex(header.get()));
    bytes[21] = 0;
    header->SetBytes(bytes);
    ASSERT_TRUE(BTree()->IsIndex(header.get()));
    {
        TRef<IVirtualAtom> page = header->OpenLink(0);
        std::vector<uint8_t> data = page->GetBytes();
        data[0] = 9; // Count above PageSize
        page->SetBytes(data);
    }
    EXPECT_EQ(ErrorCode([&] { BTree()->OpenIndex(header.get(), "", ""); }), 152);
    {
        TRef<IVirtualAtom> page = header->OpenLink(0);
        std::vector<uint8_t> data = page->GetBytes();
        data[0] = 1;
        data[12] = 0xFF; // key 0 runs past the data
        page->SetBytes(data);
    }
    EXPECT_EQ(ErrorCode([&] { BTree()->OpenIndex(header.get(), "", "")->KeyExists("a"); }), 152);
}

TEST_F(BTreeTest, PageDataStaysBoundedInAPageThatNeverSplits) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    std::string key(100, 'k');
    for (int round = 0; round < 200; ++round) {
        indexer->AddKey(key + "1");
        indexer->AddKey(key + "2");
        indexer->DeleteKey(key + "1");
        indexer->DeleteKey(key + "2");
    }
    indexer->AddKey(key);
    TRef<IVirtualAtom> page = IndexAtom()->OpenLinkAccess(0, AccessReadOnly);
    EXPECT_LT(page->GetDataSize(), 4u * 8 + 8 + 3 * 101 + 64);
    EXPECT_TRUE(indexer->KeyExists(key));
}

TEST_F(BTreeTest, RootLevelTreeKeepsValuesAfterDeletingEvenKeys) {
    {
        TRef<IIndexer> indexer = Make("PageSize=4");
        for (uint32_t v = 0; v < 300; ++v) indexer->InsertKey(Int(v), Value(indexer.get(), std::to_string(v)).get());
        for (uint32_t v = 0; v < 300; v += 2) ASSERT_TRUE(indexer->DeleteKey(Int(v)));
        Root = nullptr;
    }
    Storage = nullptr;
    Storage = OpenReadOnly();
    Root = Storage->OpenRoot();
    TRef<IIndexer> indexer = Make("");
    for (uint32_t v = 0; v < 300; ++v)
        EXPECT_EQ(ValueText(indexer.get(), Int(v)), v % 2 ? std::to_string(v) : "<absent>");
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    EXPECT_EQ(cursor->GetCount(), 150);
    EXPECT_TRUE(cursor->Last());
    EXPECT_EQ(cursor->GetKey(), Int(255)); // FF 00 00 00: the greatest by bytes
    EXPECT_EQ(ErrorCode([&] { indexer->DeleteKey(Int(1)); }), 3);
}

TEST_F(BTreeTest, ClearDropsEveryKey) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    for (uint32_t v = 0; v < 50; ++v) indexer->AddKey(Int(v));
    indexer->Clear();
    EXPECT_FALSE(indexer->KeyExists(Int(3)));
    EXPECT_TRUE(indexer->GetCursor()->IsEmpty());
    indexer->AddKey("again");
    EXPECT_EQ(Dump(indexer.get()), (std::vector<std::string>{"again"}));
}

TEST_F(BTreeTest, CursorDoesNotBlockChangesThroughItsIndex) {
    TRef<IIndexer> indexer = Make("PageSize=4");
    for (uint32_t v = 0; v < 40; ++v) indexer->AddKey(Int(v));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    cursor->Next();
    indexer->AddKey(Int(1000));
    indexer->DeleteKey(Int(7));
    EXPECT_TRUE(cursor->First());
    EXPECT_EQ(cursor->GetCount(), 40);
}

} // namespace

// Trie cursors: walking, ends, seeking, clones, modifying cursors, several cursors and lookups
// interleaved on one indexer, and value atoms held by the caller during walks.
#include "IndexFixture.h"

#include <array>
#include <random>
#include <set>

namespace {

class TrieCursorTest : public IndexTest {
protected:
    void SetUp() override {
        IndexTest::SetUp();
        Storage = Create();
        TRef<IVirtualAtom> root = Storage->OpenRoot();
        Indexer = Trie()->OpenOrCreateIndex(root.get(), 1, "", "");
    }
    void TearDown() override {
        Indexer = nullptr;
        Storage = nullptr;
        IndexTest::TearDown();
    }
    void Fill(std::initializer_list<std::string> keys) {
        for (const auto& key : keys) Indexer->AddKey(key);
    }
    std::vector<std::string> Walk(IIndexerCursor* cursor) {
        std::vector<std::string> keys;
        for (bool ok = cursor->First(); ok; ok = cursor->Next()) keys.push_back(cursor->GetKey());
        return keys;
    }

    TRef<IVirtualStorage> Storage;
    TRef<IIndexer> Indexer;
};

TEST_F(TrieCursorTest, EmptyIndexCursorStandsOnNothing) {
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    EXPECT_TRUE(cursor->IsEmpty());
    EXPECT_EQ(cursor->GetKey(), "");
    char buffer[4];
    EXPECT_EQ(cursor->GetKeyBuf(buffer, 4), -1);
    EXPECT_EQ(cursor->GetKeyLength(), -1);
    EXPECT_FALSE(cursor->First());
    EXPECT_FALSE(cursor->Last());
    EXPECT_FALSE(cursor->Next());
    EXPECT_FALSE(cursor->IsFirst());
    EXPECT_FALSE(cursor->GetAtom());
}

TEST_F(TrieCursorTest, WalksBothWaysAndStopsAtTheEnds) {
    Fill({"b", "a", "c"});
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    EXPECT_EQ(Walk(cursor.get()), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(cursor->GetKey(), "");
    EXPECT_FALSE(cursor->Next());
    EXPECT_FALSE(cursor->Next());
    ASSERT_TRUE(cursor->Last());
    EXPECT_TRUE(cursor->IsLast());
    EXPECT_FALSE(cursor->IsFirst());
    EXPECT_EQ(cursor->GetKey(), "c");
    EXPECT_TRUE(cursor->Prior());
    EXPECT_TRUE(cursor->Prior());
    EXPECT_TRUE(cursor->IsFirst());
    EXPECT_EQ(cursor->GetKey(), "a");
    EXPECT_FALSE(cursor->Prior());
    char buffer[1];
    ASSERT_TRUE(cursor->Seek("b", SeekExact));
    EXPECT_EQ(cursor->GetKeyBuf(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'b');
    EXPECT_EQ(cursor->GetAtom()->GetText(), "b");
}

TEST_F(TrieCursorTest, EmptyKeyIsFirstAndAWalkPastTheEndStillEnds) {
    Fill({"x", "", "y"});
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    EXPECT_FALSE(cursor->IsEmpty());
    EXPECT_EQ(Walk(cursor.get()), (std::vector<std::string>{"", "x", "y"}));
    // The cursor's empty key text now names the empty key: the next step starts over after it.
    EXPECT_FALSE(cursor->IsEmpty());
    EXPECT_TRUE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "x");
    ASSERT_TRUE(cursor->First());
    EXPECT_FALSE(cursor->Prior());
}

TEST_F(TrieCursorTest, SeekExactOnly) {
    Fill({"k1", "k2"});
    TRef<IIndexerCursor> cursor;
    EXPECT_TRUE(Indexer->SeekCursor("k2", cursor));
    EXPECT_EQ(cursor->GetKey(), "k2");
    EXPECT_FALSE(cursor->Seek("k3", SeekExact));
    EXPECT_TRUE(cursor->IsEmpty());
    EXPECT_EQ(cursor->GetKey(), "");
    EXPECT_FALSE(Indexer->SeekCursorBuf("k", 1, cursor));
    ASSERT_TRUE(cursor);
}

TEST_F(TrieCursorTest, CloneMovesIndependently) {
    Fill({"a", "b", "c"});
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    cursor->Next();
    TRef<IBidirectionalCursor> clone = cursor->Clone();
    TRef<IIndexerCursor> cloneKeys = Query<IIndexerCursor>(clone);
    ASSERT_TRUE(cloneKeys);
    EXPECT_EQ(cloneKeys->GetKey(), "b");
    clone->Next();
    EXPECT_EQ(cloneKeys->GetKey(), "c");
    EXPECT_EQ(cursor->GetKey(), "b");
}

TEST_F(TrieCursorTest, ModifyingCursorDeletesAndInserts) {
    Fill({"a", "b", "c"});
    TRef<IModificatingCursor> cursor;
    ASSERT_TRUE(Indexer->SeekModifyingCursor("b", cursor));
    cursor->Delete();
    EXPECT_EQ(cursor->GetKey(), "c");
    EXPECT_FALSE(Indexer->KeyExists("b"));
    cursor->Delete();
    EXPECT_TRUE(cursor->IsEmpty());
    cursor->Insert("m", nullptr);
    EXPECT_EQ(cursor->GetKey(), "m");
    EXPECT_EQ(cursor->GetAtom()->GetText(), "m");
    TRef<IVirtualAtom> given = Value(Indexer.get(), "given");
    cursor->InsertBuf("n", 1, given.get());
    given = nullptr;
    EXPECT_EQ(ValueText(Indexer.get(), "n"), "given");
    EXPECT_EQ(cursor->GetCount(), 3);
    EXPECT_EQ(ErrorCode([&] { cursor->InsertBuf(nullptr, 1, nullptr); }), 153);
}

TEST_F(TrieCursorTest, DeletedKeyUnderTheCursor) {
    Fill({"a", "b", "c"});
    TRef<IIndexerCursor> cursor;
    ASSERT_TRUE(Indexer->SeekCursor("b", cursor));
    Indexer->DeleteKey("b");
    EXPECT_TRUE(cursor->IsEmpty());
    EXPECT_TRUE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "c");
    ASSERT_TRUE(cursor->Seek("a", SeekExact));
    Indexer->DeleteKey("a");
    EXPECT_TRUE(cursor->Prior());
    EXPECT_EQ(cursor->GetKey(), "c");
}

TEST_F(TrieCursorTest, LookupsBetweenStepsDoNotEndAWalk) {
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) keys.push_back("key" + std::to_string(100 + i));
    for (const auto& key : keys) Indexer->AddKey(key);
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    TRef<IIndexerCursor> other = Indexer->GetCursor();
    std::vector<std::string> walked;
    for (bool ok = cursor->First(); ok; ok = cursor->Next()) {
        walked.push_back(cursor->GetKey());
        TRef<IVirtualAtom> atom;
        Indexer->FindKey("absent" + std::to_string(walked.size()), atom);
        Indexer->FindKey("key1", atom);
        other->Seek("nothing", SeekExact);
        other->Last();
        other->Next();
    }
    EXPECT_EQ(walked, keys);
}

TEST_F(TrieCursorTest, HeldValueAtomsDoNotBlockDeleteOrLookup) {
    Fill({"a", "b", "c"});
    TRef<IVirtualAtom> held;
    ASSERT_TRUE(Indexer->FindKeyAccess("b", AccessAll, held));
    EXPECT_TRUE(Indexer->KeyExists("b"));
    EXPECT_TRUE(Indexer->DeleteKey("a"));
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    EXPECT_EQ(Walk(cursor.get()), (std::vector<std::string>{"b", "c"}));
    EXPECT_TRUE(cursor->Last());
    EXPECT_TRUE(cursor->Prior());
    EXPECT_EQ(cursor->GetKey(), "b");
    held->SetText("changed");
    held = nullptr;
    EXPECT_EQ(ValueText(Indexer.get(), "b"), "changed");
}

TEST_F(TrieCursorTest, ClosedCursorRefusesWork) {
    Fill({"a"});
    TRef<IIndexerCursor> cursor = Indexer->GetCursor();
    EXPECT_EQ(cursor->GetIndexer().get(), Indexer.get());
    cursor->Close();
    EXPECT_FALSE(cursor->GetIndexer());
    EXPECT_EQ(ErrorCode([&] { cursor->Next(); }), 3);
    EXPECT_EQ(ErrorCode([&] { cursor->GetKey(); }), 3);
}


// Two indexers over one trie (two opens of its header atom), each with a cursor: keys added and
// deleted through either one are seen at once by the cursors of both, as a map would have it.
TEST_F(TrieCursorTest, TwoIndexersOverOneTrieSeeEachOthersChanges) {
    TRef<IIndexer> other = Trie()->OpenIndex(Storage->OpenRoot()->OpenLink(1).get(), "", "");
    std::array<TRef<IIndexer>, 2> indexers{Indexer, other};
    std::array<TRef<IIndexerCursor>, 2> cursors{Indexer->GetCursor(), other->GetCursor()};
    std::set<std::string> model;
    std::mt19937 random{20261209};
    auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
    auto randomKey = [&] {
        std::string key(1 + pick(4), 'a');
        for (char& c : key) c = char('a' + pick(3));
        return key;
    };
    auto anyKey = [&] {
        auto at = model.begin();
        std::advance(at, pick(uint32_t(model.size())));
        return *at;
    };
    for (int step = 0; step < 3000; ++step) {
        size_t side = pick(2);
        IIndexerCursor& cursor = *cursors[side];
        std::string key = cursor.GetKey();
        switch (pick(5)) {
        case 0: {
            std::string added = randomKey();
            indexers[side]->AddKey(added);
            model.insert(added);
            break;
        }
        case 1: {
            std::string gone = model.empty() ? randomKey() : anyKey();
            EXPECT_EQ(indexers[side]->DeleteKey(gone), model.erase(gone) == 1) << gone;
            break;
        }
        case 2:
            if (!model.empty()) {
                ASSERT_TRUE(cursor.Seek(anyKey(), SeekExact));
            }
            break;
        default: {
            // A cursor on a present key steps to its neighbour in the model; on a deleted key
            // it stands on nothing.
            bool present = model.count(key) == 1;
            ASSERT_EQ(cursor.IsEmpty(), !present) << "step " << step << " key " << key;
            if (!present) break;
            TRef<IVirtualAtom> atom = cursor.GetAtom();
            ASSERT_TRUE(atom) << key;
            EXPECT_EQ(atom->GetText(), key);
            atom = nullptr;
            auto next = model.upper_bound(key);
            ASSERT_EQ(cursor.Next(), next != model.end()) << "step " << step << " after " << key;
            EXPECT_EQ(cursor.GetKey(), next == model.end() ? "" : *next) << "step " << step << " after " << key;
        }
        }
    }
    cursors = {};
    other = nullptr;
}

} // namespace

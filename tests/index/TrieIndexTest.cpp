// The trie index: stored node texts and links, header bytes and the old 60-byte header, key
// order with NUL and FF bytes, error codes and texts, and reopening a read-only file.
#include "IndexFixture.h"

#include "index/UAtomTreeIndex.h"

#include <algorithm>
#include <map>
#include <random>

namespace {

class TrieTest : public IndexTest {
protected:
    // A fresh trie linked at the root atom's link 1; Header holds its header atom.
    TRef<IIndexer> Make(IVirtualStorage* storage) {
        TRef<IVirtualAtom> root = storage->OpenRoot();
        TRef<IIndexer> indexer = Trie()->CreateIndex(storage, Header, "", "");
        root->SetLink(1, Header.get());
        return indexer;
    }
    void TearDown() override {
        Header = nullptr;
        StorageTest::TearDown();
    }
    static TRef<IVirtualAtom> Link(const TRef<IVirtualAtom>& atom, uint32_t link) {
        return atom->OpenLinkAccess(link, AccessReadOnly);
    }
    // A second open of the header (the index keeps its own at access 0).
    TRef<IVirtualAtom> HeaderView(IVirtualStorage* storage) { return Link(storage->OpenRoot(), 1); }
    TRef<IVirtualAtom> Header;
};

std::vector<uint8_t> Bytes(const TRef<IVirtualAtom>& atom) {
    atom->SetAccess(AccessReadOnly);
    return atom->GetBytes();
}

TEST_F(TrieTest, FirstKeyMakesTheRootAChain) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("abc");
    TRef<IVirtualAtom> root = Link(HeaderView(storage.get()), 1);
    EXPECT_EQ(root->GetText(), "+ abc");
    TRef<IVirtualAtom> a = Link(root, 4);
    EXPECT_EQ(a->GetText(), "-a");
    EXPECT_TRUE(Link(a, 1)->IsSameAtom(root.get()));
    EXPECT_EQ(Link(a, 2)->GetText(), "abc");
}

TEST_F(TrieTest, SecondKeySplitsTheChainIntoBranches) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("abc");
    indexer->AddKey("abd");
    TRef<IVirtualAtom> root = Link(HeaderView(storage.get()), 1);
    EXPECT_EQ(root->GetText(), "- a");
    EXPECT_EQ(root->GetLinkCount(), 5u);
    TRef<IVirtualAtom> a = Link(root, 4);
    EXPECT_EQ(a->GetText(), "-ab");
    EXPECT_FALSE(a->HasLink(2));
    TRef<IVirtualAtom> b = Link(a, 4);
    EXPECT_EQ(b->GetText(), "-bcd");
    EXPECT_FALSE(b->HasLink(2));
    TRef<IVirtualAtom> c = Link(b, 4);
    TRef<IVirtualAtom> d = Link(b, 5);
    EXPECT_EQ(c->GetText(), "-c");
    EXPECT_EQ(d->GetText(), "-d");
    EXPECT_EQ(Link(c, 2)->GetText(), "abc");
    EXPECT_EQ(Link(d, 2)->GetText(), "abd");
    EXPECT_TRUE(Link(a, 1)->IsSameAtom(root.get()));
    EXPECT_TRUE(Link(b, 1)->IsSameAtom(a.get()));
    EXPECT_TRUE(Link(c, 1)->IsSameAtom(b.get()));
    EXPECT_TRUE(Link(d, 1)->IsSameAtom(b.get()));
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    EXPECT_EQ(cursor->GetKey(), "abc");
    EXPECT_TRUE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "abd");
}

TEST_F(TrieTest, KeyEndingInsideAChainKeepsItsValueOnTheChainNode) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("a");
    indexer->AddKey("ab");
    TRef<IVirtualAtom> root = Link(HeaderView(storage.get()), 1);
    EXPECT_EQ(root->GetText(), "- a");
    TRef<IVirtualAtom> a = Link(root, 4);
    EXPECT_EQ(a->GetText(), "+ab");
    EXPECT_EQ(Link(a, 2)->GetText(), "a");
    TRef<IVirtualAtom> b = Link(a, 4);
    EXPECT_EQ(b->GetText(), "-b");
    EXPECT_EQ(Link(b, 2)->GetText(), "ab");
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    EXPECT_EQ(cursor->GetKey(), "a");
    EXPECT_TRUE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "ab");
    EXPECT_FALSE(cursor->Next());
}

TEST_F(TrieTest, HeaderBytesAndCount) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("x");
    indexer->AddKey("y");
    const std::vector<uint8_t> expected = {0x20, 0x81, 0x0C, 0x22, 0xCE, 0xD1, 0xD4, 0x11, 0xBB, 0xEB,
                                           0x00, 0xA0, 0xD2, 0x1A, 0xBA, 0x80, 0x03, 'A',  'T',  'I',
                                           0x00, 0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(HeaderView(storage.get())), expected);
}

TEST_F(TrieTest, LegacyHeaderOpensAndIsRewrittenOnFirstChange) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    TRef<IVirtualAtom> header = storage->NewAtom();
    root->SetLink(1, header.get());
    std::vector<uint8_t> legacy(60, 0);
    legacy[0] = 3;
    legacy[1] = 'A';
    legacy[2] = 'T';
    legacy[3] = 'I';
    legacy[34] = 1;
    legacy[36] = 1;
    legacy[40] = 7;
    auto id = GuidOf("{220C8120-D1CE-11D4-BBEB-00A0D21ABA80}").Bytes();
    std::copy(id.begin(), id.end(), legacy.begin() + 44);
    header->SetBytes(legacy);
    ASSERT_TRUE(Trie()->IsIndex(header.get()));
    TRef<IIndexer> indexer = Trie()->OpenIndex(header.get(), "", "");
    EXPECT_EQ(indexer->GetCursor()->GetCount(), 7);
    indexer->AddKey("k");
    std::vector<uint8_t> now = Bytes(header);
    ASSERT_EQ(now.size(), 28u);
    EXPECT_EQ(now[16], 3);
    EXPECT_EQ(now[22], 1);
    EXPECT_EQ(now[24], 8);
}

TEST_F(TrieTest, BadHeadersAreRefusedWithTheirCodes) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    auto refuse = [&](size_t at, uint8_t byte) {
        std::vector<uint8_t> bytes = Bytes(HeaderView(storage.get()));
        bytes[at] = byte;
        TRef<IVirtualAtom> bad = storage->NewAtom();
        bad->SetBytes(bytes);
        EXPECT_FALSE(Trie()->IsIndex(bad.get()));
        try {
            Trie()->OpenIndex(bad.get(), "", "");
        } catch (const TATIError& error) {
            return std::make_pair(error.Code, std::string(error.what()));
        }
        return std::make_pair(-1, std::string());
    };
    EXPECT_EQ(refuse(17, 'X'), std::make_pair(1, std::string("Это не ATI!")));
    EXPECT_EQ(refuse(22, 2), std::make_pair(2, std::string("Указанный ATI не совместим!")));
    EXPECT_EQ(refuse(3, 0x99), std::make_pair(2, std::string("Указанный ATI не совместим!")));
    TRef<IVirtualAtom> shortAtom = storage->NewAtom();
    shortAtom->SetText("ATI");
    EXPECT_EQ(ErrorText([&] { Trie()->OpenIndex(shortAtom.get(), "", ""); }), "Это не ATI!");
    TRef<IVirtualAtom> noHeader;
    try {
        TAtomTreeIndex index(noHeader, 0, 0);
        ADD_FAILURE();
    } catch (const TATIError& error) {
        EXPECT_EQ(error.Code, 3);
        EXPECT_STREQ(error.what(), "Нет заголовка ATI!");
    }
    try {
        TAtomTreeIndex::CreateNew(nullptr, noHeader, 0, 0);
        ADD_FAILURE();
    } catch (const TATIError& error) {
        EXPECT_EQ(error.Code, 5);
        EXPECT_STREQ(error.what(), "Не указан Storage!");
    }
}

TEST_F(TrieTest, RawBytesOrderUnsignedWithPrefixFirst) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    const std::vector<std::string> keys = {
        std::string(), std::string("\0", 1),      std::string("\0\0", 2), std::string("\0\xFF", 2), "\x01", "a", "ab",
        "\xFF",        std::string("\xFF\x00", 2)};
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) indexer->InsertKey(*it, Value(indexer.get(), *it).get());
    std::vector<std::string> walked;
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    for (bool ok = cursor->First(); ok; ok = cursor->Next()) walked.push_back(cursor->GetKey());
    EXPECT_EQ(walked, keys);
    EXPECT_EQ(ValueText(indexer.get(), std::string("\0\xFF", 2)), std::string("\0\xFF", 2));
    EXPECT_EQ(indexer->GetCursor()->GetCount(), int32_t(keys.size()));
}

TEST_F(TrieTest, DeletionKeepsNodesAndCountsExactly) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("abc");
    indexer->AddKey("abd");
    indexer->AddKey("abc");
    TRef<IIndexerCursor> cursor = indexer->GetCursor();
    EXPECT_EQ(cursor->GetCount(), 2);
    EXPECT_FALSE(indexer->DeleteKey("ab"));
    EXPECT_EQ(cursor->GetCount(), 2);
    EXPECT_TRUE(indexer->DeleteKey("abc"));
    EXPECT_FALSE(indexer->DeleteKey("abc"));
    EXPECT_EQ(cursor->GetCount(), 1);
    TRef<IVirtualAtom> b = Link(Link(Link(HeaderView(storage.get()), 1), 4), 4);
    EXPECT_EQ(b->GetText(), "-bcd");
    EXPECT_FALSE(Link(b, 4)->HasLink(2));
    indexer->Clear();
    EXPECT_EQ(cursor->GetCount(), 0);
    EXPECT_FALSE(cursor->First());
}

// Lookups learn the nodes they pass only up to a bound: in a trie with more nodes than that, the
// rest are read each time. Lookups, walks and changes through one index object, and changes
// through another that make the first forget what it learnt, still agree with a map.
TEST_F(TrieTest, LookupsOfATrieLargerThanWhatIsLearntAgreeWithAMap) {
    std::map<std::string, std::string> model;
    std::mt19937 random(9);
    auto randomKey = [&] {
        return StrFormat("%u.%u.%u.%u", unsigned(random() % 256), unsigned(random() % 256), unsigned(random() % 256),
                         unsigned(random() % 256));
    };
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IIndexer> indexer = Make(storage.get());
        for (int i = 0; i < 12000; ++i) {
            std::string key = randomKey();
            model[key] = std::to_string(i);
            indexer->AddKey(key)->SetText(model[key]);
        }
        Header = nullptr;
    }
    TRef<IVirtualStorage> storage = Open();
    TRef<IIndexer> indexer = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");
    TRef<IIndexer> other = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");
    // Each walk twice, before the lookups: the first reads the atom table through the file's view
    // and asks for what it reads next from there, the second finds the table in memory.
    auto expectModel = [&] {
        for (int walk = 0; walk < 2; ++walk) {
            std::vector<std::pair<std::string, std::string>> walked;
            Query<IIndexWalk>(indexer.get())->WalkValues([&](std::string_view key, std::span<const uint8_t> value) {
                walked.emplace_back(std::string(key), std::string(value.begin(), value.end()));
            });
            ASSERT_EQ(walked, (std::vector<std::pair<std::string, std::string>>(model.begin(), model.end())));
        }
        for (const auto& [key, text] : model) ASSERT_EQ(ValueText(indexer.get(), key), text) << key;
        for (int i = 0; i < 2000; ++i) {
            std::string key = randomKey();
            ASSERT_EQ(ValueText(indexer.get(), key), model.count(key) ? model[key] : "<absent>") << key;
        }
    };
    for (int round = 0; round < 3; ++round) {
        ASSERT_NO_FATAL_FAILURE(expectModel());
        IIndexer* changer = round == 1 ? other.get() : indexer.get();
        for (int i = 0; i < 1500; ++i) {
            auto it = model.lower_bound(randomKey());
            if (it != model.end() && random() % 2) {
                ASSERT_TRUE(changer->DeleteKey(it->first));
                model.erase(it);
            } else {
                std::string key = randomKey();
                model[key] = "new " + std::to_string(i);
                changer->AddKey(key)->SetText(model[key]);
            }
        }
        if (round == 1) storage->Flush();
    }
    ASSERT_NO_FATAL_FAILURE(expectModel());
}

TEST_F(TrieTest, ErrorCodesAndTexts) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    TRef<IVirtualAtom> atom;
    TRef<IIndexerCursor> cursor;
    std::string message;
    EXPECT_EQ(ErrorCode([&] { Trie()->OpenIndex(nullptr, "", ""); }, &message), 151);
    EXPECT_EQ(message, "Not atom!");
    EXPECT_EQ(ErrorCode([&] { Trie()->OpenOrCreateIndex(nullptr, 1, "", ""); }), 151);
    EXPECT_EQ(ErrorCode([&] { indexer->InsertKey("k", nullptr); }), 151);
    EXPECT_EQ(ErrorCode([&] { Trie()->CreateIndex(nullptr, atom, "", ""); }, &message), 154);
    EXPECT_EQ(message, "Not storage!");
    EXPECT_EQ(ErrorCode([&] { indexer->AddKeyBuf(nullptr, 1); }, &message), 153);
    EXPECT_EQ(message, "Pointer is not Assigned!");
    EXPECT_EQ(ErrorCode([&] { indexer->KeyExistsBuf(nullptr, 1); }), 153);
    EXPECT_EQ(ErrorCode([&] { indexer->FindKeyBuf(nullptr, 1, atom); }), 153);
    EXPECT_EQ(ErrorCode([&] { indexer->FindKeyBufAccess(nullptr, 1, 3, atom); }), 153);
    EXPECT_EQ(ErrorCode([&] { indexer->DeleteKeyBuf(nullptr, 1); }), 153);
    cursor = indexer->GetCursor();
    EXPECT_EQ(ErrorCode([&] { cursor->GetKeyBuf(nullptr, 1); }), 153);
    EXPECT_EQ(ErrorCode([&] { cursor->SeekBuf(nullptr, 1, 0); }), 153);
    EXPECT_EQ(ErrorCode([&] { cursor->Seek("a", 1); }, &message), 150);
    EXPECT_EQ(message, "Unsupported Search Condition!");
    EXPECT_EQ(ErrorCode([&] { cursor->SeekBuf("a", 1, 4); }), 150);
    EXPECT_EQ(ErrorCode([&] { Trie()->CreateIndex(storage.get(), atom, "KEY_LENGTH = 7", ""); }, &message), 156);
    EXPECT_EQ(message, "Non compatible verisons!");
    EXPECT_FALSE(atom);
    EXPECT_EQ(ErrorCode([&] { Trie()->OpenIndex(Header.get(), "NO_SUCH_THING = 0", ""); }), 156);
    EXPECT_TRUE(Trie()->CreateIndex(storage.get(), atom, "KEY_LENGTH = 6; MODIFICATING_CURSOR=1", ""));
    // A nil pointer in the insert form is the empty key.
    indexer->InsertKeyBuf(nullptr, 0, Value(indexer.get(), "empty").get());
    EXPECT_EQ(ValueText(indexer.get(), ""), "empty");
}

TEST_F(TrieTest, CapabilitiesAreForwarded) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    TRef<ICapabilities> caps = Query<ICapabilities>(indexer);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->GetCapabilityInt("key_length"), 6);
    EXPECT_EQ(caps->GetCapabilityInt("MULTI_CURSORING"), 2);
    EXPECT_EQ(caps->GetCapability(";"),
              "CURSOR_CLONE=1;GOTO_LINE_NUMBER=0;EXTRA_MODIFICATOR=0;MODIFICATING_CURSOR=1;MULTI_CURSORING=2;"
              "NON_UNIQUE_KEYS=0;KEY_LENGTH=6;KEY_COUNT=6");
}

TEST_F(TrieTest, OpenOrCreateOpensTheIndexAlreadyLinked) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    TRef<IIndexer> first = Trie()->OpenOrCreateIndex(root.get(), 6, "", "");
    first->AddKey("kept");
    first = nullptr;
    TRef<IIndexer> again = Trie()->OpenOrCreateIndex(root.get(), 6, "", "");
    EXPECT_TRUE(again->KeyExists("kept"));
    EXPECT_EQ(again->GetCursor()->GetCount(), 1);
}

TEST_F(TrieTest, OpenOrCreateInATransactionMakesItsAtomsThere) {
    TRef<IVirtualStorage> storage = Create();
    {
        TRef<IStorageTransaction> transaction = storage->StartTransaction();
        {
            TRef<IVirtualAtom> root = transaction->OpenRoot();
            TRef<IIndexer> indexer = Trie()->OpenOrCreateIndex(root.get(), 2, "", "");
            EXPECT_TRUE(indexer->GetTransaction());
            indexer->AddKey("t");
        }
        transaction->Abort();
    }
    TRef<IVirtualAtom> root = storage->OpenRoot();
    EXPECT_FALSE(root->HasLink(2));
}

TEST_F(TrieTest, EmptyAndPopulatedIndexesOpenReadOnly) {
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IVirtualAtom> root = storage->OpenRoot();
        Trie()->OpenOrCreateIndex(root.get(), 1, "", "");
        Trie()->OpenOrCreateIndex(root.get(), 2, "", "")->AddKey("only");
    }
    TRef<IVirtualStorage> storage = OpenReadOnly();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    TRef<IIndexer> empty = Trie()->OpenIndex(root->OpenLink(1).get(), "", "");
    EXPECT_FALSE(empty->GetCursor()->First());
    EXPECT_FALSE(empty->KeyExists("only"));
    TRef<IIndexer> full = Trie()->OpenIndex(root->OpenLink(2).get(), "", "");
    TRef<IIndexerCursor> cursor = full->GetCursor();
    EXPECT_EQ(cursor->GetKey(), "only");
    EXPECT_EQ(ValueText(full.get(), "only"), "only");
    EXPECT_EQ(ErrorCode([&] { full->AddKey("more"); }), 3);
}

} // namespace

namespace {

// A node that cannot be read is an error, not a missing child: a lookup must fail and an
// insert must not grow a second child for the same byte.
TEST_F(TrieTest, UnreadableChildIsAnErrorNotAMissingChild) {
    const std::string key = "ZZZZQQQQXXXXYYYY";
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IIndexer> indexer = Make(storage.get());
        indexer->AddKey("ab");
        indexer->AddKey(key);
        Header = nullptr;
    }
    std::vector<uint8_t> file = TTempDir::ReadBytes(FileName());
    const std::string edge = "+" + key;
    auto at = std::search(file.begin(), file.end(), edge.begin(), edge.end());
    ASSERT_NE(at, file.end());
    at[5] ^= 0x20;
    TTempDir::WriteBytes(FileName(), file);
    TRef<IVirtualStorage> storage = Open();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    TRef<IIndexer> indexer = Trie()->OpenIndex(root->OpenLink(1).get(), "", "");
    TRef<IVirtualAtom> value;
    int code = ErrorCode([&] { indexer->FindKey(key, value); });
    EXPECT_TRUE(code == 11 || code == 12) << code;
    code = ErrorCode([&] { indexer->AddKey(key); });
    EXPECT_TRUE(code == 11 || code == 12) << code;
    EXPECT_TRUE(indexer->KeyExists("ab"));
}

// A walk that reads nodes without holding them open refuses to go on once the trie has changed
// under it, here through a second index object over the same trie; the trie keeps the change.
TEST_F(TrieTest, DataWalkStopsWhenTheTrieChangesUnderIt) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    for (const char* key : {"a", "b", "c"}) indexer->AddKey(key);
    TRef<IIndexer> other = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");
    std::vector<std::string> seen;
    int code = ErrorCode([&] {
        Query<IIndexWalk>(indexer.get())->WalkValues([&](std::string_view key, std::span<const uint8_t>) {
            seen.emplace_back(key);
            if (key == "a") other->DeleteKey("b");
        });
    });
    EXPECT_EQ(code, OstraCode::ShareViolation);
    EXPECT_EQ(seen, std::vector<std::string>{"a"});
    EXPECT_FALSE(indexer->KeyExists("b"));
    EXPECT_TRUE(indexer->KeyExists("c"));
}

// Two index objects over one trie, both opened before the write, in a transaction that did not
// make the trie: the reader sees the writer's keys through every way of reading, also after the
// writer is gone, and the transaction commits them.
TEST_F(TrieTest, TwoIndexObjectsOverOneTrieReadEachOthersChanges) {
    TRef<IVirtualStorage> storage = Create();
    {
        TRef<IIndexer> maker = Make(storage.get());
        for (const char* key : {"a", "c"}) maker->AddKey(key);
    }
    Header = nullptr;
    auto keysOf = [](IIndexer* indexer) {
        std::vector<std::string> cursorKeys, walkKeys;
        TRef<IIndexerCursor> cursor = indexer->GetCursor();
        for (bool on = cursor->First(); on; on = cursor->Next()) cursorKeys.push_back(cursor->GetKey());
        Query<IIndexWalk>(indexer)->WalkKeys(false, 0,
                                             [&](std::string_view key, IVirtualAtom*) { walkKeys.emplace_back(key); });
        EXPECT_EQ(cursorKeys, walkKeys);
        return cursorKeys;
    };
    const std::vector<std::string> all{"a", "b", "c"};
    {
        TRef<IStorageTransaction> transaction = storage->StartTransaction();
        TRef<IVirtualAtom> root = transaction->OpenRoot();
        TRef<IIndexer> writer = Trie()->OpenIndex(Link(root, 1).get(), "", "");
        TRef<IIndexer> reader = Trie()->OpenIndex(Link(root, 1).get(), "", "");
        writer->AddKey("b")->SetText("bee");
        EXPECT_TRUE(reader->KeyExists("b"));
        EXPECT_EQ(ValueText(reader.get(), "b"), "bee");
        EXPECT_EQ(keysOf(reader.get()), all);
        writer = nullptr;
        EXPECT_EQ(ValueText(reader.get(), "b"), "bee");
        EXPECT_EQ(keysOf(reader.get()), all);
        reader = nullptr;
        root = nullptr;
        transaction->Commit();
    }
    EXPECT_EQ(keysOf(Trie()->OpenIndex(Link(storage->OpenRoot(), 1).get(), "", "").get()), all);
}

// The child of node whose own character is c, opened read-write.
TRef<IVirtualAtom> ChildFor(const TRef<IVirtualAtom>& node, char c) {
    std::string text = node->GetText();
    for (size_t i = ATINode::FirstChildPos; i < text.size(); ++i)
        if (text[i] == c) return node->OpenLink(uint32_t(i + 2));
    return nullptr;
}

// A damaged file whose node links back to an ancestor: both walks, and clearing the keys, must
// end with an error instead of descending for ever.
TEST_F(TrieTest, DataWalkEndsOnANodeLinkedBackToItsAncestor) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    for (const char* key : {"ab", "ac", "ad"}) indexer->AddKey(key);
    {
        TRef<IVirtualAtom> a = ChildFor(HeaderView(storage.get())->OpenLink(ATINode::HeaderRootLink), 'a');
        ASSERT_TRUE(a);
        TRef<IVirtualAtom> b = ChildFor(a, 'b');
        ASSERT_TRUE(b);
        std::string text = b->GetText() + "z";
        b->SetText(text);
        b->SetLink(uint32_t(text.size() - 1 + 2), a.get());
    }
    std::vector<std::string> seen;
    EXPECT_THROW(Query<IIndexWalk>(indexer.get())->WalkValues([&](std::string_view key, std::span<const uint8_t>) {
        seen.emplace_back(key);
    }),
                 TATIError);
    EXPECT_EQ(seen, std::vector<std::string>{"ab"});
    seen.clear();
    EXPECT_THROW(
        Query<IIndexWalk>(indexer.get())
            ->WalkKeys(true, AccessReadOnly, [&](std::string_view key, IVirtualAtom*) { seen.emplace_back(key); }),
        TATIError);
    EXPECT_EQ(seen, std::vector<std::string>{"ab"});
    EXPECT_THROW(indexer->Clear(), TATIError);
}

// A damaged file whose nodes each reach the next one by two links: a walk would visit 2^24
// keys, and a cursor's steps and clearing them would too. Each ends with an error once it has
// read more nodes than the file holds.
TEST_F(TrieTest, DataWalkEndsWhenNodesAreSharedBeyondWhatTheFileHolds) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    indexer->AddKey("a");
    indexer = nullptr;
    TRef<IVirtualAtom> next = storage->NewAtom(); // the value at the bottom
    for (int level = 0; level < 24; ++level) {
        TRef<IVirtualAtom> node = storage->NewAtom();
        node->SetText(std::string("-a") + (level == 0 ? "" : "ab"));
        node->SetLink(level == 0 ? ATINode::ValueLink : 4, next.get());
        if (level != 0) node->SetLink(5, next.get());
        next = node;
    }
    {
        TRef<IVirtualAtom> root = HeaderView(storage.get())->OpenLink(ATINode::HeaderRootLink);
        root->SetText("- a");
        root->SetLink(ATINode::ValueLink, nullptr);
        root->SetLink(4, next.get());
    }
    next = nullptr;
    TRef<IIndexer> damaged = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");
    size_t visits = 0;
    EXPECT_THROW(
        Query<IIndexWalk>(damaged.get())->WalkValues([&](std::string_view, std::span<const uint8_t>) { ++visits; }),
        TATIError);
    EXPECT_GT(visits, 0u);
    EXPECT_LT(visits, size_t(1) << 16);
    size_t steps = 0;
    auto cursorWalk = [&] {
        TRef<IIndexerCursor> cursor = damaged->GetCursor();
        for (bool on = cursor->First(); on && steps < (size_t(1) << 16); on = cursor->Next()) ++steps;
    };
    EXPECT_THROW(cursorWalk(), TATIError);
    EXPECT_THROW(damaged->Clear(), TATIError);
}

// A damaged file whose parent links go round: a lookup that misses climbs them to find the key
// where it stopped, and must end with an error.
TEST_F(TrieTest, ClimbsEndWhenParentLinksGoRound) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    for (const char* key : {"a", "ab", "ac"}) indexer->AddKey(key);
    indexer = nullptr;
    {
        TRef<IVirtualAtom> a = ChildFor(HeaderView(storage.get())->OpenLink(ATINode::HeaderRootLink), 'a');
        ASSERT_TRUE(a);
        TRef<IVirtualAtom> b = ChildFor(a, 'b');
        ASSERT_TRUE(b);
        a->SetLink(ATINode::ParentLink, b.get());
    }
    TRef<IIndexer> damaged = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");
    TRef<IVirtualAtom> value;
    EXPECT_THROW(damaged->FindKey("ad", value), TATIError);
    EXPECT_TRUE(damaged->FindKey("ab", value));
}

} // namespace

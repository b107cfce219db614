// The trie reader: reading by peek and reading through opens agree on every walk and lookup,
// and a writer and a reader over one trie behave as the peek contract (storage/AtomPeek.h) says.
#include "IndexFixture.h"

#include "index/UAtomTreeIndex.h"

#include <algorithm>
#include <map>
#include <random>

namespace {

// A storage that offers no peeks: everything else goes to the storage it wraps.
class TNoPeekStorage : public TUnknown, public IVirtualStorage {
public:
    explicit TNoPeekStorage(TRef<IVirtualStorage> inner) : Inner(std::move(inner)) {}
    TRef<IVirtualAtom> NewAtom() override { return Inner->NewAtom(); }
    TRef<IVirtualAtom> NewAtomAccess(TAccess access) override { return Inner->NewAtomAccess(access); }
    TRef<IVirtualAtom> OpenRoot() override { return Inner->OpenRoot(); }
    TRef<IVirtualAtom> OpenRootAccess(TAccess access) override { return Inner->OpenRootAccess(access); }
    TRef<IVirtualAtom> OpenAtom(const TAtomAddress& address) override { return Inner->OpenAtom(address); }
    TRef<IVirtualAtom> OpenAtomAccess(const TAtomAddress& address, TAccess access) override {
        return Inner->OpenAtomAccess(address, access);
    }
    void Flush() override { Inner->Flush(); }
    TRef<IStorageTransaction> StartTransaction() override { return Inner->StartTransaction(); }
    TTransactionArray GetTransactions() override { return Inner->GetTransactions(); }
    TRef<IEnumVirtualAtoms> EnumAtoms(TAccess access) override { return Inner->EnumAtoms(access); }
    TAccess GetRights() override { return Inner->GetRights(); }
    TGUID GetDataClass() override { return Inner->GetDataClass(); }
    TGUID GetStorageID() override { return Inner->GetStorageID(); }
    std::string GetLocation() override { return Inner->GetLocation(); }

protected:
    void* GetInterface(const TGUID& iid) override {
        if (void* found = FindInterface<IVirtualStorage>(this, iid)) return found;
        return TUnknown::GetInterface(iid);
    }

private:
    TRef<IVirtualStorage> Inner;
};

class TrieReaderTest : public IndexTest {
protected:
    void TearDown() override {
        Header = nullptr;
        StorageTest::TearDown();
    }
    TRef<IIndexer> Make(IVirtualStorage* storage) {
        TRef<IIndexer> indexer = Trie()->CreateIndex(storage, Header, "", "");
        storage->OpenRoot()->SetLink(1, Header.get());
        return indexer;
    }
    // Opens of their own (the index keeps its header and root at access 0).
    TRef<IVirtualAtom> HeaderView(IVirtualStorage* storage) {
        return storage->OpenRoot()->OpenLinkAccess(1, AccessReadOnly);
    }
    TRef<IVirtualAtom> Root(IVirtualStorage* storage, TAccess access = 0) {
        return HeaderView(storage)->OpenLinkAccess(ATINode::HeaderRootLink, access);
    }
    TRef<IVirtualAtom> Header;
};

// What a reader's walk or lookup shows: the position's key and what it found there.
using TSeen = std::vector<std::pair<std::string, TAtomHandle>>;

TSeen Forward(TTrieReader& reader) {
    TSeen seen;
    for (bool on = reader.First(); on; on = reader.Next()) seen.emplace_back(reader.Key(), reader.ValueHere());
    return seen;
}
TSeen Backward(TTrieReader& reader) {
    TSeen seen;
    for (bool on = reader.Last(); on; on = reader.Prior()) seen.emplace_back(reader.Key(), reader.ValueHere());
    return seen;
}
// A lookup of key and one step each way from where it left the position.
TSeen LookAround(TTrieReader& reader, const std::string& key) {
    TSeen seen;
    TAtomHandle value = 0;
    bool found = reader.Find(key, value);
    seen.emplace_back(reader.Key(), found ? value + 1 : 0);
    seen.emplace_back(reader.Next() ? reader.Key() : "<end>", reader.ValueHere());
    reader.Find(key, value);
    seen.emplace_back(reader.Prior() ? reader.Key() : "<start>", reader.ValueHere());
    return seen;
}

// A random trie with chains, splits, deleted keys and NUL and FF bytes, read by peek and
// through opens: both walks, every key's lookup and its prefixes and extensions, the steps
// from where each lookup stopped, and the batch lookup agree with each other and with the keys.
TEST_F(TrieReaderTest, PeekAndOpenReadersAgreeOnEveryWalkAndLookup) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> indexer = Make(storage.get());
    std::mt19937 random(39);
    auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
    const char alphabet[] = {'\x00', 'a', 'b', '\xFF'};
    std::map<std::string, TAtomHandle> model;
    for (int i = 0; i < 600; ++i) {
        std::string key(pick(8), '\0');
        for (char& c : key) c = alphabet[pick(4)];
        if (pick(4) == 0) {
            indexer->DeleteKey(key);
            model.erase(key);
        } else {
            TRef<IVirtualAtom> value = indexer->AddKey(key);
            model[key] = Query<IAtomInfo>(value.get())->GetAddress().Handle;
        }
    }
    TRef<IVirtualStorage> noPeek = MakeObj<TNoPeekStorage>(storage);
    TRef<IVirtualAtom> root = Root(storage.get());
    TTrieReader peeking(*storage), opening(*noPeek);
    peeking.SetRoot(root.get());
    opening.SetRoot(root.get());

    TSeen expected(model.begin(), model.end());
    EXPECT_EQ(Forward(peeking), expected);
    EXPECT_EQ(Forward(opening), expected);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(Backward(peeking), expected);
    EXPECT_EQ(Backward(opening), expected);

    std::vector<std::string> probes;
    for (const auto& [key, value] : model) {
        for (size_t n = 0; n <= key.size(); ++n) probes.push_back(key.substr(0, n));
        probes.push_back(key + alphabet[pick(4)]);
    }
    for (const std::string& key : probes) {
        TSeen seen = LookAround(peeking, key);
        ASSERT_EQ(seen, LookAround(opening, key)) << key;
        bool present = model.count(key) != 0;
        ASSERT_EQ(seen[0].second, present ? model[key] + 1 : seen[0].second) << key;
    }

    std::shuffle(probes.begin(), probes.end(), random);
    TSeen found[2];
    int i = 0;
    for (TTrieReader* reader : {&peeking, &opening}) {
        reader->FindEach(reader->HandleOf(root.get()), probes, [&](std::string_view key, std::span<const uint8_t>) {
            found[i].emplace_back(std::string(key), model.at(std::string(key)));
        });
        ++i;
    }
    EXPECT_EQ(found[0], TSeen(model.begin(), model.end()));
    EXPECT_EQ(found[1], found[0]);
}

// Two index objects over one trie: the writer is never refused while the reader stands on a
// key or walks, and the reader learns of each change through the change count afterwards. A
// node changed without an index object is not counted.
TEST_F(TrieReaderTest, WriterGoesFirstAndTheReaderLearnsOfItAfterwards) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IIndexer> writer = Make(storage.get());
    for (const char* key : {"a", "b", "c"}) writer->AddKey(key);
    TRef<IIndexer> reader = Trie()->OpenIndex(HeaderView(storage.get()).get(), "", "");

    TRef<IIndexerCursor> cursor = reader->GetCursor();
    ASSERT_TRUE(cursor->Seek("b", SeekExact));
    writer->AddKey("bb");
    EXPECT_TRUE(writer->DeleteKey("c"));
    ASSERT_TRUE(cursor->Next());
    EXPECT_EQ(cursor->GetKey(), "bb");
    EXPECT_FALSE(cursor->Next());

    std::vector<std::string> seen;
    int code = ErrorCode([&] {
        Query<IIndexWalk>(reader.get())->WalkValues([&](std::string_view key, std::span<const uint8_t>) {
            seen.emplace_back(key);
            if (key == "a") writer->AddKey("ab");
        });
    });
    EXPECT_EQ(code, OstraCode::ShareViolation);
    EXPECT_EQ(seen, std::vector<std::string>{"a"});
    EXPECT_TRUE(reader->KeyExists("ab"));

    EXPECT_TRUE(reader->KeyExists("a"));
    {
        TRef<IVirtualAtom> root = Root(storage.get(), AccessDefault);
        std::string text = root->GetText();
        size_t at = text.find('a', ATINode::FirstChildPos);
        ASSERT_NE(at, std::string::npos);
        root->OpenLink(TrieNode::LinkOfPos(at))->SetLink(ATINode::ValueLink, nullptr);
    }
    EXPECT_TRUE(reader->KeyExists("a"));
    writer->AddKey("z");
    EXPECT_FALSE(reader->KeyExists("a"));
}

} // namespace

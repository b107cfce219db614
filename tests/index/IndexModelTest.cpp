// Randomised insert / replace / delete / find runs on both index kinds, compared with std::map
// after every batch (lookups, forward and backward walks), inside a transaction and at the
// storage's root level, and again after commit and reopening of the file.
#include "IndexFixture.h"
#include "index/UKVZIndex.h"

#include <map>
#include <optional>
#include <random>

namespace {

struct TModelCase {
    const char* Name;
    bool BTree;
    const char* Params;
    bool InTransaction;
    int32_t CacheMin = 0; // trie only: prefix cache bounds (the factory always opens without)
    int32_t CacheMax = 0;
};

std::string PrintKey(const std::string& key) {
    std::string out;
    for (unsigned char c : key) out += StrFormat("%02X", c);
    return out.empty() ? "<empty>" : out;
}

class IndexModelTest : public IndexTest, public ::testing::WithParamInterface<TModelCase> {
protected:
    using TModel = std::map<std::string, std::string>;

    std::string RandomKey() {
        static const char alphabet[] = {'\x00', '\x01', 'a', 'b', '\xFF'};
        std::string key(Pick(7), '\0');
        for (char& c : key) c = alphabet[Pick(5)];
        return key;
    }
    // The atom whose link 3 holds a trie under test, for the lookups without an index object.
    IVirtualAtom* Owner = nullptr;
    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(Random); }

    // Every lookup, both walks and the count agree with the model.
    void Check(IIndexer* indexer, const TModel& model) {
        for (const auto& [key, tag] : model) {
            TRef<IVirtualAtom> value;
            ASSERT_TRUE(indexer->FindKey(key, value)) << PrintKey(key);
            ASSERT_EQ(value->GetText(), tag) << PrintKey(key);
            ASSERT_TRUE(indexer->KeyExists(key)) << PrintKey(key);
        }
        TRef<IIndexerCursor> cursor = indexer->GetCursor();
        EXPECT_EQ(cursor->GetCount(), int32_t(model.size()));
        std::vector<std::string> forward, backward;
        for (bool ok = cursor->First(); ok; ok = cursor->Next()) {
            forward.push_back(cursor->GetKey());
            TRef<IVirtualAtom> value = cursor->GetAtom();
            ASSERT_TRUE(value);
            ASSERT_EQ(value->GetText(), model.count(forward.back()) ? model.at(forward.back()) : "?")
                << PrintKey(forward.back());
            ASSERT_LE(forward.size(), model.size() + 1);
        }
        for (bool ok = cursor->Last(); ok; ok = cursor->Prior()) {
            backward.insert(backward.begin(), cursor->GetKey());
            ASSERT_LE(backward.size(), model.size() + 1);
        }
        std::vector<std::string> expected;
        for (const auto& entry : model) expected.push_back(entry.first);
        ASSERT_EQ(forward, expected);
        ASSERT_EQ(backward, expected);
        if (TRef<IIndexWalk> walk = Query<IIndexWalk>(indexer)) {
            std::vector<std::pair<std::string, std::string>> walked;
            walk->WalkKeys(true, AccessReadOnly, [&](std::string_view key, IVirtualAtom* value) {
                walked.emplace_back(std::string(key), value ? value->GetText() : "<nil>");
            });
            ASSERT_EQ(walked, (std::vector<std::pair<std::string, std::string>>(model.begin(), model.end())));
            // The data-only walk, with a few values held open meanwhile so that it must open some
            // atoms instead of reading them directly.
            std::vector<TRef<IVirtualAtom>> held(3);
            for (auto& value : held)
                if (!model.empty()) indexer->FindKeyAccess(PickKey(model), AccessReadOnly, value);
            walked.clear();
            walk->WalkValues([&](std::string_view key, std::span<const uint8_t> value) {
                walked.emplace_back(std::string(key), std::string(value.begin(), value.end()));
            });
            ASSERT_EQ(walked, (std::vector<std::pair<std::string, std::string>>(model.begin(), model.end())));
            // A cursor goes on working after a walk.
            ASSERT_EQ(cursor->First(), !model.empty());
            ASSERT_NO_FATAL_FAILURE(CheckFindKeys(indexer, walk.get(), model));
            ASSERT_EQ(cursor->First(), !model.empty());
        }
        if (GetParam().BTree) {
            ASSERT_NO_FATAL_FAILURE(CheckSeeks(cursor.get(), model));
        }
    }

    // Lookups of many keys at once, present and absent ones shuffled and repeated (prefixes and
    // extensions of present keys among them), find exactly the present ones, in key order,
    // through the index and without an index object alike.
    void CheckFindKeys(IIndexer* indexer, IIndexWalk* walk, const TModel& model) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::string> keys;
            for (uint32_t n = Pick(40); n > 0; --n) {
                std::string key = PickKey(model);
                if (Pick(4) == 0) key.resize(Pick(uint32_t(key.size()) + 1));
                if (Pick(4) == 0) key += char(Pick(256));
                keys.push_back(key);
            }
            std::vector<std::pair<std::string, std::string>> expected;
            for (const auto& [key, tag] : model)
                if (std::find(keys.begin(), keys.end(), key) != keys.end()) expected.emplace_back(key, tag);
            std::vector<std::pair<std::string, std::string>> found;
            walk->FindValues(keys, [&](std::string_view key, std::span<const uint8_t> value) {
                found.emplace_back(std::string(key), std::string(value.begin(), value.end()));
            });
            ASSERT_EQ(found, expected) << "round " << round;
            if (!Owner) continue;
            found.clear();
            TAtomHandle header = Query<IAtomInfo>(Owner->OpenLinkAccess(3, 0).get())->GetAddress().Handle;
            FindTrieValues(indexer->GetStorage().get(), header, keys,
                           [&](std::string_view key, std::span<const uint8_t> value) {
                               found.emplace_back(std::string(key), std::string(value.begin(), value.end()));
                           });
            ASSERT_EQ(found, expected) << "without an index object, round " << round;
        }
    }

    // Every seek condition lands where the model says (B-tree cursors support all five).
    void CheckSeeks(IIndexerCursor* cursor, const TModel& model) {
        for (int i = 0; i < 200; ++i) {
            std::string key = PickKey(model);
            auto lower = model.lower_bound(key);
            auto upper = model.upper_bound(key);
            std::optional<std::string> expect[5];
            if (lower != model.end() && lower->first == key) expect[SeekExact] = key;
            if (lower != model.begin()) expect[SeekLess] = std::prev(lower)->first;
            if (upper != model.end()) expect[SeekGreater] = upper->first;
            if (upper != model.begin()) expect[SeekLessOrEqual] = std::prev(upper)->first;
            if (lower != model.end()) expect[SeekGreaterOrEqual] = lower->first;
            for (uint8_t condition = 0; condition < 5; ++condition) {
                std::optional<std::string> got;
                if (cursor->Seek(key, condition)) got = cursor->GetKey();
                ASSERT_EQ(got, expect[condition]) << PrintKey(key) << " condition " << int(condition);
            }
        }
    }

    // Half the operations aim at a present key, so replacements and deletions are frequent.
    std::string PickKey(const TModel& model) {
        if (model.empty() || Pick(2) == 0) return RandomKey();
        auto it = model.begin();
        std::advance(it, Pick(uint32_t(std::min<size_t>(model.size(), 64))) *
                             (model.size() / std::min<size_t>(model.size(), 64)));
        return it->first;
    }

    void Step(IIndexer* indexer, TModel& model, int step) {
        if (Pick(1000) == 0) {
            indexer->Clear();
            model.clear();
            return;
        }
        std::string key = PickKey(model);
        std::string tag = std::string("v").append(std::to_string(step));
        uint32_t op = Pick(100);
        if (op < 35) {
            TRef<IVirtualAtom> value = indexer->GetStorage()->NewAtom();
            value->SetText(tag);
            indexer->InsertKey(key, value.get());
            model[key] = tag;
        } else if (op < 50) {
            TRef<IVirtualAtom> value = indexer->AddKey(key);
            ASSERT_TRUE(value);
            value->SetText(tag);
            model[key] = tag;
        } else if (op < 75) {
            ASSERT_EQ(indexer->DeleteKey(key), model.erase(key) == 1) << PrintKey(key);
        } else {
            TRef<IVirtualAtom> value;
            bool found = indexer->FindKey(key, value);
            ASSERT_EQ(found, model.count(key) == 1) << PrintKey(key);
            if (found) {
                ASSERT_EQ(value->GetText(), model[key]);
            }
            ASSERT_EQ(indexer->KeyExists(key), found);
        }
    }

    std::mt19937 Random{20261209};
};

TEST_P(IndexModelTest, MatchesMapThroughCommitAndReopen) {
    const TModelCase& c = GetParam();
    TModel model;
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IStorageTransaction> transaction;
        if (c.InTransaction) transaction = storage->StartTransaction();
        IVirtualStorage* level = transaction ? static_cast<IVirtualStorage*>(transaction.get()) : storage.get();
        {
            TRef<IVirtualAtom> root = level->OpenRoot();
            TRef<IIndexer> indexer = Factory(c.BTree)->OpenOrCreateIndex(root.get(), 3, "", c.Params);
            if (!c.BTree) Owner = root.get();
            if (c.CacheMin) {
                indexer = nullptr;
                indexer = TRef<IIndexer>(TIIndexer::Create(root->OpenLink(3).get(), c.CacheMin, c.CacheMax));
            }
            for (int step = 0; step < 5000; ++step) {
                ASSERT_NO_FATAL_FAILURE(Step(indexer.get(), model, step)) << "step " << step;
                if (step % 500 == 499) {
                    ASSERT_NO_FATAL_FAILURE(Check(indexer.get(), model)) << "step " << step;
                }
            }
            ASSERT_NO_FATAL_FAILURE(Check(indexer.get(), model));
        }
        Owner = nullptr;
        if (transaction) transaction->Commit();
    }
    TRef<IVirtualStorage> storage = Open();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    ASSERT_TRUE(Factory(c.BTree)->IsIndex(root->OpenLinkAccess(3, 0).get()));
    TRef<IIndexer> indexer = Factory(c.BTree)->OpenOrCreateIndex(root.get(), 3, "", c.Params);
    Owner = c.BTree ? nullptr : root.get();
    ASSERT_NO_FATAL_FAILURE(Check(indexer.get(), model));
    for (int step = 0; step < 300; ++step) ASSERT_NO_FATAL_FAILURE(Step(indexer.get(), model, 10000 + step));
    ASSERT_NO_FATAL_FAILURE(Check(indexer.get(), model));
}

INSTANTIATE_TEST_SUITE_P(Kinds, IndexModelTest,
                         ::testing::Values(TModelCase{"TrieTransaction", false, "", true},
                                           TModelCase{"TrieRootLevel", false, "", false},
                                           TModelCase{"BTree4Transaction", true, "PageSize=4", true},
                                           TModelCase{"BTree4RootLevel", true, "PageSize=4", false},
                                           TModelCase{"BTree6Transaction", true, "PageSize=6", true},
                                           TModelCase{"BTree6RootLevel", true, "PageSize=6", false},
                                           TModelCase{"BTree40Transaction", true, "", true},
                                           TModelCase{"BTree40RootLevel", true, "", false},
                                           TModelCase{"TrieCachedTransaction", false, "", true, 1, 3},
                                           TModelCase{"TrieCachedRootLevel", false, "", false, 2, 6}),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

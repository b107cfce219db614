// Randomised nested transactions over many atoms, checked against an in-memory model after
// every commit, after every reopening of the file and at the end.
#include "StorageFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace {
struct TModelAtom {
    std::string Data;
    std::vector<TAtomHandle> Links;
    int32_t ExtRefs = 0;
};
using TModel = std::map<TAtomHandle, TModelAtom>;

class TStorageModelRun {
public:
    using TOpener = std::function<TRef<IVirtualStorage>(const std::string& mode)>;
    TStorageModelRun(TOpener opener, uint32_t seed) : OpenStorage(std::move(opener)), Random(seed) {}

    void Run(int steps) {
        Storage = CreateFresh();
        Levels.assign(1, TModel{{1, {}}, {2, {}}});
        for (int step = 0; step < steps; ++step) {
            Step();
            if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) {
                ADD_FAILURE() << "seed step " << step;
                return;
            }
        }
        while (!Transactions.empty()) Finish(Pick(2) == 0);
        Reopen();
        CheckEnumeration();
    }

private:
    TRef<IVirtualStorage> CreateFresh() { return OpenStorage("Create"); }

    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(Random); }

    IVirtualStorage* Level() {
        return Transactions.empty() ? Storage.get() : static_cast<IVirtualStorage*>(Transactions.back().get());
    }
    TModel& Top() { return Levels.back(); }

    TAtomHandle AnyAtom() {
        auto it = Top().begin();
        std::advance(it, Pick(uint32_t(Top().size())));
        return it->first;
    }

    TRef<IVirtualAtom> OpenIn(IVirtualStorage* level, TAtomHandle handle, TAccess access) {
        TAtomAddress address;
        address.StorageID = Storage->GetStorageID();
        address.Handle = handle;
        return level->OpenAtomAccess(address, access);
    }

    void Step() {
        uint32_t op = Pick(100);
        if (op < 8 && Transactions.size() < 5) return Start();
        if (op < 16 && !Transactions.empty()) return Finish(true);
        if (op < 21 && !Transactions.empty()) return Finish(false);
        if (op < 23 && Transactions.empty()) return Reopen();
        if (op < 35 && Top().size() < 200) return Collected(&TStorageModelRun::NewAtom);
        if (op < 40) return Collected(&TStorageModelRun::ChangeReference);
        if (op < 65) return WriteData();
        return Collected(&TStorageModelRun::ChangeLink);
    }

    void Collected(void (TStorageModelRun::*op)()) {
        (this->*op)();
        CollectGarbage();
    }

    // An atom goes when nothing links to it and it holds no reference; atoms that exist below
    // the current level go only at the storage level.
    void CollectGarbage() {
        size_t level = Levels.size() - 1;
        for (bool again = true; again;) {
            again = false;
            std::map<TAtomHandle, int> incoming;
            for (const auto& [handle, atom] : Top())
                for (TAtomHandle link : atom.Links)
                    if (link) ++incoming[link];
            for (auto it = Top().begin(); it != Top().end(); ++it) {
                TAtomHandle handle = it->first;
                bool deletable = level == 0 || !Levels[level - 1].count(handle);
                if (handle <= 2 || !deletable || it->second.ExtRefs || incoming[handle]) continue;
                Top().erase(it);
                again = true;
                break;
            }
        }
    }

    void Start() {
        Transactions.push_back(Level()->StartTransaction());
        Levels.push_back(Top());
    }

    void Finish(bool commit) {
        TRef<IStorageTransaction> t = Transactions.back();
        Transactions.pop_back();
        TModel changed = std::move(Levels.back());
        Levels.pop_back();
        if (commit) {
            t->Commit();
            Top() = std::move(changed);
            CollectGarbage();
            Check(Level());
        } else {
            t->Abort();
        }
    }

    void Reopen() {
        Storage.reset();
        Storage = OpenStorage("Open");
        Check(Storage.get());
    }

    void NewAtom() {
        TRef<IVirtualAtom> atom = Level()->NewAtom();
        std::string text(Pick(40), char('a' + Pick(26)));
        atom->SetText(text);
        TAtomHandle handle = Query<IAtomInfo>(atom)->GetAddress().Handle;
        Top()[handle] = {text, {}, 0};
        if (Pick(10) < 7) {
            atom->AddReference();
            Top()[handle].ExtRefs = 1;
        } else if (Pick(4) != 0) {
            // Kept alive by a link only; a later unlink deletes it (and what only it links to).
            TAtomHandle from = AnyAtom();
            TRef<IVirtualAtom> source =
                from == handle ? atom : OpenIn(Level(), from, AccessReadLinks | AccessWriteLinks);
            source->InsertLink(uint32_t(Top()[from].Links.size()), atom.get());
            Top()[from].Links.push_back(handle);
        }
    }

    void ChangeReference() {
        TAtomHandle handle = AnyAtom();
        if (handle <= 2) return;
        TRef<IVirtualAtom> atom = OpenIn(Level(), handle, 0);
        int32_t& ext = Top()[handle].ExtRefs;
        if (ext)
            atom->RemoveReference();
        else
            atom->AddReference();
        ext = 1 - ext;
    }

    void WriteData() {
        TAtomHandle handle = AnyAtom();
        TRef<IVirtualAtom> atom = OpenIn(Level(), handle, AccessReadData | AccessWriteData);
        std::string& data = Top()[handle].Data;
        uint32_t kind = Pick(3);
        if (kind == 0) {
            std::string text(Pick(60), char('A' + Pick(26)));
            atom->SetText(text);
            data = text;
        } else if (kind == 1) {
            uint32_t offset = Pick(uint32_t(data.size()) + 10);
            std::string text(1 + Pick(8), char('0' + Pick(10)));
            atom->Write(offset, AsBytes(text));
            if (data.size() < offset + text.size()) data.resize(offset + text.size(), '\0');
            data.replace(offset, text.size(), text);
        } else {
            uint32_t size = Pick(uint32_t(data.size()) + 20);
            atom->SetDataSize(size);
            data.resize(size, '\0');
        }
    }

    void ChangeLink() {
        TAtomHandle from = AnyAtom();
        TRef<IVirtualAtom> atom = OpenIn(Level(), from, AccessReadLinks | AccessWriteLinks);
        std::vector<TAtomHandle>& links = Top()[from].Links;
        uint32_t index = Pick(uint32_t(links.size()) + 2);
        TAtomHandle to = Pick(4) == 0 ? 0 : AnyAtom();
        TRef<IVirtualAtom> target = to ? OpenIn(Level(), to, 0) : nullptr;
        switch (Pick(3)) {
        case 0:
            atom->SetLink(index, target.get());
            if (index >= links.size()) links.resize(index + 1, 0);
            links[index] = to;
            break;
        case 1:
            atom->InsertLink(index, target.get());
            if (index > links.size()) {
                links.resize(index + 1, 0);
                links[index] = to;
            } else {
                links.insert(links.begin() + index, to);
            }
            break;
        default:
            atom->DeleteLink(index);
            if (index < links.size()) links.erase(links.begin() + index);
        }
    }

    void Check(IVirtualStorage* level) {
        const TModel& model = Top();
        std::map<TAtomHandle, int32_t> linkRefs;
        for (const auto& [handle, atom] : model)
            for (TAtomHandle link : atom.Links)
                if (link) ++linkRefs[link];
        bool atRoot = Transactions.empty();
        for (const auto& [handle, expected] : model) {
            TRef<IVirtualAtom> atom = OpenIn(level, handle, AccessReadData | AccessReadLinks);
            ASSERT_EQ(atom->GetText(), expected.Data) << "atom " << handle;
            std::vector<TAtomHandle> links;
            for (uint32_t i = 0; i < atom->GetLinkCount(); ++i) {
                TRef<IVirtualAtom> target = atom->OpenLinkAccess(i, 0);
                links.push_back(target ? Query<IAtomInfo>(target)->GetAddress().Handle : 0);
            }
            // Trailing empty links may vanish when an atom is stored inline.
            std::vector<TAtomHandle> want = expected.Links;
            while (!links.empty() && links.back() == 0) links.pop_back();
            while (!want.empty() && want.back() == 0) want.pop_back();
            ASSERT_EQ(links, want) << "atom " << handle;
            if (!atRoot) continue;
            int32_t refs = 0, ext = 0;
            Query<IAtomInfo>(atom)->GetRefCounts(refs, ext);
            EXPECT_EQ(refs, linkRefs[handle] + (handle <= 2 ? 1 : 0)) << "atom " << handle;
            EXPECT_EQ(ext, expected.ExtRefs) << "atom " << handle;
        }
    }

    void CheckEnumeration() {
        std::vector<TAtomHandle> seen, expected;
        TRef<IEnumVirtualAtoms> atoms = Storage->EnumAtoms(0);
        while (TRef<IVirtualAtom> atom = atoms->Next()) seen.push_back(Query<IAtomInfo>(atom)->GetAddress().Handle);
        for (const auto& entry : Top()) expected.push_back(entry.first);
        EXPECT_EQ(seen, expected);
    }

    TOpener OpenStorage;
    std::mt19937 Random;
    TRef<IVirtualStorage> Storage;
    std::vector<TRef<IStorageTransaction>> Transactions;
    std::vector<TModel> Levels; // [0] committed, then one per open transaction
};
} // namespace

class StorageModelTest : public StorageTest {};

TEST_F(StorageModelTest, NestedTransactionsMatchTheModel) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        std::filesystem::remove(FileName());
        TStorageModelRun([&](const std::string& mode) { return Storage(mode); }, seed).Run(1500);
        if (HasFailure()) return;
    }
}

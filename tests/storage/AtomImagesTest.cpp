// Atom images and nested transactions: isolation, the sharing rule per part, commit and abort
// at depth, reference counts with cascade delete, and the link width kept in the file.
#include "StorageFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {
TAtomHandle HandleOf(const TRef<IVirtualAtom>& atom) { return Query<IAtomInfo>(atom)->GetAddress().Handle; }

void Counts(const TRef<IVirtualAtom>& atom, int32_t& linkRefs, int32_t& extRefs) {
    Query<IAtomInfo>(atom)->GetRefCounts(linkRefs, extRefs);
}

bool Exists(const TRef<IVirtualStorage>& storage, TAtomHandle handle) {
    TAtomAddress address = Query<IStorageInfo>(storage)->GetRootAddress();
    address.Handle = handle;
    return ErrorCode([&] { storage->OpenAtomAccess(address, 0); }) == -1;
}

TRef<IVirtualAtom> OpenHandle(const TRef<IVirtualStorage>& level, TAtomHandle handle, TAccess access = 15) {
    TAtomAddress address;
    address.StorageID = level->GetStorageID();
    address.Handle = handle;
    return level->OpenAtomAccess(address, access);
}

// The entry flags byte of a handle in the first table segment.
uint8_t EntryFlags(const std::string& file, TAtomHandle handle) {
    return TTempDir::ReadBytes(file)[128 + 16 + 32 * (handle - 1) + 12];
}
} // namespace

class AtomImagesTest : public StorageTest {};

TEST_F(AtomImagesTest, UnreferencedAtomsAreDeletedOnClose) {
    TRef<IVirtualStorage> storage = Create();
    TAtomHandle first;
    {
        TRef<IVirtualAtom> atom = storage->NewAtom();
        first = HandleOf(atom);
        EXPECT_EQ(first, 3u);
        atom->SetText("soon gone");
    }
    EXPECT_FALSE(Exists(storage, first));
    // The handle went back to the pool.
    TRef<IVirtualAtom> again = storage->NewAtom();
    EXPECT_EQ(HandleOf(again), first);
    again->AddReference();
    again->Close();
    EXPECT_TRUE(Exists(storage, first));
    {
        TRef<IVirtualAtom> atom = OpenHandle(storage, first);
        atom->RemoveReference();
        atom->RemoveReference(); // below zero stays at zero
        int32_t linkRefs, extRefs;
        Counts(atom, linkRefs, extRefs);
        EXPECT_EQ(extRefs, 0);
        EXPECT_TRUE(Exists(storage, first)); // still open
    }
    EXPECT_FALSE(Exists(storage, first));
    EXPECT_EQ(ErrorCode([&] { OpenHandle(storage, first); }), 5);
}

TEST_F(AtomImagesTest, DataReadsAndLinkEdges) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    root->SetText("0123456789");
    std::vector<uint8_t> buffer(8, 0xEE);
    EXPECT_EQ(root->Read(10, buffer), 0u);
    EXPECT_EQ(root->Read(50, buffer), 0u);
    EXPECT_EQ(root->Read(6, buffer), 4u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "6789");
    // Growing after shrinking shows zeros, not the old bytes.
    root->SetDataSize(2);
    root->SetDataSize(6);
    EXPECT_EQ(root->GetText(), std::string("01\0\0\0\0", 6));
    root->Write(8, AsBytes("x"));
    EXPECT_EQ(root->GetText(), std::string("01\0\0\0\0\0\0x", 9));

    TRef<IVirtualAtom> a = storage->NewAtom();
    TRef<IVirtualAtom> b = storage->NewAtom();
    root->SetLink(0, a.get());
    root->SetLink(1, b.get());
    EXPECT_EQ(root->GetLinkCount(), 2u);
    EXPECT_FALSE(root->HasLink(7));
    root->DeleteLink(9);
    EXPECT_EQ(root->GetLinkCount(), 2u);
    root->SetLink(5, a.get());
    EXPECT_EQ(root->GetLinkCount(), 6u);
    for (uint32_t i = 2; i <= 4; ++i) EXPECT_FALSE(root->HasLink(i));
    root->InsertLink(1, nullptr);
    EXPECT_EQ(root->GetLinkCount(), 7u);
    EXPECT_TRUE(root->OpenLinkAccess(2, 0)->IsSameAtom(b.get()));
    root->InsertLink(20, b.get()); // beyond the end acts as a set
    EXPECT_EQ(root->GetLinkCount(), 21u);
    int32_t linkRefs, extRefs;
    Counts(a, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 2);
    Counts(b, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 2);
}

TEST_F(AtomImagesTest, LinkWidthFollowsTheLargestHandle) {
    {
        TRef<IVirtualStorage> storage = Create();
        std::vector<TRef<IVirtualAtom>> atoms;
        TRef<IVirtualAtom> holder = Query<IStorageInfo>(storage)->OpenSecondRoot();
        // Make handles up to 300 exist, each kept by a link from atom 2.
        for (uint32_t i = 0; i < 298; ++i) {
            TRef<IVirtualAtom> atom = storage->NewAtom();
            holder->SetLink(i, atom.get());
        }
        TRef<IVirtualAtom> root = storage->OpenRoot();
        TRef<IVirtualAtom> big = holder->OpenLink(297);
        ASSERT_EQ(HandleOf(big), 300u);
        TRef<IVirtualAtom> small = holder->OpenLink(0);
        root->SetLink(0, big.get());
        root->SetLink(1, small.get());
    }
    EXPECT_EQ((EntryFlags(FileName(), 1) >> 5) & 3, 1); // width 2
    {
        TRef<IVirtualStorage> storage = Open();
        TRef<IVirtualAtom> root = storage->OpenRoot();
        root->DeleteLink(0);
        root->DeleteLink(0);
        EXPECT_EQ(root->GetLinkCount(), 0u);
    }
    EXPECT_EQ((EntryFlags(FileName(), 1) >> 5) & 3, 1); // stays 2
    {
        TRef<IVirtualStorage> storage = Open();
        storage->OpenRoot()->SetLinkCount(0);
    }
    EXPECT_EQ((EntryFlags(FileName(), 1) >> 5) & 3, 0); // back to 1
}

TEST_F(AtomImagesTest, SharingRulePerPart) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> reader1 = storage->OpenRootAccess(AccessReadData | AccessReadLinks);
    TRef<IVirtualAtom> reader2 = storage->OpenRootAccess(AccessReadData);
    std::string message;
    EXPECT_EQ(ErrorCode([&] { storage->OpenRootAccess(AccessWriteData); }, &message), 4);
    EXPECT_EQ(message, "Atom share violation");
    // A default open (15) of an atom already open by default fails too.
    reader1.reset();
    reader2.reset();
    TRef<IVirtualAtom> writer = storage->OpenRoot();
    EXPECT_EQ(ErrorCode([&] { storage->OpenRoot(); }), 4);
    // Links and data are separate parts.
    writer->SetAccess(AccessWriteData);
    TRef<IVirtualAtom> linkWriter = storage->OpenRootAccess(AccessWriteLinks);
    EXPECT_EQ(ErrorCode([&] { writer->SetAccess(AccessWriteData | AccessReadLinks); }), 4);
    EXPECT_EQ(writer->GetAccess(), AccessWriteData); // the old access stays
    writer->SetAccess(0);
    TRef<IVirtualAtom> second = storage->OpenRootAccess(AccessWriteData);
    EXPECT_EQ(ErrorCode([&] { writer->GetText(); }, &message), 3);
    EXPECT_EQ(message, "Atom access is denied");
}

TEST_F(AtomImagesTest, ChildWriterBlocksParentAndSiblings) {
    TRef<IVirtualStorage> storage = Create();
    storage->OpenRoot()->SetText("committed");
    TRef<IStorageTransaction> outer = storage->StartTransaction();
    TRef<IStorageTransaction> child = outer->StartTransaction();
    TRef<IStorageTransaction> sibling = outer->StartTransaction();
    child->OpenRoot()->SetText("child");
    EXPECT_EQ(ErrorCode([&] { outer->OpenRootAccess(AccessReadData); }), 4);
    EXPECT_EQ(ErrorCode([&] { sibling->OpenRootAccess(AccessReadData); }), 4);
    EXPECT_EQ(ErrorCode([&] { storage->OpenRootAccess(AccessReadData); }), 4);
    // The links were not touched: they may still be read elsewhere.
    EXPECT_EQ(sibling->OpenRootAccess(AccessReadLinks)->GetLinkCount(), 0u);
    child->Commit();
    EXPECT_EQ(Text(outer->OpenRootAccess(AccessReadData)), "child");
    EXPECT_EQ(ErrorCode([&] { storage->OpenRootAccess(AccessReadData); }), 4);
    sibling->Abort();
    outer->Abort();
    EXPECT_EQ(Text(storage->OpenRoot()), "committed");
}

TEST_F(AtomImagesTest, IsolationAndAbortLeaveTheCommittedViewAlone) {
    TRef<IVirtualStorage> storage = Create();
    storage->OpenRoot()->SetText("base");
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        TRef<IVirtualAtom> root = t->OpenRoot();
        root->Write(0, AsBytes("XY"));
        TRef<IVirtualAtom> fresh = t->NewAtom();
        fresh->SetText("new");
        root->SetLink(0, fresh.get());
        EXPECT_EQ(root->GetText(), "XYse");
        root.reset();
        fresh.reset();
        t->Abort();
    }
    TRef<IVirtualAtom> root = storage->OpenRoot();
    EXPECT_EQ(root->GetText(), "base");
    EXPECT_EQ(root->GetLinkCount(), 0u);
    EXPECT_FALSE(Exists(storage, 3));
    root.reset();
    // Released without commit: aborted.
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        t->OpenRoot()->SetText("lost");
    }
    EXPECT_EQ(Text(storage->OpenRoot()), "base");
    // Commit keeps.
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        t->OpenRoot()->SetText("kept");
        t->Commit();
        EXPECT_EQ(t->GetRights(), 0);
    }
    storage.reset();
    EXPECT_EQ(Text(Open()->OpenRoot()), "kept");
}

TEST_F(AtomImagesTest, NestedCommitIntoAnAbortedParentIsLost) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> outer = storage->StartTransaction();
    TRef<IStorageTransaction> middle = outer->StartTransaction();
    TRef<IStorageTransaction> inner = middle->StartTransaction();
    inner->OpenRoot()->SetText("inner");
    inner->Commit();
    EXPECT_EQ(Text(middle->OpenRoot()), "inner");
    middle->Abort();
    EXPECT_EQ(Text(outer->OpenRoot()), "");
    outer->OpenRoot()->SetText("outer");
    TRef<IStorageTransaction> again = outer->StartTransaction();
    again->OpenRoot()->SetText("again");
    again->Commit();
    outer->Commit();
    EXPECT_EQ(Text(storage->OpenRoot()), "again");
}

TEST_F(AtomImagesTest, CommitAndAbortWithOpenAtoms) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> parent = storage->StartTransaction();
    TRef<IStorageTransaction> child = parent->StartTransaction();
    TRef<IVirtualAtom> inChild = child->OpenRoot();
    inChild->SetText("child");
    std::string message;
    EXPECT_EQ(ErrorCode([&] { parent->Abort(); }, &message), 7);
    EXPECT_EQ(message, "Cannot abort transaction: some atoms are still opened");
    {
        TRef<IVirtualAtom> inParent = Query<IStorageInfo>(parent)->OpenSecondRoot();
        EXPECT_EQ(ErrorCode([&] { parent->Commit(); }, &message), 7);
        EXPECT_EQ(message, "Cannot commit transaction: some atoms are still opened");
    }
    parent->Commit(); // the atom open in the child does not block
    EXPECT_EQ(child->GetParent().get(), parent.get());
    inChild.reset();
    child->Commit();
    EXPECT_EQ(Text(storage->OpenRoot()), "child");
    EXPECT_EQ(ErrorCode([&] { child->Commit(); }, &message), 7);
    EXPECT_EQ(message, "Cannot commit transaction");
    EXPECT_EQ(ErrorCode([&] { child->Abort(); }, &message), 7);
    EXPECT_EQ(message, "Cannot abort transaction");
}

// A reader in a transaction shares the committed image until it changes anything: then the
// change is the transaction's alone, as with an atom opened for writing.
TEST_F(AtomImagesTest, ReadersInATransactionChangeOnlyTheirTransaction) {
    TRef<IVirtualStorage> storage = Create();
    TAtomHandle handle;
    {
        TRef<IVirtualAtom> atom = storage->NewAtom();
        atom->SetText("committed");
        handle = HandleOf(atom);
        storage->OpenRoot()->SetLink(0, atom.get());
    }
    auto committedCounts = [&] {
        int32_t linkRefs, extRefs;
        Counts(OpenHandle(storage, handle, 0), linkRefs, extRefs);
        return std::pair(linkRefs, extRefs);
    };
    for (bool commit : {false, true}) {
        TRef<IStorageTransaction> outer = storage->StartTransaction();
        TRef<IStorageTransaction> t = outer->StartTransaction();
        TRef<IVirtualAtom> reader = OpenHandle(t, handle, AccessReadData | AccessReadLinks);
        EXPECT_EQ(reader->GetText(), "committed");
        // Readers elsewhere share; writers elsewhere, and below, are refused.
        EXPECT_EQ(Text(OpenHandle(storage, handle, AccessReadData)), "committed");
        TRef<IStorageTransaction> sibling = outer->StartTransaction();
        EXPECT_EQ(ErrorCode([&] { OpenHandle(sibling, handle, AccessWriteData); }), 4);
        TRef<IStorageTransaction> below = t->StartTransaction();
        EXPECT_EQ(ErrorCode([&] { OpenHandle(below, handle, AccessWriteData); }), 4);
        below->Abort();
        sibling->Abort();
        // In a transaction the counts are its changes: a link made in it shows there, not in
        // the committed counts.
        int32_t linkRefs, extRefs;
        Counts(reader, linkRefs, extRefs);
        EXPECT_EQ(std::pair(linkRefs, extRefs), std::pair(0, 0));
        TRef<IVirtualAtom> other = t->NewAtom();
        other->SetLink(0, reader.get());
        other->AddReference();
        Counts(reader, linkRefs, extRefs);
        EXPECT_EQ(linkRefs, 1);
        reader->AddReference();
        Counts(reader, linkRefs, extRefs);
        EXPECT_EQ(std::pair(linkRefs, extRefs), std::pair(1, 1));
        EXPECT_EQ(committedCounts(), std::pair(1, 0));
        reader->SetAccess(AccessReadData | AccessWriteData);
        reader->SetText(commit ? "changed" : "lost");
        EXPECT_EQ(ErrorCode([&] { OpenHandle(storage, handle, AccessReadData); }), 4);
        EXPECT_EQ(ErrorCode([&] { t->Commit(); }), 7);
        reader.reset();
        other.reset();
        if (commit) {
            t->Commit();
            outer->Commit();
        } else {
            t->Abort();
            outer->Abort();
        }
        EXPECT_EQ(Text(OpenHandle(storage, handle, AccessReadData)), commit ? "changed" : "committed");
        EXPECT_EQ(committedCounts(), commit ? std::pair(2, 1) : std::pair(1, 0));
    }
    // A transaction whose child still reads may commit: the reader stays valid.
    TRef<IStorageTransaction> outer = storage->StartTransaction();
    TRef<IStorageTransaction> child = outer->StartTransaction();
    TRef<IVirtualAtom> reader = OpenHandle(child, handle, AccessReadData);
    outer->OpenRoot()->SetText("root");
    outer->Commit();
    EXPECT_EQ(reader->GetText(), "changed");
    reader.reset();
    child->Commit();
    child.reset();
    outer.reset();
    storage.reset();
    EXPECT_EQ(Text(Open()->OpenRoot()), "root");
}

TEST_F(AtomImagesTest, CascadeDeletesAnUnreferencedSubtree) {
    TRef<IVirtualStorage> storage = Create();
    std::vector<TAtomHandle> handles;
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        TRef<IVirtualAtom> root = t->OpenRoot();
        TRef<IVirtualAtom> top = t->NewAtom();
        root->SetLink(0, top.get());
        for (int i = 0; i < 3; ++i) {
            TRef<IVirtualAtom> mid = t->NewAtom();
            top->SetLink(uint32_t(i), mid.get());
            for (int j = 0; j < 3; ++j) {
                TRef<IVirtualAtom> leaf = t->NewAtom();
                leaf->SetText("leaf");
                mid->SetLink(uint32_t(j), leaf.get());
                handles.push_back(HandleOf(leaf));
            }
            handles.push_back(HandleOf(mid));
        }
        // A leaf that is also referenced survives the cascade.
        TRef<IVirtualAtom> shared = top->OpenLink(0)->OpenLink(0);
        TRef<IVirtualAtom> second = Query<IStorageInfo>(t)->OpenSecondRoot();
        second->SetLink(0, shared.get());
        handles.push_back(HandleOf(top));
        root.reset();
        top.reset();
        shared.reset();
        second.reset();
        t->Commit();
    }
    for (TAtomHandle handle : handles) EXPECT_TRUE(Exists(storage, handle));
    storage.reset();
    storage = Open();
    storage->OpenRoot()->DeleteLink(0);
    for (size_t i = 1; i < handles.size(); ++i) EXPECT_FALSE(Exists(storage, handles[i])) << handles[i];
    EXPECT_TRUE(Exists(storage, handles[0]));
    int32_t linkRefs, extRefs;
    Counts(OpenHandle(storage, handles[0]), linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 1);
}

TEST_F(AtomImagesTest, DeepChainDeletesWithoutExhaustingTheStack) {
    constexpr int Depth = 60000;
    TRef<IVirtualStorage> storage = Create();
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        TRef<IVirtualAtom> previous = t->OpenRoot();
        for (int i = 0; i < Depth; ++i) {
            TRef<IVirtualAtom> next = t->NewAtomAccess(AccessWriteLinks);
            previous->SetLink(0, next.get());
            previous = next;
        }
        previous.reset();
        t->Commit();
    }
    EXPECT_TRUE(Exists(storage, Depth + 2));
    storage->OpenRoot()->SetLinkCount(0);
    EXPECT_FALSE(Exists(storage, 3));
    EXPECT_FALSE(Exists(storage, Depth + 2));
    int64_t dataSize = 0, fileSize = 0;
    Query<IStorageInfo>(storage)->GetSizes(dataSize, fileSize);
    EXPECT_GT(dataSize, 0);
}

TEST_F(AtomImagesTest, SelfLinkAndPredefinedAtoms) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    int32_t linkRefs, extRefs;
    Counts(root, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 1);
    root->SetLink(0, root.get());
    Counts(root, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 2);
    root->SetLink(0, nullptr);
    Counts(root, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 1);
    // Inside a transaction the counts are the changes made there.
    root.reset();
    TRef<IStorageTransaction> t = storage->StartTransaction();
    TRef<IVirtualAtom> inT = t->OpenRoot();
    inT->AddReference();
    Counts(inT, linkRefs, extRefs);
    EXPECT_EQ(linkRefs, 0);
    EXPECT_EQ(extRefs, 1);
}

// Thousands of atoms held at once in nested transactions, opened, changed and closed in scattered
// orders: every transaction's view stays its own through abort, commit and reopening.
TEST_F(AtomImagesTest, ManyAtomsAtDepth) {
    constexpr uint32_t Count = 3000;
    std::mt19937 random(77);
    std::vector<uint32_t> order(Count);
    for (uint32_t i = 0; i < Count; ++i) order[i] = i;
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> outer = storage->StartTransaction();
    auto fill = [&](const TRef<IStorageTransaction>& t, const std::string& tag) {
        TRef<IVirtualAtom> root = t->OpenRoot();
        std::vector<TRef<IVirtualAtom>> held;
        for (uint32_t i = 0; i < Count; ++i) {
            TRef<IVirtualAtom> atom = t->NewAtom();
            atom->SetText(tag + std::to_string(i));
            root->SetLink(i, atom.get());
            held.push_back(atom);
        }
        std::shuffle(held.begin(), held.end(), random);
        while (!held.empty()) held.pop_back();
    };
    auto check = [&](IVirtualStorage* level, const std::string& tag, uint32_t changedEvery) {
        TRef<IVirtualAtom> root = level->OpenRootAccess(AccessReadLinks);
        ASSERT_EQ(root->GetLinkCount(), Count);
        std::shuffle(order.begin(), order.end(), random);
        std::vector<TRef<IVirtualAtom>> held;
        for (uint32_t i : order) {
            TRef<IVirtualAtom> atom = root->OpenLinkAccess(i, AccessReadData);
            std::string expected = (changedEvery && i % changedEvery == 0 ? "changed " : tag) + std::to_string(i);
            ASSERT_EQ(atom->GetText(), expected) << i;
            if (i % 3 == 0) held.push_back(atom);
        }
        std::shuffle(held.begin(), held.end(), random);
    };
    {
        TRef<IStorageTransaction> lost = outer->StartTransaction();
        fill(lost, "lost ");
        check(lost.get(), "lost ", 0);
        lost->Abort();
    }
    EXPECT_EQ(outer->OpenRoot()->GetLinkCount(), 0u);
    {
        TRef<IStorageTransaction> kept = outer->StartTransaction();
        fill(kept, "kept ");
        kept->Commit();
    }
    check(outer.get(), "kept ", 0);
    {
        TRef<IStorageTransaction> inner = outer->StartTransaction();
        TRef<IVirtualAtom> root = inner->OpenRootAccess(AccessReadLinks);
        std::shuffle(order.begin(), order.end(), random);
        std::vector<TRef<IVirtualAtom>> readers;
        for (uint32_t i : order) {
            if (i % 7 == 0)
                root->OpenLinkAccess(i, AccessAll)->SetText("changed " + std::to_string(i));
            else
                readers.push_back(root->OpenLinkAccess(i, AccessReadData));
        }
        std::shuffle(readers.begin(), readers.end(), random);
        readers.clear();
        root.reset();
        check(inner.get(), "kept ", 7);
        TRef<IVirtualAtom> outerRoot = outer->OpenRootAccess(AccessReadLinks);
        EXPECT_EQ(outerRoot->OpenLinkAccess(8, AccessReadData)->GetText(), "kept 8");
        EXPECT_EQ(ErrorCode([&] { outerRoot->OpenLinkAccess(14, AccessReadData); }), 4);
        outerRoot.reset();
        inner->Commit();
    }
    outer->Commit();
    outer.reset();
    storage.reset();
    storage = Open();
    check(storage.get(), "kept ", 7);
}

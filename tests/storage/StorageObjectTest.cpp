// The storage and transaction objects: read-only files, foreign addresses, transaction life,
// enumeration, storage facts, the report of storages never freed and use after the forced close.
#include "StorageFixture.h"

#include <gtest/gtest.h>

namespace {
TRef<IVirtualAtom> OpenHandle(const TRef<IVirtualStorage>& level, TAtomHandle handle, TAccess access) {
    TAtomAddress address;
    address.StorageID = level->GetStorageID();
    address.Handle = handle;
    return level->OpenAtomAccess(address, access);
}

// Makes atoms 3..2+count, each linked from the root and holding its number as text.
void MakeAtoms(const TRef<IVirtualStorage>& storage, int count) {
    TRef<IVirtualAtom> root = storage->OpenRoot();
    for (int i = 0; i < count; ++i) {
        TRef<IVirtualAtom> atom = storage->NewAtom();
        atom->SetText(std::to_string(i + 3));
        root->SetLink(uint32_t(i), atom.get());
    }
}
} // namespace

class StorageObjectTest : public StorageTest {};

TEST_F(StorageObjectTest, ReadOnlyStorage) {
    {
        TRef<IVirtualStorage> storage = Create();
        MakeAtoms(storage, 1);
    }
    TRef<IVirtualStorage> storage = OpenReadOnly();
    EXPECT_EQ(storage->GetRights(), AccessReadOnly);
    TRef<IVirtualAtom> root = storage->OpenRoot();
    EXPECT_EQ(root->GetAccess(), AccessReadOnly);
    root.reset();
    root = storage->OpenRootAccess(15);
    EXPECT_EQ(root->GetAccess(), AccessReadOnly);
    root->SetAccess(31);
    EXPECT_EQ(root->GetAccess(), AccessReadOnly);
    std::string message;
    EXPECT_EQ(ErrorCode([&] { root->SetText("x"); }, &message), 3);
    EXPECT_EQ(message, "Atom access is denied");
    EXPECT_EQ(ErrorCode([&] { OpenHandle(storage, 3, 15); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
    EXPECT_EQ(ErrorCode([&] { storage->NewAtom(); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
    // References change nothing on a read-only file but still give the address.
    TRef<IVirtualAtom> atom = root->OpenLink(0);
    TAtomAddress address = atom->AddReference();
    EXPECT_EQ(address.Handle, 3u);
    int32_t linkRefs, extRefs;
    Query<IAtomInfo>(atom)->GetRefCounts(linkRefs, extRefs);
    EXPECT_EQ(extRefs, 0);
    TRef<IStorageTransaction> t = storage->StartTransaction();
    EXPECT_EQ(t->GetRights(), AccessReadOnly);
    EXPECT_EQ(ErrorCode([&] { t->NewAtom(); }), 3);
    EXPECT_EQ(Text(t->OpenAtomAccess(address, AccessReadData)), "3");
}

TEST_F(StorageObjectTest, ForeignAddressesAreRefused) {
    TRef<IVirtualStorage> one = Create("one.ostra");
    TRef<IVirtualStorage> two = Create("two.ostra");
    TAtomAddress address = Query<IStorageInfo>(two)->GetRootAddress();
    std::string message;
    EXPECT_EQ(ErrorCode([&] { one->OpenAtom(address); }, &message), 2);
    EXPECT_EQ(message, "Capability is not supported");
    EXPECT_EQ(ErrorCode([&] { one->StartTransaction()->OpenAtom(address); }), 2);
    // The reserved word is not looked at when opening.
    address = Query<IStorageInfo>(one)->GetRootAddress();
    address.Reserved = 77;
    EXPECT_TRUE(one->OpenAtom(address));
    // Links across storages are refused; comparisons answer false.
    TRef<IVirtualAtom> root1 = one->OpenRoot();
    TRef<IVirtualAtom> root2 = two->OpenRoot();
    EXPECT_EQ(ErrorCode([&] { root1->SetLink(0, root2.get()); }), 2);
    EXPECT_FALSE(root1->IsSameAtom(root2.get()));
    EXPECT_NE(one->GetStorageID(), two->GetStorageID());
    EXPECT_EQ(one->GetDataClass().ToString(), TestDataClass);
}

TEST_F(StorageObjectTest, FinishedTransactions) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> t = storage->StartTransaction();
    EXPECT_EQ(t->GetRights(), AccessAll);
    EXPECT_NE(t->GetTransactionID(), 0u);
    EXPECT_EQ(t->GetStorage().get(), storage.get());
    EXPECT_FALSE(t->GetParent());
    ASSERT_EQ(storage->GetTransactions().size(), 1u);
    t->Commit();
    EXPECT_EQ(t->GetRights(), 0);
    EXPECT_EQ(t->GetTransactionID(), 0u);
    std::string message;
    for (auto op : std::initializer_list<std::function<void()>>{[&] { t->OpenRoot(); }, [&] { t->NewAtom(); },
                                                                [&] { t->StartTransaction(); }}) {
        EXPECT_EQ(ErrorCode(op, &message), 3);
        EXPECT_EQ(message, "Access is denied");
    }
    t->Flush(); // does nothing
    t.reset();
    EXPECT_TRUE(storage->GetTransactions().empty());
    storage->Flush();
}

TEST_F(StorageObjectTest, ChildrenOutliveACommittedParent) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> parent = storage->StartTransaction();
    TRef<IStorageTransaction> child = parent->StartTransaction();
    ASSERT_EQ(parent->GetTransactions().size(), 1u);
    parent->Commit();
    EXPECT_EQ(child->GetParent().get(), parent.get());
    child->OpenRoot()->SetText("child");
    child->Commit();
    EXPECT_EQ(Text(storage->OpenRoot()), "child");
}

TEST_F(StorageObjectTest, ChildrenOfAnAbortedParentAreDead) {
    TRef<IVirtualStorage> storage = Create();
    storage->OpenRoot()->SetText("base");
    TRef<IStorageTransaction> parent = storage->StartTransaction();
    TRef<IStorageTransaction> child = parent->StartTransaction();
    TRef<IStorageTransaction> grandchild = child->StartTransaction();
    uint32_t childId = child->GetTransactionID();
    parent->Abort();
    // The released IDs are handed out again...
    TRef<IStorageTransaction> other = storage->StartTransaction();
    TRef<IStorageTransaction> another = storage->StartTransaction();
    EXPECT_TRUE(other->GetTransactionID() == childId || another->GetTransactionID() == childId);
    other->OpenRoot()->SetText("other");
    // ...but the dead transactions never reach them.
    EXPECT_THROW(child->OpenRoot(), EInvalidTrID);
    EXPECT_THROW(child->Commit(), EInvalidTrID);
    EXPECT_THROW(grandchild->Abort(), EInvalidTrID);
    EXPECT_THROW(grandchild->StartTransaction(), EInvalidTrID);
    EXPECT_EQ(child->GetRights(), 0);
    grandchild.reset();
    child.reset(); // releasing does nothing
    other->Commit();
    EXPECT_EQ(Text(storage->OpenRoot()), "other");
}

TEST_F(StorageObjectTest, EnumerationSkipsAtomsThatCannotOpen) {
    TRef<IVirtualStorage> storage = Create();
    MakeAtoms(storage, 4);
    TRef<IVirtualAtom> busy = OpenHandle(storage, 4, 15);
    std::vector<TAtomHandle> seen;
    TRef<IEnumVirtualAtoms> atoms = storage->EnumAtoms(15);
    while (TRef<IVirtualAtom> atom = atoms->Next()) seen.push_back(Query<IAtomInfo>(atom)->GetAddress().Handle);
    EXPECT_EQ(seen, (std::vector<TAtomHandle>{1, 2, 3, 5, 6}));
    // In a transaction, atoms created there are seen; a clone continues from the same place.
    TRef<IStorageTransaction> t = storage->StartTransaction();
    TRef<IVirtualAtom> fresh = t->NewAtom();
    fresh->AddReference();
    TAtomHandle freshHandle = Query<IAtomInfo>(fresh)->GetAddress().Handle;
    fresh.reset();
    TRef<IEnumVirtualAtoms> inT = t->EnumAtoms(AccessReadData);
    for (int i = 0; i < 5; ++i) inT->Next();
    TRef<IEnumVirtualAtoms> clone = inT->Clone();
    TRef<IVirtualAtom> last = clone->Next();
    ASSERT_TRUE(last);
    EXPECT_EQ(Query<IAtomInfo>(last)->GetAddress().Handle, freshHandle);
    EXPECT_EQ(last->GetTransaction().get(), t.get());
    EXPECT_FALSE(clone->Next());
    inT->Reset();
    EXPECT_EQ(Query<IAtomInfo>(inT->Next())->GetAddress().Handle, 1u);
    last.reset();
    t->Commit();
    EXPECT_EQ(ErrorCode([&] { inT->Next(); }), 3);
}

TEST_F(StorageObjectTest, StorageFacts) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageInfo> info = Query<IStorageInfo>(storage);
    EXPECT_EQ(info->GetFormatVersion(), 516u);
    EXPECT_EQ(info->GetMinReaderVersion(), 516u);
    EXPECT_GT(info->GetCreated(), 40000.0);
    EXPECT_EQ(info->GetCacheLimit(), 8000);
    info->SetCacheLimit(10);
    EXPECT_EQ(info->GetCacheLimit(), 10);
    MakeAtoms(storage, 20);
    EXPECT_LE(info->GetCacheCount(), 11);
    int64_t lookups = -1, hits = -1;
    info->GetCacheStats(lookups, hits);
    EXPECT_GT(lookups, 0);
    int64_t dataSize = 0, fileSize = 0;
    info->GetSizes(dataSize, fileSize);
    EXPECT_EQ(fileSize, 12288);
    EXPECT_GE(dataSize, 8336);
    TRef<IStorageInfo> tInfo = Query<IStorageInfo>(storage->StartTransaction());
    EXPECT_EQ(tInfo->GetCacheLimit(), 10);
    EXPECT_EQ(tInfo->GetSecondRootAddress().Handle, 2u);
    storage.reset();
    info.reset();
    tInfo.reset();
    TRef<IVirtualStorage> cached = Storage("Open; Cache=123");
    EXPECT_EQ(Query<IStorageInfo>(cached)->GetCacheLimit(), 123);
}

TEST_F(StorageObjectTest, LeakedStorageIsReportedAndClosedWithoutCommit) {
    std::string report;
    SetUnfreedStorageHook([&](std::string_view text) { report = text; });
    TRef<IVirtualStorage> leaked = Create();
    leaked->OpenRoot()->SetText("committed");
    TRef<IStorageTransaction> t = leaked->StartTransaction();
    TRef<IVirtualAtom> atom = t->OpenRoot();
    atom->SetText("never committed");
    TRef<IVirtualAtom> rootLevel = Query<IStorageInfo>(leaked)->OpenSecondRoot();
    StopStorageEngine();
    SetUnfreedStorageHook(nullptr);
    EXPECT_EQ(report, "TOstraStorage: 1 object(s) not destroyed");
    // The forced close left every object answering "Access is denied".
    std::string message;
    EXPECT_EQ(ErrorCode([&] { atom->GetText(); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
    EXPECT_EQ(ErrorCode([&] { leaked->OpenRoot(); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
    EXPECT_EQ(ErrorCode([&] { t->Commit(); }), 3);
    EXPECT_EQ(ErrorCode([&] { leaked->StartTransaction(); }), 3);
    EXPECT_EQ(Query<IStorageInfo>(leaked)->GetCacheCount(), 0);
    int64_t dataSize = -5, fileSize = -5;
    Query<IStorageInfo>(leaked)->GetSizes(dataSize, fileSize);
    EXPECT_EQ(dataSize, -5);
    atom.reset();
    t.reset();
    rootLevel.reset();
    leaked.reset();
    StartStorageEngine();
    EXPECT_EQ(Text(Open()->OpenRoot()), "committed");
}

TEST_F(StorageObjectTest, UnfreedStoragesAreReportedOnStderr) {
    TRef<IVirtualStorage> one = Create("one.ostra");
    TRef<IVirtualStorage> two = Create("two.ostra");
    TRef<IVirtualStorage> freed = Create("three.ostra");
    freed.reset();
    ::testing::internal::CaptureStderr();
    StopStorageEngine();
    std::string output = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find("Ostra-Error"), std::string::npos);
    EXPECT_NE(output.find("TOstraStorage: 2 object(s) not destroyed"), std::string::npos);
    one.reset();
    two.reset();
    StartStorageEngine();
    ::testing::internal::CaptureStderr();
    StopStorageEngine();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    StartStorageEngine();
}

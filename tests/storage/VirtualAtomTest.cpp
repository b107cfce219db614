// The open atom and its stream: links by interface, broken links, reopening elsewhere, access
// changes, closing, the 32-bit data limit, and damaged table entries met through an atom.
#include "StorageFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
constexpr size_t EntryAt(TAtomHandle handle) { return 128 + 16 + 32 * size_t(handle - 1); }
} // namespace

class VirtualAtomTest : public StorageTest {};

TEST_F(VirtualAtomTest, LinksOpenInTheSameTransaction) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IStorageTransaction> t = storage->StartTransaction();
    TRef<IVirtualAtom> root = t->OpenRoot();
    EXPECT_FALSE(root->OpenLink(0));
    TRef<IVirtualAtom> child = t->NewAtom();
    child->SetText("child");
    root->SetLink(0, child.get());
    child.reset();
    TRef<IVirtualAtom> again = root->OpenLink(0);
    EXPECT_EQ(again->GetText(), "child");
    EXPECT_EQ(again->GetTransaction().get(), t.get());
    EXPECT_EQ(again->GetStorage().get(), storage.get());
    EXPECT_FALSE(storage->OpenRootAccess(0)->GetTransaction());
}

TEST_F(VirtualAtomTest, BrokenLinkIsReported) {
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IVirtualAtom> root = storage->OpenRoot();
        TRef<IVirtualAtom> child = storage->NewAtom();
        root->SetLink(0, child.get());
    }
    // Free the child's table entry behind the storage's back (an all-zero entry is free).
    std::vector<uint8_t> file = TTempDir::ReadBytes(FileName());
    std::fill(file.begin() + long(EntryAt(3)), file.begin() + long(EntryAt(3)) + 32, 0);
    TTempDir::WriteBytes(FileName(), file);
    TRef<IVirtualStorage> storage = Open();
    std::string message;
    EXPECT_EQ(ErrorCode([&] { storage->OpenRoot()->OpenLink(0); }, &message), 10);
    EXPECT_EQ(message, "Broken link (atom does not exist)");
    TAtomAddress address = Query<IStorageInfo>(storage)->GetRootAddress();
    address.Handle = 3;
    EXPECT_EQ(ErrorCode([&] { storage->OpenAtom(address); }, &message), 5);
    EXPECT_EQ(message, "Invalid atom address");
}

TEST_F(VirtualAtomTest, DamagedEntryRaisesItsCrcError) {
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IVirtualAtom> root = storage->OpenRoot();
        TRef<IVirtualAtom> child = storage->NewAtom();
        child->SetText("payload");
        root->SetLink(0, child.get());
    }
    std::vector<uint8_t> file = TTempDir::ReadBytes(FileName());
    file[EntryAt(3) + 14] ^= 0x40;
    TTempDir::WriteBytes(FileName(), file);
    TRef<IVirtualStorage> storage = Open();
    EXPECT_EQ(ErrorCode([&] { storage->OpenRoot()->OpenLink(0); }), 12);
    // Other atoms stay usable.
    EXPECT_EQ(storage->OpenRoot()->GetLinkCount(), 1u);
}

TEST_F(VirtualAtomTest, DamagedBodyRaisesAndMarksAWritableFile) {
    {
        TRef<IVirtualStorage> storage = Create();
        TRef<IVirtualAtom> root = storage->OpenRoot();
        TRef<IVirtualAtom> child = storage->NewAtom();
        child->SetText(std::string(100, 'b')); // too long for the entry: stored apart
        root->SetLink(0, child.get());
    }
    std::vector<uint8_t> file = TTempDir::ReadBytes(FileName());
    uint64_t body = 0;
    std::memcpy(&body, &file[EntryAt(3) + 24], 8);
    file[body + 10] ^= 1;
    TTempDir::WriteBytes(FileName(), file);
    {
        TRef<IVirtualStorage> storage = OpenReadOnly();
        EXPECT_EQ(ErrorCode([&] { storage->OpenRoot()->OpenLink(0); }), 11);
    }
    EXPECT_EQ(TTempDir::ReadBytes(FileName())[80] & 2, 0); // a read-only open marks nothing
    {
        TRef<IVirtualStorage> storage = Open();
        EXPECT_EQ(ErrorCode([&] { storage->OpenRoot()->OpenLink(0); }), 11);
    }
    EXPECT_EQ(TTempDir::ReadBytes(FileName())[80] & 2, 2);
}

TEST_F(VirtualAtomTest, SameAtomAndCopies) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualStorage> other = Create("other.ostra");
    TRef<IVirtualAtom> root = storage->OpenRootAccess(AccessReadData);
    TRef<IVirtualAtom> copy = root->CopyTo(nullptr, AccessReadData);
    EXPECT_TRUE(root->IsSameAtom(copy.get()));
    EXPECT_FALSE(root->IsSameAtom(nullptr));
    EXPECT_FALSE(root->IsSameAtom(other->OpenRoot().get()));
    EXPECT_FALSE(root->IsSameAtom(Query<IStorageInfo>(storage)->OpenSecondRoot().get()));
    root.reset();
    copy.reset();

    storage->OpenRoot()->SetText("committed");
    TRef<IStorageTransaction> t = storage->StartTransaction();
    TRef<IVirtualAtom> inT = t->OpenRootAccess(AccessReadData);
    TRef<IVirtualAtom> sameLevel = inT->CopyTo(t.get(), AccessReadData);
    EXPECT_EQ(sameLevel->GetTransaction().get(), t.get());
    EXPECT_TRUE(sameLevel->IsSameAtom(inT.get()));
    sameLevel.reset();
    EXPECT_EQ(Text(inT->CopyTo(nullptr, AccessReadData)), "committed");
    inT->SetAccess(15);
    inT->SetText("changed");
    EXPECT_EQ(ErrorCode([&] { inT->CopyTo(nullptr, AccessReadData); }), 4);
}

TEST_F(VirtualAtomTest, AccessChanges) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> first = storage->OpenRoot();
    first->SetAccess(0);
    EXPECT_EQ(first->GetAccess(), 0);
    TRef<IVirtualAtom> second = storage->OpenRoot();
    second->SetText("second");
    std::string message;
    EXPECT_EQ(ErrorCode([&] { first->GetText(); }, &message), 3);
    EXPECT_EQ(message, "Atom access is denied");
    EXPECT_EQ(ErrorCode([&] { first->SetAccess(AccessReadData); }), 4);
    EXPECT_EQ(first->GetAccess(), 0);
    TRef<IVirtualAtom> linksOnly = Query<IStorageInfo>(storage)->OpenSecondRootAccess(AccessReadLinks);
    EXPECT_EQ(ErrorCode([&] { linksOnly->GetText(); }, &message), 3);
    EXPECT_EQ(message, "Atom access is denied");
    EXPECT_EQ(ErrorCode([&] { linksOnly->SetLinkCount(1); }, &message), 3);
    EXPECT_EQ(linksOnly->GetLinkCount(), 0u);
}

TEST_F(VirtualAtomTest, ClosedAtomDeniesAccess) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> root = storage->OpenRoot();
    root->SetText("x");
    ASSERT_NE(root->GetStream(), nullptr);
    root->Close();
    root->Close();
    EXPECT_EQ(root->GetStream(), nullptr);
    EXPECT_EQ(root->GetStorage().get(), storage.get());
    std::string message;
    EXPECT_EQ(ErrorCode([&] { root->GetDataSize(); }, &message), 3);
    EXPECT_EQ(message, "Access is denied");
    EXPECT_EQ(ErrorCode([&] { Query<IAtomInfo>(root)->GetAddress(); }), 3);
    // The close ended the open: a writer may open it now.
    EXPECT_EQ(Text(storage->OpenRoot()), "x");
}

TEST_F(VirtualAtomTest, BytesTextAndDataLimits) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> atom = storage->OpenRoot();
    std::vector<uint8_t> bytes = {0, 1, 2, 0, 255};
    atom->SetBytes(bytes);
    EXPECT_EQ(atom->GetBytes(), bytes);
    EXPECT_EQ(atom->GetText(), std::string("\0\1\2\0\xFF", 5));
    EXPECT_EQ(atom->Write(3, AsBytes("abc")), 3u);
    EXPECT_EQ(atom->GetDataSize(), 6u);
    EXPECT_EQ(atom->Write(0xFFFFFFF0u, {}), 0u);
    EXPECT_EQ(atom->GetDataSize(), 6u);
    EXPECT_NE(ErrorCode([&] { atom->Write(0xFFFFFFFEu, AsBytes("abc")); }), -1);
    EXPECT_EQ(atom->GetDataSize(), 6u);
    atom->SetText("");
    EXPECT_EQ(atom->GetDataSize(), 0u);
}

TEST_F(VirtualAtomTest, StreamOverTheData) {
    TRef<IVirtualStorage> storage = Create();
    TRef<IVirtualAtom> atom = storage->OpenRoot();
    atom->SetText("0123456789");
    TAtomStream& stream = *atom->GetStream();
    EXPECT_EQ(stream.Size(), 10u);
    EXPECT_EQ(stream.Seek(-4, TSeekOrigin::End), 6);
    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(stream.Read(buffer), 4u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "6789");
    EXPECT_EQ(stream.Position(), 10u);
    EXPECT_EQ(stream.Seek(2, TSeekOrigin::Current), 12);
    stream.Write(AsBytes("AB"));
    EXPECT_EQ(atom->GetText(), std::string("0123456789\0\0AB", 14));
    stream.SetSize(3);
    EXPECT_EQ(atom->GetText(), "012");
    EXPECT_EQ(stream.Seek(-1, TSeekOrigin::Beginning), -1);
    EXPECT_EQ(stream.Read(buffer), 0u);
    EXPECT_NE(ErrorCode([&] { stream.Write(AsBytes("x")); }), -1);
    stream.Seek(0xFFFFFFFFu);
    EXPECT_NE(ErrorCode([&] { stream.Write(AsBytes("x")); }), -1);
    EXPECT_EQ(atom->GetDataSize(), 3u);
    stream.Seek(0);
    std::vector<uint8_t> all = stream.ReadAll();
    EXPECT_EQ(std::string(all.begin(), all.end()), "012");
    // Reading needs bit 1, writing bit 4.
    TRef<IVirtualAtom> second = Query<IStorageInfo>(storage)->OpenSecondRootAccess(AccessWriteData);
    EXPECT_EQ(ErrorCode([&] { second->GetStream()->Read(buffer); }), 3);
    second->GetStream()->Write(AsBytes("ok"));
}

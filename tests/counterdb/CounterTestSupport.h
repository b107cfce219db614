// Shared helpers of the counter database tests: a database file in a temporary folder, and
// read-only inspection of the raw file through the storage and index engines.
#pragma once

#include "TempDir.h"

#include "counterdb/UCounter.h"
#include "index/KVZIndex.h"
#include "platform/Bitmap.h"
#include "storage/Corvane.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

inline std::vector<uint8_t> ByteList(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(uint8_t(v));
    return bytes;
}

inline std::vector<uint8_t> DoubleBytes(double value) {
    std::vector<uint8_t> bytes(8);
    uint64_t raw = std::bit_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) bytes[size_t(i)] = uint8_t(raw >> (8 * i));
    return bytes;
}

// A BMP of a solid colour, as a stream the counter can take as a skin image.
inline std::vector<uint8_t> SolidBmp(int width, int height, TColor colour) {
    TBitmap bitmap(width, height, pf24bit);
    bitmap.FillRect(TRect{0, 0, width, height}, colour);
    return bitmap.SaveToBMP();
}

// Eleven memory streams and the TSkinStreams view of them.
struct TSkinSet {
    std::array<TMemoryStream, SkinImageCount> Streams;
    TSkinStreams View() {
        TSkinStreams v;
        for (int i = 0; i < SkinImageCount; ++i) v[size_t(i)] = &Streams[size_t(i)];
        return v;
    }
    std::vector<uint8_t> Bytes(int i) const { return Streams[size_t(i)].Bytes(); }
};

inline TSkinSet MakeSkinSet(int seed) {
    TSkinSet set;
    for (int i = 0; i < SkinImageCount; ++i) {
        std::vector<uint8_t> bmp = SolidBmp(i == 0 ? 40 : 8, 12, RGBColor(uint8_t(seed), uint8_t(i * 20), 7));
        set.Streams[size_t(i)].Write(bmp);
        set.Streams[size_t(i)].Seek(0);
    }
    return set;
}

// The raw file opened read-only at the storage level (the counter must not hold it).
class TRawDatabase {
public:
    explicit TRawDatabase(const std::string& file) {
        if (!StorageFactory()) StartStorageEngine();
        Storage = CreateStorage(file, "Mode:READONLY; Class:" + CounterDataClass.ToString());
        Root = Storage->OpenRoot();
    }
    ~TRawDatabase() {
        Root.reset();
        Storage.reset();
    }

    TRef<IVirtualAtom> Link(uint32_t link) { return Root->OpenLinkAccess(link, AccessReadOnly); }
    bool HasLink(uint32_t link) { return Root->HasLink(link); }
    std::string Text(uint32_t link) {
        TRef<IVirtualAtom> atom = Link(link);
        return atom ? atom->GetText() : std::string("<missing>");
    }
    TRef<IIndexer> TrieAt(uint32_t link) { return NewTrieIndexFactory()->OpenIndex(Link(link).get(), "", ""); }
    // The value bytes of Key in the trie at root link Link.
    std::vector<uint8_t> ValueBytes(uint32_t link, std::string_view key) {
        TRef<IIndexer> index = TrieAt(link);
        TRef<IVirtualAtom> value;
        if (!index->FindKeyAccess(key, AccessReadOnly, value)) return {};
        return value->GetBytes();
    }
    // Every key of the trie at root link Link, in index order.
    std::vector<std::string> Keys(uint32_t link) {
        std::vector<std::string> keys;
        TRef<IIndexer> index = TrieAt(link);
        TRef<IIndexerCursor> cursor = index->GetCursor();
        for (bool more = cursor->First(); more; more = cursor->Next()) keys.push_back(cursor->GetKey());
        cursor->Close();
        return keys;
    }

    TRef<IVirtualStorage> Storage;
    TRef<IVirtualAtom> Root;
};

class CounterTest : public TempDirTest {
protected:
    std::string DbFile() const { return Temp.File("site.ostra"); }

    TRef<ICounter> Open() {
        TRef<ICounter> counter = OpenCounter(DbFile());
        EXPECT_TRUE(counter) << "OpenCounter gave nil";
        return counter;
    }
    // Opens, runs Body, then commits and releases through CloseCounter.
    template <class Body> void Session(Body&& body) {
        TRef<ICounter> counter = Open();
        if (!counter) return;
        body(*counter);
        CloseCounter(counter);
    }
};

// 1 January 2001, a whole-number date, and times on it.
inline const TDateTime NewYear2001 = 36892.0;
inline TDateTime At(int day, int hour, int minute = 0, int second = 0, int ms = 0) {
    return NewYear2001 + day + EncodeTime(hour, minute, second, ms);
}

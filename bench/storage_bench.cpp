// Speed of the storage engine against SQLite doing the same work (one transaction, one sync on
// commit): building a 100,000-atom tree, reading 10,000 atoms in random order after reopening,
// a web-request-like cycle, and opening a 100,000-atom file.
#include "storage/Corvane.h"

#include "SqliteYardstick.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {
constexpr int AtomCount = 100000;
constexpr int Fanout = 16;
constexpr int ReadCount = 10000;
constexpr const char* Params = "Class:{28C7266E-7262-431C-BF61-DCB4F19C8DC0}; Mode:";

std::filesystem::path BenchDir() {
    static std::filesystem::path dir = BenchFolder("storage-bench-");
    return dir;
}
std::string OstraFile(const char* name) { return (BenchDir() / (std::string(name) + ".ostra")).string(); }
std::string SqliteFile(const char* name) { return (BenchDir() / (std::string(name) + ".sqlite")).string(); }

std::string Payload(int i) { return "atom-" + std::to_string(i) + "-payload"; }

// Visits a tree of count nodes with the given fanout depth first: make(parent, slot, index) for
// each node after its parent.
void ForEachTreeNode(int count, const std::function<void(int parent, int slot, int index)>& make) {
    int next = 1;
    std::function<void(int, int)> grow = [&](int parent, int depth) {
        for (int slot = 0; slot < Fanout && next <= count; ++slot) {
            int index = next++;
            make(parent, slot, index);
            if (depth < 4) grow(index, depth + 1);
        }
        if (depth == 0 && next <= count) grow(parent, 0);
    };
    grow(0, 0);
}

// ---- the storage engine ----

void BuildOstraTree(const std::string& file) {
    std::filesystem::remove(file);
    TRef<IVirtualStorage> storage = CreateStorage(file, std::string(Params) + "Create");
    TRef<IStorageTransaction> t = storage->StartTransaction();
    std::vector<TRef<IVirtualAtom>> open{t->OpenRoot()}; // open[depth]: the atom being filled there
    std::vector<int> openIndex{0};
    std::vector<uint32_t> rootSlots;
    ForEachTreeNode(AtomCount, [&](int parent, int slot, int index) {
        while (openIndex.back() != parent) {
            open.pop_back();
            openIndex.pop_back();
        }
        TRef<IVirtualAtom> atom = t->NewAtom();
        atom->SetText(Payload(index));
        uint32_t linkSlot = parent == 0 ? uint32_t(rootSlots.size()) : uint32_t(slot);
        if (parent == 0) rootSlots.push_back(linkSlot);
        open.back()->SetLink(linkSlot, atom.get());
        open.push_back(atom);
        openIndex.push_back(index);
    });
    open.clear();
    t->Commit();
}

void BuildSqliteTree(const std::string& file);

void EnsureFiles() {
    static bool done = [] {
        BuildOstraTree(OstraFile("tree"));
        BuildSqliteTree(SqliteFile("tree"));
        return true;
    }();
    (void)done;
}

TAtomAddress AddressOf(const TRef<IVirtualStorage>& storage, TAtomHandle handle) {
    TAtomAddress address;
    address.StorageID = storage->GetStorageID();
    address.Handle = handle;
    return address;
}

void BM_OstraCreateTree(benchmark::State& state) {
    for (auto _ : state) BuildOstraTree(OstraFile("create"));
}

void BM_OstraRandomRead(benchmark::State& state) {
    EnsureFiles();
    std::mt19937 random(7);
    for (auto _ : state) {
        TRef<IVirtualStorage> storage = CreateStorage(OstraFile("tree"), std::string(Params) + "Open");
        size_t bytes = 0;
        for (int i = 0; i < ReadCount; ++i) {
            TAtomHandle handle = 3 + random() % AtomCount;
            bytes += storage->OpenAtomAccess(AddressOf(storage, handle), AccessReadData)->GetText().size();
        }
        benchmark::DoNotOptimize(bytes);
    }
}

void BM_OstraWebCycle(benchmark::State& state) {
    EnsureFiles();
    std::filesystem::copy_file(OstraFile("tree"), OstraFile("web"), std::filesystem::copy_options::overwrite_existing);
    std::mt19937 random(11);
    int round = 0;
    for (auto _ : state) {
        TRef<IVirtualStorage> storage = CreateStorage(OstraFile("web"), std::string(Params) + "Open");
        TRef<IStorageTransaction> t = storage->StartTransaction();
        TRef<IVirtualAtom> at = t->OpenRootAccess(AccessReadLinks);
        std::vector<TRef<IVirtualAtom>> walked;
        for (int step = 0; step < 10; ++step) {
            uint32_t count = at->GetLinkCount();
            if (count == 0) {
                at = t->OpenRootAccess(AccessReadLinks);
                count = at->GetLinkCount();
            }
            TRef<IVirtualAtom> next = at->OpenLinkAccess(random() % count, AccessReadLinks | AccessReadData);
            benchmark::DoNotOptimize(next->GetText());
            at = next;
            if (walked.size() < 3) walked.push_back(next);
        }
        at.reset();
        for (TRef<IVirtualAtom>& atom : walked) {
            atom->SetAccess(AccessReadData | AccessWriteData);
            atom->SetText("changed-" + std::to_string(++round));
        }
        walked.clear();
        t->Commit();
    }
}

void BM_OstraOpen(benchmark::State& state) {
    EnsureFiles();
    for (auto _ : state) {
        TRef<IVirtualStorage> storage = CreateStorage(OstraFile("tree"), std::string(Params) + "Open");
        benchmark::DoNotOptimize(storage.get());
    }
}

// ---- SQLite doing the same ----

void BuildSqliteTree(const std::string& file) {
    std::filesystem::remove(file);
    std::filesystem::remove(file + "-wal");
    std::filesystem::remove(file + "-shm");
    TSqlite db(file);
    db.Exec("PRAGMA journal_mode=WAL;"
         "CREATE TABLE atoms(id INTEGER PRIMARY KEY, data BLOB);"
         "CREATE TABLE links(parent INTEGER, slot INTEGER, child INTEGER, PRIMARY KEY(parent, slot)) WITHOUT ROWID;"
         "BEGIN;");
    sqlite3_stmt* atom = db.Prepare("INSERT INTO atoms(id, data) VALUES(?, ?)");
    sqlite3_stmt* link = db.Prepare("INSERT INTO links(parent, slot, child) VALUES(?, ?, ?)");
    int rootSlots = 0;
    ForEachTreeNode(AtomCount, [&](int parent, int slot, int index) {
        std::string data = Payload(index);
        sqlite3_bind_int(atom, 1, index);
        sqlite3_bind_blob(atom, 2, data.data(), int(data.size()), SQLITE_TRANSIENT);
        sqlite3_step(atom);
        sqlite3_reset(atom);
        sqlite3_bind_int(link, 1, parent);
        sqlite3_bind_int(link, 2, parent == 0 ? rootSlots++ : slot);
        sqlite3_bind_int(link, 3, index);
        sqlite3_step(link);
        sqlite3_reset(link);
    });
    sqlite3_finalize(atom);
    sqlite3_finalize(link);
    db.Exec("COMMIT;");
}

void BM_SqliteCreateTree(benchmark::State& state) {
    for (auto _ : state) BuildSqliteTree(SqliteFile("create"));
}

void BM_SqliteRandomRead(benchmark::State& state) {
    EnsureFiles();
    std::mt19937 random(7);
    for (auto _ : state) {
        TSqlite db(SqliteFile("tree"));
        sqlite3_stmt* read = db.Prepare("SELECT data FROM atoms WHERE id = ?");
        size_t bytes = 0;
        for (int i = 0; i < ReadCount; ++i) {
            sqlite3_bind_int(read, 1, int(1 + random() % AtomCount));
            if (sqlite3_step(read) == SQLITE_ROW) bytes += size_t(sqlite3_column_bytes(read, 0));
            sqlite3_reset(read);
        }
        sqlite3_finalize(read);
        benchmark::DoNotOptimize(bytes);
    }
}

void BM_SqliteWebCycle(benchmark::State& state) {
    EnsureFiles();
    for (const char* suffix : {"", "-wal", "-shm"})
        if (std::filesystem::exists(SqliteFile("tree") + suffix))
            std::filesystem::copy_file(SqliteFile("tree") + suffix, SqliteFile("web") + suffix,
                                       std::filesystem::copy_options::overwrite_existing);
    std::mt19937 random(11);
    int round = 0;
    for (auto _ : state) {
        TSqlite db(SqliteFile("web"));
        db.Exec("BEGIN");
        sqlite3_stmt* count = db.Prepare("SELECT count(*) FROM links WHERE parent = ?");
        sqlite3_stmt* child = db.Prepare("SELECT child FROM links WHERE parent = ? AND slot = ?");
        sqlite3_stmt* read = db.Prepare("SELECT data FROM atoms WHERE id = ?");
        sqlite3_stmt* write = db.Prepare("UPDATE atoms SET data = ? WHERE id = ?");
        auto linkCount = [&](int parent) {
            sqlite3_bind_int(count, 1, parent);
            sqlite3_step(count);
            int n = sqlite3_column_int(count, 0);
            sqlite3_reset(count);
            return n;
        };
        int at = 0;
        std::vector<int> walked;
        for (int step = 0; step < 10; ++step) {
            int n = linkCount(at);
            if (n == 0) {
                at = 0;
                n = linkCount(at);
            }
            sqlite3_bind_int(child, 1, at);
            sqlite3_bind_int(child, 2, int(random() % uint32_t(n)));
            sqlite3_step(child);
            at = sqlite3_column_int(child, 0);
            sqlite3_reset(child);
            sqlite3_bind_int(read, 1, at);
            if (sqlite3_step(read) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_bytes(read, 0));
            sqlite3_reset(read);
            if (walked.size() < 3) walked.push_back(at);
        }
        for (int id : walked) {
            std::string data = "changed-" + std::to_string(++round);
            sqlite3_bind_blob(write, 1, data.data(), int(data.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(write, 2, id);
            sqlite3_step(write);
            sqlite3_reset(write);
        }
        for (sqlite3_stmt* statement : {count, child, read, write}) sqlite3_finalize(statement);
        db.Exec("COMMIT");
    }
}

void BM_SqliteOpen(benchmark::State& state) {
    EnsureFiles();
    for (auto _ : state) {
        TSqlite db(SqliteFile("tree"));
        benchmark::DoNotOptimize(db.Db);
    }
}
} // namespace

BENCHMARK(BM_OstraCreateTree)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteCreateTree)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OstraRandomRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteRandomRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OstraWebCycle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteWebCycle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OstraOpen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteOpen)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    StartStorageEngine();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    StopStorageEngine();
    std::error_code ignored;
    std::filesystem::remove_all(BenchDir(), ignored);
    return 0;
}

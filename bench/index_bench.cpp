// Speed of the trie index (and, for reference, the B-tree index with 40 keys a page) against
// SQLite (a WITHOUT ROWID table keyed by the BLOB, so that its walk is one B-tree's) on 100,000
// dotted IPv4 keys: inserting them in one transaction, finding each, walking all in key order
// (by cursor and in one pass) and clearing them. Cold runs happen in a fresh process on a freshly
// opened file; warm runs reuse an open file. The cold walk has a floor too: trie_walk_floor, a C
// program that walks the same file's bytes with every CRC checked.
#include "index/KVZIndex.h"
#include "platform/Heap.h"
#include "storage/OstraFile.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr int KeyCount = 100000;
// INDEX_BENCH_CACHE=n sets the storage's atom cache limit (the "Cache" parameter; 0 keeps the default).
const std::string Params = [] {
    const char* cache = getenv("INDEX_BENCH_CACHE");
    return std::string("Class:{28C7266E-7262-431C-BF61-DCB4F19C8DC0}; Cache:") + (cache ? cache : "0") + "; Mode:";
}();
constexpr uint32_t IndexLink = 1;

const std::vector<std::string>& Keys() {
    static std::vector<std::string> keys = [] {
        std::mt19937 random(4242);
        std::uniform_int_distribution<int> byte(0, 255);
        std::vector<std::string> out;
        out.reserve(KeyCount);
        for (int i = 0; i < KeyCount; ++i)
            out.push_back(std::to_string(byte(random)) + "." + std::to_string(byte(random)) + "." +
                          std::to_string(byte(random)) + "." + std::to_string(byte(random)));
        return out;
    }();
    return keys;
}

// Set by a cold-run child to its parent's folder.
std::filesystem::path ChildDir;

std::filesystem::path BenchDir() {
    static std::filesystem::path dir = [] {
        if (!ChildDir.empty()) return ChildDir;
        auto path = std::filesystem::temp_directory_path() / ("kestrow-index-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}
std::string TrieFile() { return (BenchDir() / "trie.ostra").string(); }
std::string BTreeFile() { return (BenchDir() / "btree.ostra").string(); }
std::string SqliteFile() { return (BenchDir() / "index.sqlite").string(); }

// ---- the trie index ----

TRef<IIndexerFactory> FactoryFor(bool btree) { return btree ? NewBTreeIndexFactory() : NewTrieIndexFactory(); }

int64_t IndexInsert(const std::string& file, bool btree) {
    std::filesystem::remove(file);
    TRef<IVirtualStorage> storage = CreateStorage(file, std::string(Params) + "Create");
    TRef<IStorageTransaction> transaction = storage->StartTransaction();
    {
        TRef<IVirtualAtom> root = transaction->OpenRoot();
        TRef<IIndexer> indexer = FactoryFor(btree)->OpenOrCreateIndex(root.get(), IndexLink, "", "");
        for (const auto& key : Keys()) indexer->AddKey(key);
    }
    transaction->Commit();
    return KeyCount;
}
int64_t TrieInsert(const std::string& file) { return IndexInsert(file, false); }

struct TTrieSession {
    explicit TTrieSession(const std::string& file, bool btree = false) {
        Storage = CreateStorage(file, std::string(Params) + "Open");
        Transaction = Storage->StartTransaction();
        TRef<IVirtualAtom> root = Transaction->OpenRoot();
        Indexer = FactoryFor(btree)->OpenIndex(root->OpenLink(IndexLink).get(), "", "");
    }
    ~TTrieSession() {
        Indexer = nullptr;
        Transaction->Commit();
    }
    TRef<IVirtualStorage> Storage;
    TRef<IStorageTransaction> Transaction;
    TRef<IIndexer> Indexer;
};

int64_t TrieFind(TTrieSession& session) {
    int64_t found = 0;
    for (const auto& key : Keys()) {
        TRef<IVirtualAtom> atom;
        found += session.Indexer->FindKey(key, atom);
    }
    return found;
}

int64_t TrieWalk(TTrieSession& session) {
    int64_t walked = 0;
    TRef<IIndexerCursor> cursor = session.Indexer->GetCursor();
    for (bool ok = cursor->First(); ok; ok = cursor->Next()) walked += int64_t(cursor->GetKey().size());
    return walked;
}

// The one-pass walk the list pages use, reading every value as they do.
int64_t TrieWalkOnce(TTrieSession& session) {
    int64_t walked = 0;
    TRef<IIndexWalk> walk = Query<IIndexWalk>(session.Indexer);
    walk->WalkValues(
        [&](std::string_view key, std::span<const uint8_t> value) { walked += int64_t(key.size() + value.size()); });
    return walked;
}

// Clears a copy of the filled trie (the host list's "clear all").
int64_t TrieClear(const std::string& file) {
    std::filesystem::copy_file(TrieFile(), file, std::filesystem::copy_options::overwrite_existing);
    TTrieSession session(file);
    session.Indexer->Clear();
    return KeyCount;
}

// ---- SQLite ----

void Check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) throw std::runtime_error(sqlite3_errmsg(db));
}

int64_t SqliteInsert(const std::string& file) {
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    Check(sqlite3_open(file.c_str(), &db), db);
    Check(
        sqlite3_exec(db, "CREATE TABLE hosts (k BLOB PRIMARY KEY, v INTEGER) WITHOUT ROWID", nullptr, nullptr, nullptr),
        db);
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO hosts VALUES (?, ?)", -1, &insert, nullptr), db);
    int i = 0;
    for (const auto& key : Keys()) {
        sqlite3_bind_blob(insert, 1, key.data(), int(key.size()), SQLITE_STATIC);
        sqlite3_bind_int(insert, 2, ++i);
        Check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
    return KeyCount;
}

struct TSqliteSession {
    explicit TSqliteSession(const std::string& file) {
        Check(sqlite3_open(file.c_str(), &Db), Db);
        Check(sqlite3_exec(Db, "BEGIN", nullptr, nullptr, nullptr), Db);
    }
    ~TSqliteSession() {
        sqlite3_exec(Db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(Db);
    }
    sqlite3* Db = nullptr;
};

int64_t SqliteFind(TSqliteSession& session) {
    sqlite3_stmt* find = nullptr;
    Check(sqlite3_prepare_v2(session.Db, "SELECT v FROM hosts WHERE k = ?", -1, &find, nullptr), session.Db);
    int64_t found = 0;
    for (const auto& key : Keys()) {
        sqlite3_bind_blob(find, 1, key.data(), int(key.size()), SQLITE_STATIC);
        if (sqlite3_step(find) == SQLITE_ROW) found += sqlite3_column_int(find, 0) > 0;
        sqlite3_reset(find);
    }
    sqlite3_finalize(find);
    return found;
}

int64_t SqliteClear(const std::string& file) {
    std::filesystem::copy_file(SqliteFile(), file, std::filesystem::copy_options::overwrite_existing);
    TSqliteSession session(file);
    Check(sqlite3_exec(session.Db, "DELETE FROM hosts", nullptr, nullptr, nullptr), session.Db);
    return KeyCount;
}

int64_t SqliteWalk(TSqliteSession& session) {
    sqlite3_stmt* walk = nullptr;
    Check(sqlite3_prepare_v2(session.Db, "SELECT k, v FROM hosts ORDER BY k", -1, &walk, nullptr), session.Db);
    int64_t walked = 0;
    while (sqlite3_step(walk) == SQLITE_ROW) walked += sqlite3_column_bytes(walk, 0);
    sqlite3_finalize(walk);
    return walked;
}

// ---- cold runs: one operation in a fresh process on a freshly opened file ----

int64_t RunOnce(const std::string& op) {
    if (op == "trie-insert") return TrieInsert(TrieFile());
    if (op == "btree-insert") return IndexInsert(BTreeFile(), true);
    if (op == "btree-find") {
        TTrieSession session(BTreeFile(), true);
        return TrieFind(session);
    }
    if (op == "btree-walk") {
        TTrieSession session(BTreeFile(), true);
        return TrieWalk(session);
    }
    if (op == "sqlite-insert") return SqliteInsert(SqliteFile());
    if (op == "trie-find") {
        TTrieSession session(TrieFile());
        return TrieFind(session);
    }
    if (op == "trie-walk") {
        TTrieSession session(TrieFile());
        return TrieWalk(session);
    }
    if (op == "trie-walk-once") {
        TTrieSession session(TrieFile());
        return TrieWalkOnce(session);
    }
    if (op == "trie-clear") return TrieClear((BenchDir() / "clear.ostra").string());
    if (op == "sqlite-clear") return SqliteClear((BenchDir() / "clear.sqlite").string());
    if (op == "sqlite-find") {
        TSqliteSession session(SqliteFile());
        return SqliteFind(session);
    }
    if (op == "sqlite-walk") {
        TSqliteSession session(SqliteFile());
        return SqliteWalk(session);
    }
    throw std::runtime_error("unknown operation " + op);
}

// Runs the command line and returns the seconds the program printed first.
double TimedRun(const std::string& line) {
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot start " + line);
    double seconds = -1;
    if (fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
    if (pclose(pipe) != 0 || seconds < 0) throw std::runtime_error("failed: " + line);
    return seconds;
}

std::filesystem::path Self() { return std::filesystem::read_symlink("/proc/" + std::to_string(getpid()) + "/exe"); }

std::string Quoted(const std::string& text) {
    std::string quoted(1, '\'');
    quoted += text;
    quoted += '\'';
    return quoted;
}

// Runs "<self> --child <op> <dir>" and returns the seconds the child measured.
double ColdRun(const std::string& op) {
    return TimedRun(Quoted(Self().string()) + " --child " + op + " " + Quoted(BenchDir().string()));
}

void EnsureFiles() {
    static bool done = [] {
        TrieInsert(TrieFile());
        IndexInsert(BTreeFile(), true);
        SqliteInsert(SqliteFile());
        return true;
    }();
    (void)done;
}

void Cold(benchmark::State& state, const char* op) {
    EnsureFiles();
    for (auto _ : state) state.SetIterationTime(ColdRun(op));
    state.SetItemsProcessed(int64_t(state.iterations()) * KeyCount);
}

template <class TSession, int64_t (*Work)(TSession&), const char* (*FileOf)()> void Warm(benchmark::State& state) {
    EnsureFiles();
    TSession session(FileOf());
    Work(session);
    for (auto _ : state) benchmark::DoNotOptimize(Work(session));
    state.SetItemsProcessed(int64_t(state.iterations()) * KeyCount);
}

// The floor of the cold walk: trie_walk_floor, built beside this program, over the same file.
void BM_FloorWalkCold(benchmark::State& state) {
    EnsureFiles();
    std::string floor = (Self().parent_path() / "trie_walk_floor").string();
    for (auto _ : state)
        state.SetIterationTime(TimedRun(Quoted(floor) + " " + Quoted(TrieFile()) + " " + std::to_string(IndexLink)));
    state.SetItemsProcessed(int64_t(state.iterations()) * KeyCount);
}

const char* TrieFileName() {
    static std::string name = TrieFile();
    return name.c_str();
}
const char* SqliteFileName() {
    static std::string name = SqliteFile();
    return name.c_str();
}

void BM_TrieInsert(benchmark::State& state) { Cold(state, "trie-insert"); }
void BM_SqliteInsert(benchmark::State& state) { Cold(state, "sqlite-insert"); }
void BM_TrieFindCold(benchmark::State& state) { Cold(state, "trie-find"); }
void BM_SqliteFindCold(benchmark::State& state) { Cold(state, "sqlite-find"); }
void BM_TrieWalkCold(benchmark::State& state) { Cold(state, "trie-walk"); }
void BM_BTreeInsert(benchmark::State& state) { Cold(state, "btree-insert"); }
void BM_BTreeFindCold(benchmark::State& state) { Cold(state, "btree-find"); }
void BM_BTreeWalkCold(benchmark::State& state) { Cold(state, "btree-walk"); }
void BM_SqliteWalkCold(benchmark::State& state) { Cold(state, "sqlite-walk"); }
void BM_TrieWalkOnceCold(benchmark::State& state) { Cold(state, "trie-walk-once"); }
void BM_TrieClearCold(benchmark::State& state) { Cold(state, "trie-clear"); }
void BM_SqliteClearCold(benchmark::State& state) { Cold(state, "sqlite-clear"); }

BENCHMARK(BM_TrieInsert)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteInsert)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TrieFindCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteFindCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TrieWalkCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteWalkCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FloorWalkCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TrieWalkOnceCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TrieClearCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteClearCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BTreeInsert)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BTreeFindCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BTreeWalkCold)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Warm<TTrieSession, TrieFind, TrieFileName>)->Name("BM_TrieFindWarm")->Unit(benchmark::kMillisecond);
BENCHMARK(Warm<TSqliteSession, SqliteFind, SqliteFileName>)->Name("BM_SqliteFindWarm")->Unit(benchmark::kMillisecond);
BENCHMARK(Warm<TTrieSession, TrieWalk, TrieFileName>)->Name("BM_TrieWalkWarm")->Unit(benchmark::kMillisecond);
BENCHMARK(Warm<TSqliteSession, SqliteWalk, SqliteFileName>)->Name("BM_SqliteWalkWarm")->Unit(benchmark::kMillisecond);
BENCHMARK(Warm<TTrieSession, TrieWalkOnce, TrieFileName>)->Name("BM_TrieWalkOnceWarm")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    StartStorageEngine();
    // INDEX_BENCH_PAGES=n keeps at most n pages in the file's buffer, so that a commit outgrows it.
    if (const char* pages = getenv("INDEX_BENCH_PAGES"))
        PageBufferLimits.MaxWaitingPages = PageBufferLimits.MaxKeptPages =
            std::max<size_t>(1, std::strtoul(pages, nullptr, 10));
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        // A cold run: this process has opened nothing before. Its heap is readied as the web
        // program readies it for a page.
        PrepareHeap(size_t(64) << 20);
        ChildDir = argv[3];
        Keys();
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(RunOnce(argv[2]));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%.9f\n", seconds);
        StopStorageEngine();
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(BenchDir());
    StopStorageEngine();
    return 0;
}

// Cost of a durable commit, beside SQLite in its rollback-journal mode (journal_mode=DELETE,
// synchronous=FULL) doing the same work in the same run, rounds alternating, medians printed:
// a web-request cycle (open, walk 10 links, change 3 records, commit, close), the same cycle
// changing nothing, and a whole site-name change of the counter database. Files live beside the
// program (a real disk: syncs cost what they cost). Usage: commit_bench [ROUNDS]
#include "counterdb/UCounter.h"
#include "storage/Corvane.h"

#include "SqliteYardstick.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {
constexpr int Nodes = 100;
constexpr int Leaves = 100;
constexpr const char* Params = "Class:{28C7266E-7262-431C-BF61-DCB4F19C8DC0}; Mode:";

std::filesystem::path BenchDir() {
    static std::filesystem::path dir = BenchFolder("commit-bench-", std::filesystem::current_path());
    return dir;
}
std::string FileIn(const std::string& name) { return (BenchDir() / name).string(); }

// SQLite in its rollback-journal mode, synced at every commit.
struct TJournaledSqlite : TSqlite {
    explicit TJournaledSqlite(const std::string& file) : TSqlite(file) {
        Exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    }
};

// A root with 100 nodes of 100 leaves each, in both stores; key = node * 1000 + leaf.
void BuildFiles() {
    TRef<IVirtualStorage> storage = CreateStorage(FileIn("tree.ostra"), std::string(Params) + "Create");
    {
        TRef<IStorageTransaction> t = storage->StartTransaction();
        TRef<IVirtualAtom> root = t->OpenRoot();
        for (int n = 0; n < Nodes; ++n) {
            TRef<IVirtualAtom> node = t->NewAtom();
            node->SetText("node " + std::to_string(n));
            for (int l = 0; l < Leaves; ++l) {
                TRef<IVirtualAtom> leaf = t->NewAtom();
                leaf->SetText("leaf " + std::to_string(n * 1000 + l) + " of the benchmark tree");
                node->SetLink(uint32_t(l), leaf.get());
            }
            root->SetLink(uint32_t(n), node.get());
        }
        root.reset();
        t->Commit();
    }
    storage.reset();

    TJournaledSqlite db(FileIn("tree.sqlite"));
    db.Exec("CREATE TABLE atoms(id INTEGER PRIMARY KEY, data BLOB) WITHOUT ROWID; BEGIN");
    sqlite3_stmt* insert = db.Prepare("INSERT INTO atoms VALUES(?, ?)");
    for (int n = 0; n < Nodes; ++n)
        for (int l = -1; l < Leaves; ++l) {
            std::string text = "leaf " + std::to_string(n * 1000 + l) + " of the benchmark tree";
            sqlite3_bind_int(insert, 1, n * 1000 + l);
            sqlite3_bind_text(insert, 2, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
    sqlite3_finalize(insert);
    db.Exec("COMMIT");
}

std::mt19937 Random(7);

void OstraCycle(int changes) {
    TRef<IVirtualStorage> storage = CreateStorage(FileIn("tree.ostra"), std::string(Params) + "Open");
    TRef<IStorageTransaction> t = storage->StartTransaction();
    TRef<IVirtualAtom> root = t->OpenRootAccess(AccessReadLinks);
    for (int step = 0; step < 10; ++step) {
        TRef<IVirtualAtom> node = root->OpenLinkAccess(Random() % Nodes, AccessReadLinks);
        TRef<IVirtualAtom> leaf = node->OpenLink(Random() % Leaves);
        std::string text = leaf->GetText();
        if (step < changes) leaf->SetText(text.substr(0, 60) + "+");
    }
    root.reset();
    t->Commit();
}

void SqliteCycle(int changes) {
    TJournaledSqlite db(FileIn("tree.sqlite"));
    db.Exec("BEGIN");
    sqlite3_stmt* select = db.Prepare("SELECT data FROM atoms WHERE id=?");
    sqlite3_stmt* update = db.Prepare("UPDATE atoms SET data=? WHERE id=?");
    for (int step = 0; step < 10; ++step) {
        int key = int(Random() % Nodes) * 1000 + int(Random() % Leaves);
        sqlite3_bind_int(select, 1, key);
        sqlite3_step(select);
        std::string text(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
        sqlite3_reset(select);
        if (step < changes) {
            text = text.substr(0, 60) + "+";
            sqlite3_bind_text(update, 1, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(update, 2, key);
            sqlite3_step(update);
            sqlite3_reset(update);
        }
    }
    sqlite3_finalize(select);
    sqlite3_finalize(update);
    db.Exec("COMMIT");
}

int SiteNames = 0;

void CounterSiteName() {
    TRef<ICounter> counter = OpenCounter(FileIn("site.ostra"));
    counter->SetSiteName("Site " + std::to_string(++SiteNames));
    CloseCounter(counter);
}

void SqliteSiteName() {
    TJournaledSqlite db(FileIn("site.sqlite"));
    db.Exec("BEGIN");
    sqlite3_stmt* update = db.Prepare("UPDATE settings SET value=? WHERE name='sitename'");
    std::string name = "Site " + std::to_string(++SiteNames);
    sqlite3_bind_text(update, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_step(update);
    sqlite3_finalize(update);
    db.Exec("COMMIT");
}

void BuildSiteFiles() {
    TRef<ICounter> counter = OpenCounter(FileIn("site.ostra"));
    CloseCounter(counter);
    TJournaledSqlite db(FileIn("site.sqlite"));
    db.Exec("CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;"
                "INSERT INTO settings VALUES('sitename', 'Your Site');");
}

double Milliseconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Compare(const char* what, int rounds, const std::function<void()>& ours, const std::function<void()>& sqlite) {
    std::vector<double> a, b;
    for (int round = 0; round < rounds; ++round) {
        a.push_back(Milliseconds(ours));
        b.push_back(Milliseconds(sqlite));
    }
    double x = Median(a), y = Median(b);
    std::printf("%-34s %9.3f ms %9.3f ms %7.2fx\n", what, x, y, x / y);
}
} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    StartStorageEngine();
    BuildFiles();
    BuildSiteFiles();
    std::printf("%-34s %12s %12s %8s\n", "median of alternating rounds", "Kestrow", "SQLite", "ratio");
    Compare("web cycle, 3 changes, commit", rounds, [] { OstraCycle(3); }, [] { SqliteCycle(3); });
    Compare("web cycle, nothing changed", rounds, [] { OstraCycle(0); }, [] { SqliteCycle(0); });
    Compare("site name changed (editsname)", rounds, CounterSiteName, SqliteSiteName);
    StopStorageEngine();
    std::filesystem::remove_all(BenchDir());
    return 0;
}

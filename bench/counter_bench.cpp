// Counter database timings on a site-sized file (100,000 hosts, 500 pages x 365 days, 5,000
// referring sites), with SQLite doing the same work on an equivalent schema as the yardstick.
// Build figures and file sizes go to stderr; the timings are Google Benchmark's.
#include "counterdb/UCounter.h"
#include "platform/Heap.h"

#include "SqliteYardstick.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <stdlib.h>

namespace {

constexpr int HostCount = 100000;
constexpr int PageCount = 500;
constexpr int DayCount = 365;
constexpr int RefererCount = 5000;
constexpr int Corrections = 10000;
constexpr int CalendarDays = 31;
constexpr int CalendarPages = 100;
constexpr TDateTime FirstDay = 46023.0; // 1 January 2026

std::filesystem::path Folder;
std::string CounterFile;
std::string SqliteFile;

std::string HostName(int i) {
    return std::to_string(10 + i % 200) + "." + std::to_string(i / 40000) + "." + std::to_string(i / 200 % 200) + "." +
           std::to_string(i % 251);
}
std::string PageName(int i) { return "/section" + std::to_string(i % 17) + "/page" + std::to_string(i) + ".htm"; }
std::string RefererName(int i) { return "http://www.site" + std::to_string(i) + ".example/from/here"; }

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TRef<ICounter> OpenOrDie() {
    TRef<ICounter> counter = OpenCounter(CounterFile);
    if (!counter) throw std::runtime_error("cannot open " + CounterFile);
    return counter;
}

// Work in sessions of bounded size: each session is one transaction.
template <class Step> void InSessions(int total, int perSession, Step&& step) {
    for (int first = 0; first < total; first += perSession) {
        TRef<ICounter> counter = OpenOrDie();
        for (int i = first; i < std::min(total, first + perSession); ++i) step(*counter, i);
        CloseCounter(counter);
    }
}

void BuildCounterDatabase() {
    auto start = std::chrono::steady_clock::now();
    InSessions(HostCount, 10000, [](ICounter& c, int i) {
        c.RegisterVisit(HostName(i), "", FirstDay + (i % DayCount) + 0.5, false, false, false);
    });
    std::fprintf(stderr, "counter: %d hosts built in %.1f s\n", HostCount, Seconds(start));
    start = std::chrono::steady_clock::now();
    InSessions(PageCount * DayCount, 20000, [](ICounter& c, int i) {
        int page = i / DayCount, day = i % DayCount;
        c.AddHitByDate("", PageName(page), FirstDay + day + 0.25);
        if (page == 0) c.AddHitByDate("", "", FirstDay + day + 0.25);
    });
    std::fprintf(stderr, "counter: %d page days built in %.1f s\n", PageCount * DayCount, Seconds(start));
    start = std::chrono::steady_clock::now();
    InSessions(RefererCount, 5000,
               [](ICounter& c, int i) { c.RegisterReferer(RefererName(i), FirstDay + i % DayCount); });
    std::fprintf(stderr, "counter: %d referrers built in %.1f s\n", RefererCount, Seconds(start));
}

// ---- SQLite yardstick ----------------------------------------------------------------------


void Run(sqlite3_stmt* s) {
    while (sqlite3_step(s) == SQLITE_ROW) {}
    sqlite3_reset(s);
}
void BindText(sqlite3_stmt* s, int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.data(), int(t.size()), SQLITE_TRANSIENT);
}

constexpr const char* SqlSchema = "PRAGMA journal_mode=WAL;"
                                  "CREATE TABLE hosts(ip TEXT PRIMARY KEY, last REAL, hits INT, visits INT);"
                                  "CREATE TABLE pages(name TEXT PRIMARY KEY, date REAL, count INT);"
                                  "CREATE TABLE page_days(page TEXT, day REAL, hits INT, PRIMARY KEY(page, day));"
                                  "CREATE TABLE site_days(day REAL PRIMARY KEY, hits INT);"
                                  "CREATE TABLE referrers(host TEXT PRIMARY KEY, last REAL, count INT);"
                                  "CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT);"
                                  "INSERT INTO settings VALUES('total_hits','0');";

constexpr const char* SqlAddPageDay =
    "INSERT INTO page_days VALUES(?1, ?2, 1) ON CONFLICT(page, day) DO UPDATE SET hits = hits + 1";
constexpr const char* SqlAddSiteDay =
    "INSERT INTO site_days VALUES(?1, 1) ON CONFLICT(day) DO UPDATE SET hits = hits + 1";
constexpr const char* SqlNodeHit =
    "INSERT INTO pages VALUES(?1, ?2, 1) ON CONFLICT(name) DO UPDATE SET count = count + 1";
constexpr const char* SqlTotalHit = "UPDATE settings SET value = value + 1 WHERE name = 'total_hits'";

void BuildSqliteDatabase() {
    auto start = std::chrono::steady_clock::now();
    TSqlite db(SqliteFile);
    db.Exec(SqlSchema);
    db.Exec("BEGIN");
    sqlite3_stmt* host = db.Prepare("INSERT INTO hosts VALUES(?1, ?2, 1, 1)");
    for (int i = 0; i < HostCount; ++i) {
        BindText(host, 1, HostName(i));
        sqlite3_bind_double(host, 2, FirstDay + (i % DayCount) + 0.5);
        Run(host);
    }
    sqlite3_finalize(host);
    sqlite3_stmt* pageDay = db.Prepare(SqlAddPageDay);
    sqlite3_stmt* siteDay = db.Prepare(SqlAddSiteDay);
    sqlite3_stmt* page = db.Prepare("INSERT OR IGNORE INTO pages VALUES(?1, ?2, 0)");
    for (int p = 0; p < PageCount; ++p) {
        BindText(page, 1, PageName(p));
        sqlite3_bind_double(page, 2, FirstDay);
        Run(page);
        for (int d = 0; d < DayCount; ++d) {
            BindText(pageDay, 1, PageName(p));
            sqlite3_bind_double(pageDay, 2, FirstDay + d);
            Run(pageDay);
            if (p == 0) {
                sqlite3_bind_double(siteDay, 1, FirstDay + d);
                Run(siteDay);
            }
        }
    }
    sqlite3_finalize(pageDay);
    sqlite3_finalize(siteDay);
    sqlite3_finalize(page);
    sqlite3_stmt* referrer = db.Prepare("INSERT INTO referrers VALUES(?1, ?2, 1)");
    for (int i = 0; i < RefererCount; ++i) {
        BindText(referrer, 1, "SITE" + std::to_string(i) + ".EXAMPLE");
        sqlite3_bind_double(referrer, 2, FirstDay + i % DayCount);
        Run(referrer);
    }
    sqlite3_finalize(referrer);
    db.Exec("COMMIT");
    std::fprintf(stderr, "sqlite: database built in %.1f s\n", Seconds(start));
}

// ---- benchmarks ------------------------------------------------------------------------------

void Counter_OpenRelease(benchmark::State& state) {
    for (auto _ : state) {
        TRef<ICounter> counter = OpenOrDie();
        benchmark::DoNotOptimize(counter->GetInterval());
        counter.reset();
    }
}

void Sqlite_OpenClose(benchmark::State& state) {
    for (auto _ : state) {
        TSqlite db(SqliteFile);
        sqlite3_stmt* s = db.Prepare("SELECT value FROM settings WHERE name = 'total_hits'");
        Run(s);
        sqlite3_finalize(s);
    }
}

void Counter_HostListSorted(benchmark::State& state) {
    TRef<ICounter> counter = OpenOrDie();
    for (auto _ : state) {
        TStringList hosts = counter->GetHostList(2);
        if (hosts.Count() != HostCount) state.SkipWithError("wrong host count");
        benchmark::DoNotOptimize(hosts.Count());
    }
}

void Sqlite_HostListSorted(benchmark::State& state) {
    TSqlite db(SqliteFile);
    sqlite3_stmt* s = db.Prepare("SELECT ip, last, hits, visits FROM hosts ORDER BY hits DESC");
    for (auto _ : state) {
        std::vector<std::pair<std::string, int>> rows;
        rows.reserve(HostCount);
        while (sqlite3_step(s) == SQLITE_ROW)
            rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_int(s, 2));
        sqlite3_reset(s);
        benchmark::DoNotOptimize(rows.size());
    }
    sqlite3_finalize(s);
}

// The admin utility's correction: a page hit on a day counts for the page and the site.
void Counter_Corrections(benchmark::State& state) {
    for (auto _ : state) {
        TRef<ICounter> counter = OpenOrDie();
        for (int i = 0; i < Corrections; ++i) {
            std::string page = PageName(i % PageCount);
            TDateTime day = FirstDay + (i * 7) % DayCount;
            counter->AddHitByDate("BBB", page, day);
            counter->AddHitByDate("BBB", "", day);
            counter->RegisterNodeHit("BBB", page, false);
        }
        CloseCounter(counter);
    }
}

void Sqlite_Corrections(benchmark::State& state) {
    TSqlite db(SqliteFile);
    sqlite3_stmt* pageDay = db.Prepare(SqlAddPageDay);
    sqlite3_stmt* siteDay = db.Prepare(SqlAddSiteDay);
    sqlite3_stmt* node = db.Prepare(SqlNodeHit);
    sqlite3_stmt* total = db.Prepare(SqlTotalHit);
    for (auto _ : state) {
        db.Exec("BEGIN");
        for (int i = 0; i < Corrections; ++i) {
            std::string page = PageName(i % PageCount);
            double day = FirstDay + (i * 7) % DayCount;
            BindText(pageDay, 1, page);
            sqlite3_bind_double(pageDay, 2, day);
            Run(pageDay);
            sqlite3_bind_double(siteDay, 1, day);
            Run(siteDay);
            BindText(node, 1, page);
            sqlite3_bind_double(node, 2, day);
            Run(node);
            Run(total);
        }
        db.Exec("COMMIT");
    }
    for (sqlite3_stmt* s : {pageDay, siteDay, node, total}) sqlite3_finalize(s);
}

void Counter_Calendar(benchmark::State& state) {
    TRef<ICounter> counter = OpenOrDie();
    for (auto _ : state) {
        int64_t sum = 0;
        for (int p = 0; p < CalendarPages; ++p) {
            std::string page = PageName(p);
            for (int d = 0; d < CalendarDays; ++d) sum += counter->GetHitsByDate(page, FirstDay + 100 + d);
        }
        benchmark::DoNotOptimize(sum);
    }
}

void Sqlite_Calendar(benchmark::State& state) {
    TSqlite db(SqliteFile);
    sqlite3_stmt* s = db.Prepare("SELECT hits FROM page_days WHERE page = ?1 AND day = ?2");
    for (auto _ : state) {
        int64_t sum = 0;
        for (int p = 0; p < CalendarPages; ++p) {
            std::string page = PageName(p);
            for (int d = 0; d < CalendarDays; ++d) {
                BindText(s, 1, page);
                sqlite3_bind_double(s, 2, FirstDay + 100 + d);
                if (sqlite3_step(s) == SQLITE_ROW) sum += sqlite3_column_int(s, 0);
                sqlite3_reset(s);
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_finalize(s);
}

// A month of every page as the calendar request reads it, each time in a fresh session: all
// pages in one pass, and the same page by page after a walk of the names.
void Counter_CalendarMonthEveryPage(benchmark::State& state) {
    for (auto _ : state) {
        TRef<ICounter> counter = OpenOrDie();
        int64_t sum = 0;
        for (const TPageDays& page : counter->GetHitsForDaysOfPages(int32_t(FirstDay) + 100, CalendarDays))
            for (int32_t hits : page.Hits) sum += hits;
        benchmark::DoNotOptimize(sum);
        CloseCounter(counter);
    }
}

void Counter_CalendarMonthPageByPage(benchmark::State& state) {
    for (auto _ : state) {
        TRef<ICounter> counter = OpenOrDie();
        int64_t sum = 0;
        for (const auto& entry : counter->GetNodeNames())
            for (int32_t hits : counter->GetHitsForDays(entry.Text, int32_t(FirstDay) + 100, CalendarDays)) sum += hits;
        benchmark::DoNotOptimize(sum);
        CloseCounter(counter);
    }
}

void Sqlite_CalendarMonthEveryPage(benchmark::State& state) {
    for (auto _ : state) {
        TSqlite db(SqliteFile);
        sqlite3_stmt* s = db.Prepare("SELECT pages.name, page_days.day, page_days.hits FROM pages LEFT JOIN page_days"
                                     " ON page_days.page = pages.name AND page_days.day BETWEEN ?1 AND ?2"
                                     " ORDER BY pages.name");
        sqlite3_bind_double(s, 1, FirstDay + 100);
        sqlite3_bind_double(s, 2, FirstDay + 100 + CalendarDays - 1);
        int64_t sum = 0;
        while (sqlite3_step(s) == SQLITE_ROW) sum += sqlite3_column_int(s, 2);
        benchmark::DoNotOptimize(sum);
        sqlite3_finalize(s);
    }
}

void Counter_AllDaysSum(benchmark::State& state) {
    TRef<ICounter> counter = OpenOrDie();
    for (auto _ : state) {
        int32_t site = counter->GetHitsForPeriod("", true, 0, 0);
        int32_t page = counter->GetHitsForPeriod(PageName(1), true, 0, 0);
        benchmark::DoNotOptimize(site + page);
    }
}

void Sqlite_AllDaysSum(benchmark::State& state) {
    TSqlite db(SqliteFile);
    sqlite3_stmt* site = db.Prepare("SELECT SUM(hits) FROM site_days");
    sqlite3_stmt* page = db.Prepare("SELECT SUM(hits) FROM page_days WHERE page = ?1");
    for (auto _ : state) {
        Run(site);
        BindText(page, 1, PageName(1));
        Run(page);
    }
    sqlite3_finalize(site);
    sqlite3_finalize(page);
}

BENCHMARK(Counter_OpenRelease)->Unit(benchmark::kMillisecond);
BENCHMARK(Sqlite_OpenClose)->Unit(benchmark::kMillisecond);
BENCHMARK(Counter_HostListSorted)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Sqlite_HostListSorted)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Counter_Corrections)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(Sqlite_Corrections)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(Counter_Calendar)->Unit(benchmark::kMillisecond);
BENCHMARK(Sqlite_Calendar)->Unit(benchmark::kMillisecond);
BENCHMARK(Counter_CalendarMonthEveryPage)->Unit(benchmark::kMillisecond);
BENCHMARK(Counter_CalendarMonthPageByPage)->Unit(benchmark::kMillisecond);
BENCHMARK(Sqlite_CalendarMonthEveryPage)->Unit(benchmark::kMillisecond);
BENCHMARK(Counter_AllDaysSum)->Unit(benchmark::kMillisecond);
BENCHMARK(Sqlite_AllDaysSum)->Unit(benchmark::kMillisecond);

void ReportSizes(const char* when) {
    std::fprintf(stderr, "%s: counter file %.1f MB, sqlite file %.1f MB\n", when,
                 double(std::filesystem::file_size(CounterFile)) / 1e6,
                 double(std::filesystem::file_size(SqliteFile)) / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The heap as the web program readies it for a page listing every host; both sides share it.
    PrepareHeap(size_t(300) * HostCount);
    // A private folder of our own (mkdtemp), so that no clean-up of other runs can touch it.
    std::string pattern = (std::filesystem::temp_directory_path() / "counterdb-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    Folder = pattern;
    CounterFile = (Folder / "site.ostra").string();
    SqliteFile = (Folder / "site.sqlite").string();
    int status = 0;
    try {
        BuildCounterDatabase();
        BuildSqliteDatabase();
        ReportSizes("built");
        benchmark::RunSpecifiedBenchmarks();
        ReportSizes("after the runs");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        status = 1;
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder);
    return status;
}

// Fills a counter database for bench/cgi_bench.py and bench/scale_bench.py: N hosts with visits
// spread over DAYS days (60), M site pages with hits on some of those days, and REFERRERS
// referring sites (300); with a fourth argument it copies the same data into an SQLite file for
// cgi_sqlite; with a fifth, "shuffled", the hosts come in no order, as visitors do, instead of by
// address ("ordered"). Not a benchmark itself.
// Usage: cgi_bench_db FILE [HOSTS] [PAGES] [SQLITE_FILE] [shuffled|ordered] [REFERRERS] [DAYS]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "counterdb/UCounter.h"
#include "platform/Bitmap.h"
#include "storage/Corvane.h"

namespace {

void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : "sqlite error";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

// Runs sql once for each row that bind fills.
template <class Rows> void Insert(sqlite3* db, const char* sql, Rows&& rows) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
    rows(
        [&] {
            sqlite3_step(statement);
            sqlite3_reset(statement);
        },
        statement);
    sqlite3_finalize(statement);
}

// The counter's data as a web developer would keep it in SQLite, with the skin-0 logo as an
// 8-bit picture (a 6x6x6 colour cube) ready for giflib.
void CopyToSqlite(ICounter& counter, const std::string& file, int days) {
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + file);
    Exec(db, "PRAGMA journal_mode=WAL;"
             "CREATE TABLE hosts(ip TEXT PRIMARY KEY, last REAL, hits INT, visits INT);"
             "CREATE INDEX hosts_last ON hosts(last);"
             "CREATE TABLE skips(ip TEXT PRIMARY KEY);"
             "CREATE TABLE pages(name TEXT PRIMARY KEY, date REAL, count INT);"
             "CREATE TABLE page_days(page TEXT, day REAL, hits INT, PRIMARY KEY(page, day)) WITHOUT ROWID;"
             "CREATE TABLE site_days(day REAL PRIMARY KEY, hits INT);"
             "CREATE TABLE referrers(host TEXT PRIMARY KEY, last REAL, count INT);"
             "CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT);"
             "CREATE TABLE previews(skin INT PRIMARY KEY, width INT, height INT, palette BLOB, pixels BLOB);"
             "BEGIN;");
    Insert(db, "INSERT INTO hosts VALUES(?, ?, ?, ?)", [&](auto step, sqlite3_stmt* s) {
        TStringList hosts = counter.GetHostList(0);
        for (int i = 0; i < hosts.Count(); ++i) {
            const TCObject* data = hosts.ObjectAs<TCObject>(i);
            sqlite3_bind_text(s, 1, hosts[i].c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(s, 2, data->Date);
            sqlite3_bind_int(s, 3, data->Hits);
            sqlite3_bind_int(s, 4, data->Visits);
            step();
        }
    });
    Insert(db, "INSERT INTO skips VALUES(?)", [&](auto step, sqlite3_stmt* s) {
        for (const auto& entry : counter.GetSkipList()) {
            sqlite3_bind_text(s, 1, entry.Text.c_str(), -1, SQLITE_TRANSIENT);
            step();
        }
    });
    TStringList pages = counter.GetNodeList(0);
    Insert(db, "INSERT INTO pages VALUES(?, ?, ?)", [&](auto step, sqlite3_stmt* s) {
        for (int i = 0; i < pages.Count(); ++i) {
            sqlite3_bind_text(s, 1, pages[i].c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(s, 2, pages.ObjectAs<TCObject>(i)->Date);
            sqlite3_bind_int(s, 3, pages.ObjectAs<TCObject>(i)->Hits);
            step();
        }
    });
    const int span = std::max(days, 90);
    int32_t first = int32_t(std::floor(Now())) - span;
    Insert(db, "INSERT INTO page_days VALUES(?, ?, ?)", [&](auto step, sqlite3_stmt* s) {
        for (int i = 0; i < pages.Count(); ++i) {
            std::vector<int32_t> hits = counter.GetHitsForDays(pages[i], first, span + 1);
            for (size_t d = 0; d < hits.size(); ++d) {
                if (hits[d] == 0) continue;
                sqlite3_bind_text(s, 1, pages[i].c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_double(s, 2, first + double(d));
                sqlite3_bind_int(s, 3, hits[d]);
                step();
            }
        }
    });
    Insert(db, "INSERT INTO site_days VALUES(?, ?)", [&](auto step, sqlite3_stmt* s) {
        std::vector<int32_t> hosts = counter.GetHostsForDays(first, span + 1);
        for (size_t d = 0; d < hosts.size(); ++d) {
            sqlite3_bind_double(s, 1, first + double(d));
            sqlite3_bind_int(s, 2, hosts[d]);
            step();
        }
    });
    Insert(db, "INSERT INTO referrers VALUES(?, ?, ?)", [&](auto step, sqlite3_stmt* s) {
        TStringList referrers = counter.GetRefererList(0);
        for (int i = 0; i < referrers.Count(); ++i) {
            sqlite3_bind_text(s, 1, referrers[i].c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(s, 2, referrers.ObjectAs<TCObject>(i)->Date);
            sqlite3_bind_int(s, 3, referrers.ObjectAs<TCObject>(i)->Hits);
            step();
        }
    });
    Insert(db, "INSERT INTO settings VALUES('site', ?)", [&](auto step, sqlite3_stmt* s) {
        sqlite3_bind_text(s, 1, counter.GetSiteName().c_str(), -1, SQLITE_TRANSIENT);
        step();
    });
    Insert(db, "INSERT INTO previews VALUES(0, ?, ?, ?, ?)", [&](auto step, sqlite3_stmt* s) {
        TSkinImages images;
        counter.GetSkinImages(0, images);
        TBitmap logo;
        logo.LoadFromBMP(images[0]->Bytes());
        std::string palette(768, '\0'), pixels;
        for (int i = 0; i < 216; ++i) {
            palette[size_t(3 * i)] = char(i / 36 * 51);
            palette[size_t(3 * i + 1)] = char(i / 6 % 6 * 51);
            palette[size_t(3 * i + 2)] = char(i % 6 * 51);
        }
        for (int y = 0; y < logo.Height(); ++y)
            for (int x = 0; x < logo.Width(); ++x) {
                TColor c = logo.Pixel(x, y);
                pixels += char((c & 0xFF) / 51 * 36 + (c >> 8 & 0xFF) / 51 * 6 + (c >> 16 & 0xFF) / 51);
            }
        sqlite3_bind_int(s, 1, logo.Width());
        sqlite3_bind_int(s, 2, logo.Height());
        sqlite3_bind_blob(s, 3, palette.data(), int(palette.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(s, 4, pixels.data(), int(pixels.size()), SQLITE_TRANSIENT);
        step();
    });
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [HOSTS] [PAGES] [SQLITE_FILE] [shuffled|ordered] [REFERRERS] [DAYS]\n",
                     argv[0]);
        return 2;
    }
    int hosts = argc > 2 ? std::atoi(argv[2]) : 10000;
    int pages = argc > 3 ? std::atoi(argv[3]) : 500;
    int referrers = std::max(argc > 6 ? std::atoi(argv[6]) : 300, 1);
    int days = std::max(argc > 7 ? std::atoi(argv[7]) : 60, 1);
    // The pages' hits: every third day of the last month, or with DAYS given of the whole span,
    // which spreads the day tables over the file as a year's visits do.
    const bool spread = argc > 7;
    const int pageDays = spread ? days : 31, pageDayStep = 3;
    std::vector<int> order(size_t(std::max(hosts, 0)));
    for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
    if (argc > 5 && std::string(argv[5]) == "shuffled") std::shuffle(order.begin(), order.end(), std::mt19937(7));
    StartStorageEngine();
    int status = 0;
    {
        TRef<ICounter> counter = OpenCounter(argv[1]);
        if (!counter) {
            std::fprintf(stderr, "cannot open %s\n", argv[1]);
            status = 1;
        } else {
            TDateTime today = Now();
            for (int i : order) {
                std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                                 std::to_string(i % 256);
                TDateTime when = today - (i % days) - (i % 1440) / 1440.0;
                counter->RegisterVisit(ip, "http://site" + std::to_string(i % referrers) + ".example/", when, true,
                                       true, true);
                counter->AddHitByDate(ip, "", when);
            }
            for (int p = 0; p < pages; ++p) {
                std::string node = "/section" + std::to_string(p % 20) + "/page" + std::to_string(p) + ".html";
                counter->AddNode(node);
                for (int h = 0; h <= p % 7; ++h) counter->RegisterNodeHit("10.0.0.1", node, true);
                for (int d = spread ? p % pageDayStep : 0; d < pageDays; d += pageDayStep)
                    counter->AddHitByDate("10.0.0.1", node, today - d);
            }
            if (argc > 4) CopyToSqlite(*counter, argv[4], days);
            CloseCounter(counter);
        }
    }
    StopStorageEngine();
    return status;
}

/* The pages of bench/cgi_bench.py and bench/scale_bench.py done the plain way, for comparison: a
 * C CGI program over an SQLite file (made by cgi_bench_db) that answers each page, and each small
 * change, with the queries a web developer would write, and the skin preview with giflib. Not a
 * copy of the counter's pages: the same data and the same amount of output.
 * Usage: QUERY_STRING=... cgi_sqlite (file beside it). */
#include <gif_lib.h>
#include <sqlite3.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static sqlite3* Db;

static sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = NULL;
    if (sqlite3_prepare_v2(Db, sql, -1, &statement, NULL) != SQLITE_OK) {
        fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(Db));
        exit(1);
    }
    return statement;
}

/* Writes text with the HTML special characters escaped. */
static void Html(const unsigned char* text) {
    for (; text && *text; ++text) {
        switch (*text) {
        case '<': fputs("&lt;", stdout); break;
        case '>': fputs("&gt;", stdout); break;
        case '&': fputs("&amp;", stdout); break;
        case '"': fputs("&quot;", stdout); break;
        default: putchar(*text);
        }
    }
}

/* A date kept as days since 1899-12-30, as "yyyy-mm-dd hh:mm:ss". */
static void Date(double days) {
    time_t seconds = (time_t)((days - 25569.0) * 86400.0);
    struct tm parts;
    char text[32];
    gmtime_r(&seconds, &parts);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    fputs(text, stdout);
}

static double Today(void) {
    time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    return (double)(now + local.tm_gmtoff) / 86400.0 + 25569.0;
}

static void Header(void) { fputs("Status: 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>", stdout); }

static void About(void) {
    sqlite3_stmt* name = Prepare("SELECT value FROM settings WHERE name = 'site'");
    Header();
    fputs("<h1>Web counter</h1><p>Statistics of ", stdout);
    if (sqlite3_step(name) == SQLITE_ROW) Html(sqlite3_column_text(name, 0));
    fputs("</p>", stdout);
    sqlite3_finalize(name);
}

/* Name, date, count rows of a table, ordered by name, with the sum of the counts. */
static void NamedList(const char* sql) {
    sqlite3_stmt* rows = Prepare(sql);
    long sum = 0;
    Header();
    fputs("<table border=1>", stdout);
    while (sqlite3_step(rows) == SQLITE_ROW) {
        fputs("<tr><td>", stdout);
        Html(sqlite3_column_text(rows, 0));
        fputs("<td align=right>", stdout);
        Date(sqlite3_column_double(rows, 1));
        printf("<td align=right>%d", sqlite3_column_int(rows, 2));
        sum += sqlite3_column_int(rows, 2);
    }
    printf("<tr><td>Total<td><td>%ld</table>", sum);
    sqlite3_finalize(rows);
}

/* The hosts most recently seen, the skip list and the number of hosts; byScan reads every host
 * instead of the index on the date, as a file without that index must. */
static void Browse(int rows, int byScan) {
    sqlite3_stmt* skips = Prepare("SELECT ip FROM skips ORDER BY ip");
    sqlite3_stmt* hosts = Prepare(byScan ? "SELECT ip, last, hits, visits FROM hosts NOT INDEXED ORDER BY last DESC LIMIT ?"
                                         : "SELECT ip, last, hits, visits FROM hosts ORDER BY last DESC LIMIT ?");
    sqlite3_stmt* count = Prepare("SELECT count(*) FROM hosts");
    Header();
    fputs("<table border=1>", stdout);
    while (sqlite3_step(skips) == SQLITE_ROW) {
        fputs("<tr><td>", stdout);
        Html(sqlite3_column_text(skips, 0));
    }
    fputs("</table><table border=1>", stdout);
    sqlite3_bind_int(hosts, 1, rows);
    while (sqlite3_step(hosts) == SQLITE_ROW) {
        fputs("<tr><td>", stdout);
        Html(sqlite3_column_text(hosts, 0));
        fputs("<td align=right>", stdout);
        Date(sqlite3_column_double(hosts, 1));
        printf("<td align=right>%d/%d", sqlite3_column_int(hosts, 2), sqlite3_column_int(hosts, 3));
    }
    sqlite3_step(count);
    printf("<tr><td>Total IP count:<td><td>%d</table>", sqlite3_column_int(count, 0));
    sqlite3_finalize(skips);
    sqlite3_finalize(hosts);
    sqlite3_finalize(count);
}

/* Every host in address order, as the skip-list editor offers them. */
static void EditIp(void) {
    sqlite3_stmt* hosts = Prepare("SELECT ip FROM hosts ORDER BY ip");
    Header();
    fputs("<form><select name=ip>", stdout);
    while (sqlite3_step(hosts) == SQLITE_ROW) {
        fputs("<option value=\"", stdout);
        Html(sqlite3_column_text(hosts, 0));
        fputs("\">", stdout);
        Html(sqlite3_column_text(hosts, 0));
        fputs("</option>", stdout);
    }
    fputs("</select></form>", stdout);
    sqlite3_finalize(hosts);
}

/* Hits of every page on each day of the current month, with row sums, and hosts per day. */
static void Calendar(void) {
    double today = (double)(long)Today();
    time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    int days = local.tm_mday;
    double first = today - (days - 1);
    sqlite3_stmt* pages = Prepare("SELECT name FROM pages ORDER BY name");
    sqlite3_stmt* hits = Prepare("SELECT day, hits FROM page_days WHERE page = ? AND day BETWEEN ? AND ?");
    sqlite3_stmt* hosts = Prepare("SELECT day, hits FROM site_days WHERE day BETWEEN ? AND ?");
    int* row = calloc((size_t)days, sizeof(int));
    Header();
    fputs("<table border=1>", stdout);
    while (sqlite3_step(pages) == SQLITE_ROW) {
        memset(row, 0, sizeof(int) * (size_t)days);
        sqlite3_bind_text(hits, 1, (const char*)sqlite3_column_text(pages, 0), -1, SQLITE_STATIC);
        sqlite3_bind_double(hits, 2, first);
        sqlite3_bind_double(hits, 3, today);
        while (sqlite3_step(hits) == SQLITE_ROW) row[(int)(sqlite3_column_double(hits, 0) - first)] = sqlite3_column_int(hits, 1);
        sqlite3_reset(hits);
        fputs("<tr><td>", stdout);
        Html(sqlite3_column_text(pages, 0));
        long sum = 0;
        for (int d = 0; d < days; ++d) {
            sum += row[d];
            if (row[d]) printf("<td align=center>%d", row[d]); else fputs("<td>&nbsp", stdout);
        }
        printf("<td>%ld<td>%.2f", sum, (double)sum / days);
    }
    memset(row, 0, sizeof(int) * (size_t)days);
    sqlite3_bind_double(hosts, 1, first);
    sqlite3_bind_double(hosts, 2, today);
    while (sqlite3_step(hosts) == SQLITE_ROW) row[(int)(sqlite3_column_double(hosts, 0) - first)] = sqlite3_column_int(hosts, 1);
    fputs("<tr><td>Hosts", stdout);
    for (int d = 0; d < days; ++d) printf("<td>%d", row[d]);
    fputs("</table>", stdout);
    free(row);
    sqlite3_finalize(pages);
    sqlite3_finalize(hits);
    sqlite3_finalize(hosts);
}

static int WriteOut(GifFileType* gif, const GifByteType* bytes, int count) {
    (void)gif;
    return (int)fwrite(bytes, 1, (size_t)count, stdout);
}

/* The stored 8-bit picture of a skin (width, height, 256 RGB palette entries, pixels) as GIF. */
static void Preview(void) {
    sqlite3_stmt* image = Prepare("SELECT width, height, palette, pixels FROM previews WHERE skin = 0");
    if (sqlite3_step(image) != SQLITE_ROW) exit(1);
    int width = sqlite3_column_int(image, 0), height = sqlite3_column_int(image, 1);
    const GifByteType* palette = sqlite3_column_blob(image, 2);
    GifByteType* pixels = (GifByteType*)sqlite3_column_blob(image, 3);
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i) {
        colours[i].Red = palette[3 * i];
        colours[i].Green = palette[3 * i + 1];
        colours[i].Blue = palette[3 * i + 2];
    }
    fputs("Status: 200 OK\r\nContent-Type: image/gif\r\n\r\n", stdout);
    int error = 0;
    GifFileType* gif = EGifOpen(NULL, WriteOut, &error);
    ColorMapObject* map = GifMakeMapObject(256, colours);
    EGifPutScreenDesc(gif, width, height, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, width, height, false, NULL);
    for (int y = 0; y < height; ++y) EGifPutLine(gif, pixels + (size_t)y * (size_t)width, width);
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    sqlite3_finalize(image);
}

/* The value of field name in query (no decoding: the benchmark's values need none), or "". */
static const char* Field(const char* query, const char* name, char* value, size_t size) {
    size_t length = strlen(name);
    for (const char* at = query; at; at = strchr(at, '&') ? strchr(at, '&') + 1 : NULL) {
        if (strncmp(at, name, length) != 0 || at[length] != '=') continue;
        const char* end = strchr(at, '&');
        size_t count = end ? (size_t)(end - at) - length - 1 : strlen(at) - length - 1;
        if (count >= size) count = size - 1;
        memcpy(value, at + length + 1, count);
        value[count] = 0;
        return value;
    }
    value[0] = 0;
    return value;
}

/* Runs sql with text bound to its parameters, in order. */
static void Change(const char* sql, const char* first, const char* second) {
    sqlite3_stmt* statement = Prepare(sql);
    if (first) sqlite3_bind_text(statement, 1, first, -1, SQLITE_STATIC);
    if (second) sqlite3_bind_text(statement, 2, second, -1, SQLITE_STATIC);
    if (sqlite3_step(statement) != SQLITE_DONE) {
        fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(Db));
        exit(1);
    }
    sqlite3_finalize(statement);
}

/* The small changes: the site name, a skip entry, an address, a site page; each answers with the
 * page the counter shows after it. Returns 0 when the query asks for none of them. */
static int Edit(const char* query) {
    char page[64], ed[256], val[256];
    Field(query, "page", page, sizeof page);
    Field(query, "ed", ed, sizeof ed);
    Field(query, "val", val, sizeof val);
    if (!ed[0]) return 0;
    if (strcmp(page, "editsname") == 0) {
        Change("UPDATE settings SET value = ? WHERE name = 'site'", ed, NULL);
        About();
    } else if (strcmp(page, "editskip") == 0) {
        Change(strcmp(ed, "add") == 0 ? "INSERT OR IGNORE INTO skips VALUES(?)" : "DELETE FROM skips WHERE ip = ?", val,
               NULL);
        NamedList("SELECT ip, 0, 0 FROM skips ORDER BY ip");
    } else if (strcmp(page, "editip") == 0) {
        if (strcmp(ed, "add") == 0)
            Change("INSERT OR IGNORE INTO hosts VALUES(?, julianday('now', 'localtime') - 2415018.5, 0, 1)", val, NULL);
        else
            Change("DELETE FROM hosts WHERE ip = ?", val, NULL);
        EditIp();
    } else if (strcmp(page, "bradv") == 0) {
        if (strcmp(ed, "add") == 0) {
            Change("INSERT OR IGNORE INTO pages VALUES(?, 0, 0)", val, NULL);
        } else {
            Change("DELETE FROM page_days WHERE page = ?", val, NULL);
            Change("DELETE FROM pages WHERE name = ?", val, NULL);
        }
        NamedList("SELECT name, date, count FROM pages ORDER BY name");
    } else {
        return 0;
    }
    return 1;
}

/* Answers a page that reads only. */
static void Page(const char* query) {
    if (strcmp(query, "page=bradv") == 0)
        NamedList("SELECT name, date, count FROM pages ORDER BY name");
    else if (strcmp(query, "page=brref") == 0)
        NamedList("SELECT host, last, count FROM referrers ORDER BY host");
    else if (strncmp(query, "page=brdate", 11) == 0)
        Calendar();
    else if (strncmp(query, "page=browse&col=", 16) == 0)
        Browse(atoi(query + 16), strstr(query, "&scan=1") != NULL);
    else if (strcmp(query, "page=editip") == 0)
        EditIp();
    else
        About();
}

int main(int argc, char** argv) {
    (void)argc;
    char file[4096];
    snprintf(file, sizeof file, "%s.sqlite", argv[0]);
    const char* query = getenv("QUERY_STRING");
    if (!query) query = "";
    int changes = strstr(query, "ed=") != NULL;
    if (sqlite3_open_v2(file, &Db, changes ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) return 1;
    if (strncmp(query, "skin=", 5) == 0) {
        Preview();
        sqlite3_close(Db);
        return 0;
    }
    if (!changes || !Edit(query)) Page(query);
    fputs("</body></html>", stdout);
    sqlite3_close(Db);
    return 0;
}

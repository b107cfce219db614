// The SQLite side of the benchmarks: a connection opened as a program opens it, statements, and
// a scratch folder for both sides' files. Header-only; benchmarks only.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

// A folder of this run's own under Parent (the temporary folder unless given), made on first use.
inline std::filesystem::path BenchFolder(const std::string& prefix,
                                         const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    auto path = parent / (prefix + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
}

// Opens without running a statement: the journal mode is kept in the file and FULL is the
// connection's default sync level.
class TSqlite {
public:
    explicit TSqlite(const std::string& file) {
        if (sqlite3_open(file.c_str(), &Db) != SQLITE_OK) throw std::runtime_error("cannot open " + file);
    }
    ~TSqlite() { sqlite3_close(Db); }
    TSqlite(const TSqlite&) = delete;
    TSqlite& operator=(const TSqlite&) = delete;

    void Exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(Db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string text = error ? error : "sqlite error";
            sqlite3_free(error);
            throw std::runtime_error(text);
        }
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(Db, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(Db));
        return statement;
    }

    sqlite3* Db = nullptr;
};

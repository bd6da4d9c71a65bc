#pragma once

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/value/Expected.h"

namespace platform {

// One SQLite connection whose statements wait out other processes' locks. A statement that finds
// the database busy is retried until the busy timeout has passed since it was first run, so a
// write is lost only when another process holds the database for longer than that. Not
// thread-safe: its owner serialises the calls.
class SQLiteConnection {
  public:
    // Opens the existing database file at `path` for reading and writing, refusing to follow a
    // symbolic link; fails with SQLite's reason.
    static base::Expected<std::unique_ptr<SQLiteConnection>> open(
        const std::string& path,
        std::chrono::milliseconds busyTimeout);
    ~SQLiteConnection();
    SQLiteConnection(const SQLiteConnection&) = delete;
    SQLiteConnection& operator=(const SQLiteConnection&) = delete;

    // Compiles `sql` once; the statement lives as long as the connection.
    base::Expected<sqlite3_stmt*> prepare(std::string_view sql);

    // Runs `statement` with the parameters bound to it, calling `onRow` for each row, then
    // resets it and clears its parameters.
    using RowHandler = std::function<void(sqlite3_stmt*)>;
    base::Expected<std::monostate> run(sqlite3_stmt* statement, const RowHandler& onRow = {});
    // Compiles and runs `sql`, one statement without parameters.
    base::Expected<std::monostate> execute(std::string_view sql, const RowHandler& onRow = {});

    // Rows changed by the last INSERT, UPDATE or DELETE.
    int changes() const;
    sqlite3* handle() const { return database; }

  private:
    SQLiteConnection(sqlite3* database, std::chrono::milliseconds busyTimeout);
    base::Expected<sqlite3_stmt*> compile(std::string_view sql, unsigned flags);
    base::Error failure(std::string_view doing) const;
    static int waitWhileBusy(void* context, int attempts);

    struct StatementFinalizer {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };

    sqlite3* database;
    std::chrono::milliseconds busyTimeout;
    // When the statement being run stops waiting for other processes' locks.
    std::chrono::steady_clock::time_point busyDeadline;
    std::vector<std::unique_ptr<sqlite3_stmt, StatementFinalizer>> statements;
};

}  // namespace platform

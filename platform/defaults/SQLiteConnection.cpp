#include "platform/defaults/SQLiteConnection.h"

#include <optional>
#include <thread>
#include <utility>

namespace platform {
namespace {

bool isBusy(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace

base::Expected<std::unique_ptr<SQLiteConnection>> SQLiteConnection::open(
    const std::string& path,
    std::chrono::milliseconds busyTimeout) {
    sqlite3* database = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    const int resultCode = sqlite3_open_v2(path.c_str(), &database, flags, nullptr);
    if (resultCode != SQLITE_OK) {
        std::string reason = database ? sqlite3_errmsg(database) : sqlite3_errstr(resultCode);
        sqlite3_close_v2(database);
        return base::Error{"cannot open " + path + ": " + reason};
    }
    sqlite3_extended_result_codes(database, 1);
    std::unique_ptr<SQLiteConnection> connection(new SQLiteConnection(database, busyTimeout));
    sqlite3_busy_handler(database, waitWhileBusy, connection.get());
    return connection;
}

// SQLite's own timeout handler backs off to polling every 100 ms, and a process polling that
// seldom can be kept out for seconds by others that write back to back. Polling often keeps the
// wait for the lock about as long as the writes ahead of it.
int SQLiteConnection::waitWhileBusy(void* context, int /*attempts*/) {
    auto* connection = static_cast<SQLiteConnection*>(context);
    if (std::chrono::steady_clock::now() >= connection->busyDeadline) {
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    return 1;
}

SQLiteConnection::SQLiteConnection(sqlite3* database, std::chrono::milliseconds busyTimeout)
    : database(database), busyTimeout(busyTimeout) {}

SQLiteConnection::~SQLiteConnection() {
    statements.clear();
    sqlite3_close_v2(database);
}

base::Expected<sqlite3_stmt*> SQLiteConnection::compile(std::string_view sql, unsigned flags) {
    // Compiling reads the schema, which can find the log busy as any read can.
    busyDeadline = std::chrono::steady_clock::now() + busyTimeout;
    for (;;) {
        sqlite3_stmt* statement = nullptr;
        const int resultCode = sqlite3_prepare_v3(
            database, sql.data(), static_cast<int>(sql.size()), flags, &statement, nullptr);
        if (resultCode == SQLITE_OK && statement) {
            return statement;
        }
        sqlite3_finalize(statement);
        if (!isBusy(resultCode) || std::chrono::steady_clock::now() >= busyDeadline) {
            return failure("preparing a statement");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

base::Expected<sqlite3_stmt*> SQLiteConnection::prepare(std::string_view sql) {
    auto statement = compile(sql, SQLITE_PREPARE_PERSISTENT);
    if (statement) {
        statements.emplace_back(*statement);
    }
    return statement;
}

base::Expected<std::monostate> SQLiteConnection::run(sqlite3_stmt* statement,
                                                     const RowHandler& onRow) {
    busyDeadline = std::chrono::steady_clock::now() + busyTimeout;
    bool deliveredRow = false;
    int resultCode;
    for (;;) {
        resultCode = sqlite3_step(statement);
        if (resultCode == SQLITE_ROW) {
            deliveredRow = true;
            if (onRow) {
                onRow(statement);
            }
            continue;
        }
        // SQLite waits out most locks itself; a few (a snapshot gone stale, another process
        // recovering the log) come back at once and are worth another try. Once rows have been
        // handed out, starting over would hand them out twice.
        if (isBusy(resultCode) && !deliveredRow &&
            std::chrono::steady_clock::now() < busyDeadline) {
            sqlite3_reset(statement);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        break;
    }
    std::optional<base::Error> error;
    if (resultCode != SQLITE_DONE) {
        error = failure("running a statement");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (error) {
        return *error;
    }
    return std::monostate{};
}

base::Expected<std::monostate> SQLiteConnection::execute(std::string_view sql,
                                                         const RowHandler& onRow) {
    auto statement = compile(sql, 0);
    if (!statement) {
        return statement.error();
    }
    auto result = run(*statement, onRow);
    sqlite3_finalize(*statement);
    return result;
}

int SQLiteConnection::changes() const {
    return sqlite3_changes(database);
}

base::Error SQLiteConnection::failure(std::string_view doing) const {
    return base::Error{std::string(doing) + ": " + sqlite3_errmsg(database)};
}

}  // namespace platform

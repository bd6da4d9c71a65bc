#include "platform/defaults/SQLiteUserDefaults.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/defaults/SQLiteConnection.h"

namespace platform {
namespace {

constexpr std::string_view createTableSQL =
    "CREATE TABLE IF NOT EXISTS entries ("
    " key TEXT PRIMARY KEY NOT NULL,"
    " kind TEXT NOT NULL CHECK (kind IN ('data', 'integer', 'string', 'date', 'real')),"
    // No declared type, so SQLite keeps each value in the type it was bound with.
    " value NOT NULL"
    // A rowid table, so that the keys live in an index of their own: in a table without rowid
    // every lookup that passes a large value (the policy blob, the policy summary) on its way
    // to a key reads that whole value.
    ")";

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    // An empty view may have no storage; SQLite would bind a null pointer as NULL.
    sqlite3_bind_text64(statement, index, text.empty() ? "" : text.data(), text.size(),
                        SQLITE_STATIC, SQLITE_UTF8);
}

void bindValue(sqlite3_stmt* statement, int index, const StoredValue& value) {
    switch (kindOf(value)) {
        case StoredKind::data: {
            const base::Data& data = std::get<base::Data>(value);
            sqlite3_bind_blob64(statement, index,
                                data.empty() ? "" : static_cast<const void*>(data.data()),
                                data.size(), SQLITE_STATIC);
            break;
        }
        case StoredKind::integer:
            sqlite3_bind_int64(statement, index, std::get<std::int64_t>(value));
            break;
        case StoredKind::string:
            bindText(statement, index, std::get<std::string>(value));
            break;
        case StoredKind::date:
            sqlite3_bind_double(statement, index,
                                std::get<base::Date>(value).timeIntervalSinceReferenceDate);
            break;
        case StoredKind::real:
            sqlite3_bind_double(statement, index, std::get<double>(value));
            break;
    }
}

std::string_view columnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (!text) {
        return {};
    }
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
}

// The value in `valueColumn` read as the kind named in `kindColumn`; nothing for a kind this
// class does not know.
std::optional<StoredValue> columnValue(sqlite3_stmt* statement, int kindColumn, int valueColumn) {
    const std::optional<StoredKind> kind = kindNamed(columnText(statement, kindColumn));
    if (!kind) {
        return std::nullopt;
    }
    switch (*kind) {
        case StoredKind::data: {
            const auto* bytes =
                static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, valueColumn));
            const auto length =
                static_cast<std::size_t>(sqlite3_column_bytes(statement, valueColumn));
            return bytes ? base::Data(bytes, bytes + length) : base::Data();
        }
        case StoredKind::integer:
            return sqlite3_column_int64(statement, valueColumn);
        case StoredKind::string:
            return std::string(columnText(statement, valueColumn));
        case StoredKind::date:
            return base::Date{sqlite3_column_double(statement, valueColumn)};
        case StoredKind::real:
            return sqlite3_column_double(statement, valueColumn);
    }
    return std::nullopt;
}

std::int64_t integerFromText(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return 0;
        }
    }
    std::int64_t integer = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), integer);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return 0;
    }
    return integer;
}

// Truncates toward zero and saturates, as the platform's conversion does on its hardware.
std::int64_t integerFromReal(double real) {
    if (std::isnan(real)) {
        return 0;
    }
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (real >= limit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (real <= -limit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(real);
}

}  // namespace

struct SQLiteUserDefaults::Statements {
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* selectAll = nullptr;
    sqlite3_stmt* replace = nullptr;
    sqlite3_stmt* remove = nullptr;
    sqlite3_stmt* dataVersion = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* beginRead = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
};

base::Expected<std::shared_ptr<SQLiteUserDefaults>>
SQLiteUserDefaults::open(std::string_view suiteName, std::string_view root, IfMissing ifMissing) {
    base::Expected<std::string> path = suiteDatabasePath(root, suiteName, ifMissing);
    if (!path) {
        return path.error();
    }
    auto opened = SQLiteConnection::open(*path, busyTimeout);
    if (!opened) {
        return opened.error();
    }
    std::unique_ptr<SQLiteConnection> connection = std::move(opened.value());
    auto describe = [&](const base::Error& error) {
        return base::Error{*path + ": " + error.description};
    };

    std::string journalMode;
    if (auto result = connection->execute(
            "PRAGMA journal_mode=WAL",
            [&](sqlite3_stmt* row) { journalMode = std::string(columnText(row, 0)); });
        !result) {
        return describe(result.error());
    }
    if (journalMode != "wal") {
        return base::Error{*path + ": cannot use a write-ahead log (journal mode " + journalMode +
                           ")"};
    }
    for (std::string_view sql : {std::string_view("PRAGMA synchronous=NORMAL"), createTableSQL}) {
        if (auto result = connection->execute(sql); !result) {
            return describe(result.error());
        }
    }

    auto statements = std::make_unique<Statements>();
    const std::pair<sqlite3_stmt**, std::string_view> prepared[] = {
        // A large data value is left in the file and read by readLargeData.
        {&statements->select,
         "SELECT kind, CASE WHEN typeof(value) = 'blob' AND length(value) > 65536 THEN NULL"
         " ELSE value END, rowid, length(value) FROM entries WHERE key = ?1"},
        {&statements->beginRead, "BEGIN"},
        {&statements->selectAll, "SELECT key, kind, value FROM entries ORDER BY key"},
        {&statements->replace,
         "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?1, ?2, ?3)"},
        {&statements->remove, "DELETE FROM entries WHERE key = ?1"},
        {&statements->dataVersion, "PRAGMA data_version"},
        {&statements->begin, "BEGIN IMMEDIATE"},
        {&statements->commit, "COMMIT"},
        {&statements->rollback, "ROLLBACK"},
    };
    for (const auto& [statement, sql] : prepared) {
        auto result = connection->prepare(sql);
        if (!result) {
            return describe(result.error());
        }
        *statement = *result;
    }
    return std::shared_ptr<SQLiteUserDefaults>(
        new SQLiteUserDefaults(std::move(*path), std::move(connection), std::move(statements)));
}

SQLiteUserDefaults::SQLiteUserDefaults(std::string databasePath,
                                       std::unique_ptr<SQLiteConnection> connection,
                                       std::unique_ptr<Statements> statements)
    : databasePath(std::move(databasePath)),
      connection(std::move(connection)),
      statements(std::move(statements)) {}

SQLiteUserDefaults::~SQLiteUserDefaults() = default;

std::optional<StoredValue> SQLiteUserDefaults::readLocked(std::string_view key) {
    std::optional<StoredValue> value;
    struct LargeData {
        sqlite3_int64 rowid;
        sqlite3_int64 length;
    };
    std::optional<LargeData> largeData;
    auto read = [&] {
        value.reset();
        largeData.reset();
        bindText(statements->select, 1, key);
        return connection->run(statements->select, [&](sqlite3_stmt* row) {
            if (sqlite3_column_type(row, 1) == SQLITE_NULL &&
                columnText(row, 0) == kindName(StoredKind::data)) {
                largeData = LargeData{sqlite3_column_int64(row, 2), sqlite3_column_int64(row, 3)};
            } else {
                value = columnValue(row, 0, 1);
            }
        });
    };
    if (!read()) {
        return std::nullopt;
    }
    if (!largeData) {
        return value;
    }
    // Read again inside one read transaction, so that the row and its value come from the same
    // version of the file, and copy the value straight into its buffer: SQLite would otherwise
    // assemble it in a buffer of its own first.
    if (!connection->run(statements->beginRead)) {
        return std::nullopt;
    }
    if (read() && largeData) {
        value = readLargeData(largeData->rowid, largeData->length);
    }
    (void)connection->run(statements->commit);
    return value;
}

std::optional<StoredValue> SQLiteUserDefaults::readLargeData(std::int64_t rowid,
                                                             std::int64_t length) {
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(connection->handle(), "main", "entries", "value", rowid, 0, &blob) !=
        SQLITE_OK) {
        sqlite3_blob_close(blob);
        return std::nullopt;
    }
    std::optional<StoredValue> value;
    if (sqlite3_blob_bytes(blob) == length && length <= std::numeric_limits<int>::max()) {
        base::Data data(static_cast<std::size_t>(length));
        if (sqlite3_blob_read(blob, data.data(), static_cast<int>(length), 0) == SQLITE_OK) {
            value = std::move(data);
        }
    }
    sqlite3_blob_close(blob);
    return value;
}

std::optional<StoredValue> SQLiteUserDefaults::objectForKey(std::string_view key) {
    std::lock_guard lock(mutex);
    return readLocked(key);
}

std::optional<StoredKind> SQLiteUserDefaults::kindForKey(std::string_view key) {
    std::optional<StoredValue> value = objectForKey(key);
    if (!value) {
        return std::nullopt;
    }
    return kindOf(*value);
}

base::Expected<std::vector<StoredEntry>> SQLiteUserDefaults::allEntries() {
    std::lock_guard lock(mutex);
    std::vector<StoredEntry> entries;
    auto result = connection->run(statements->selectAll, [&](sqlite3_stmt* row) {
        if (std::optional<StoredValue> value = columnValue(row, 1, 2)) {
            entries.push_back({std::string(columnText(row, 0)), std::move(*value)});
        }
    });
    if (!result) {
        return result.error();
    }
    return entries;
}

base::Expected<std::monostate> SQLiteUserDefaults::store(std::string_view key,
                                                         const StoredValue& value) {
    std::lock_guard lock(mutex);
    bindText(statements->replace, 1, key);
    bindText(statements->replace, 2, kindName(kindOf(value)));
    bindValue(statements->replace, 3, value);
    return connection->run(statements->replace);
}

base::Expected<bool> SQLiteUserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex);
    bindText(statements->remove, 1, key);
    if (auto result = connection->run(statements->remove); !result) {
        return result.error();
    }
    return connection->changes() > 0;
}

std::optional<base::Data> SQLiteUserDefaults::dataForKey(std::string_view key) {
    std::optional<StoredValue> value = objectForKey(key);
    if (!value || kindOf(*value) != StoredKind::data) {
        return std::nullopt;
    }
    return std::get<base::Data>(std::move(*value));
}

std::int64_t integerReading(const StoredValue& value) {
    switch (kindOf(value)) {
        case StoredKind::integer:
            return std::get<std::int64_t>(value);
        case StoredKind::string:
            return integerFromText(std::get<std::string>(value));
        case StoredKind::real:
            return integerFromReal(std::get<double>(value));
        case StoredKind::data:
        case StoredKind::date:
            return 0;
    }
    return 0;
}

std::int64_t SQLiteUserDefaults::integerForKey(std::string_view key) {
    std::optional<StoredValue> value = objectForKey(key);
    return value ? integerReading(*value) : 0;
}

void SQLiteUserDefaults::setInteger(std::int64_t value, std::string_view key) {
    (void)store(key, value);
}

void SQLiteUserDefaults::setReal(double value, std::string_view key) {
    (void)store(key, value);
}

void SQLiteUserDefaults::setObject(const std::optional<common::DefaultsObject>& object,
                                   std::string_view key) {
    if (!object) {
        (void)remove(key);
        return;
    }
    StoredValue value =
        std::visit([](const auto& alternative) { return StoredValue(alternative); }, *object);
    (void)store(key, value);
}

base::Expected<std::monostate> SQLiteUserDefaults::applyInOneTransaction(
    const std::vector<Write>& writes) {
    std::lock_guard lock(mutex);
    // IMMEDIATE takes the write lock at once, so the busy handler waits out another writer here
    // rather than failing a statement half-way through the batch.
    if (auto began = connection->run(statements->begin); !began) {
        return began.error();
    }
    for (const Write& write : writes) {
        base::Expected<std::monostate> result = std::monostate{};
        if (write.value) {
            bindText(statements->replace, 1, write.key);
            bindText(statements->replace, 2, kindName(kindOf(*write.value)));
            bindValue(statements->replace, 3, *write.value);
            result = connection->run(statements->replace);
        } else {
            bindText(statements->remove, 1, write.key);
            result = connection->run(statements->remove);
        }
        if (!result) {
            (void)connection->run(statements->rollback);
            return result.error();
        }
    }
    if (auto committed = connection->run(statements->commit); !committed) {
        (void)connection->run(statements->rollback);
        return committed.error();
    }
    return std::monostate{};
}

void SQLiteUserDefaults::deferCheckpoints() {
    std::lock_guard lock(mutex);
    // A hook of one's own replaces SQLite's automatic checkpoint, which is itself such a hook.
    sqlite3_wal_hook(
        connection->handle(),
        [](void* context, sqlite3*, const char*, int frames) {
            static_cast<std::atomic<int>*>(context)->store(frames, std::memory_order_relaxed);
            return SQLITE_OK;
        },
        &walFrames);
}

bool SQLiteUserDefaults::synchronize() {
    std::lock_guard lock(mutex);
    const int resultCode = sqlite3_wal_checkpoint_v2(connection->handle(), nullptr,
                                                     SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return resultCode == SQLITE_OK || (resultCode & 0xff) == SQLITE_BUSY;
}

std::optional<std::int64_t> SQLiteUserDefaults::externalChangeCounter() {
    std::lock_guard lock(mutex);
    return externalChangeCounterLocked();
}

std::optional<std::optional<std::int64_t>> SQLiteUserDefaults::externalChangeCounterUnlessBusy() {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return std::nullopt;
    }
    return externalChangeCounterLocked();
}

std::optional<std::int64_t> SQLiteUserDefaults::externalChangeCounterLocked() {
    std::optional<std::int64_t> dataVersion;
    auto result = connection->run(statements->dataVersion, [&](sqlite3_stmt* row) {
        dataVersion = sqlite3_column_int64(row, 0);
    });
    if (!result) {
        return std::nullopt;
    }
    return dataVersion;
}

std::shared_ptr<common::UserDefaults> openSQLiteUserDefaults(std::string_view suiteName) {
    auto opened = SQLiteUserDefaults::open(suiteName, appGroupContainersRoot());
    if (!opened) {
        return nullptr;
    }
    return std::move(opened.value());
}

}  // namespace platform

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/value/Expected.h"
#include "common/UserDefaults.h"
#include "platform/defaults/AppGroupContainer.h"
#include "platform/defaults/StoredValue.h"

namespace platform {

class SQLiteConnection;

// A suite kept in one SQLite database file (see AppGroupContainer.h for where), shared by every
// process that opens the same suite name under the same root.
//
// The file is in WAL mode and holds one table, `entries` (key TEXT PRIMARY KEY, kind TEXT, value),
// with each value stored in the SQLite type of its kind: data as a BLOB, integers as INTEGER,
// texts as TEXT, dates as REAL seconds relative to 2001-01-01T00:00:00Z, reals as REAL. Every
// write is one statement (INSERT OR REPLACE or DELETE), so it happens whole or not at all, and
// a writer that finds the file locked by another process waits for up to five seconds, so
// concurrent writers do not lose writes.
//
// Durability: a write is visible to every process, and survives the writing process dying, as
// soon as it returns; the log is synced to disk only by `synchronize()`, which checkpoints it into
// the database file so that writes made before it survive a power loss too.
//
// The handle may be used from any thread; its one connection is guarded by a mutex. It must not
// be used in a child made by fork(); the child opens its own.
class SQLiteUserDefaults final : public common::UserDefaults {
  public:
    static constexpr std::chrono::milliseconds busyTimeout{5000};

    // Opens suite `suiteName` under `root`, creating it when missing and `ifMissing` says so.
    // Fails with the reason when the suite's folder or file cannot be made or the file is not a
    // database this class can use.
    static base::Expected<std::shared_ptr<SQLiteUserDefaults>> open(
        std::string_view suiteName,
        std::string_view root,
        IfMissing ifMissing = IfMissing::create);
    ~SQLiteUserDefaults() override;

    // The seam's operations. integerForKey gives the integer stored under the key; for a text
    // that is in full an optionally signed decimal integer that fits in 64 bits, that integer;
    // for a real, the real truncated toward zero (a real beyond the 64-bit range gives the
    // nearer end of the range); for anything else, or an absent key, 0. A write that fails (the
    // file stayed locked past the timeout, the disk is full) is dropped.
    std::optional<base::Data> dataForKey(std::string_view key) override;
    std::int64_t integerForKey(std::string_view key) override;
    void setInteger(std::int64_t value, std::string_view key) override;
    void setObject(const std::optional<common::DefaultsObject>& object,
                   std::string_view key) override;
    // Checkpoints the log into the database file, syncing both; false when that failed. A
    // checkpoint that another process is running at the same moment counts as done, and frames
    // that a reader in another process still needs stay in the log for a later checkpoint.
    bool synchronize() override;
    // SQLite's data version of the connection: it changes with every commit of another
    // connection and stays put for this handle's own writes. Nothing when it cannot be read.
    std::optional<std::int64_t> externalChangeCounter() override;
    // The same, unless another thread is using this handle: then nothing, at once.
    std::optional<std::optional<std::int64_t>> externalChangeCounterUnlessBusy();

    // The value under `key` with its kind; nothing when the key is absent or cannot be read.
    std::optional<StoredValue> objectForKey(std::string_view key);
    std::optional<StoredKind> kindForKey(std::string_view key);
    // Every entry, sorted by key (byte order).
    base::Expected<std::vector<StoredEntry>> allEntries();
    // Stores `value` under `key` with its kind, replacing any earlier value. A real or date that
    // is not a number cannot be stored (SQLite keeps NaN as NULL) and fails.
    base::Expected<std::monostate> store(std::string_view key, const StoredValue& value);
    // Removes `key`; true when it held a value.
    base::Expected<bool> remove(std::string_view key);
    void setReal(double value, std::string_view key);

    // One write of a batch: the value to store under `key`, or nothing to remove the key.
    struct Write {
        std::string key;
        std::optional<StoredValue> value;
    };
    // Applies `writes` in order in one transaction: other processes see all of them or none.
    // Fails, leaving the suite as it was, when any of them cannot be applied.
    base::Expected<std::monostate> applyInOneTransaction(const std::vector<Write>& writes);

    // Hands checkpointing to the caller: from now on this handle's commits no longer checkpoint
    // the log on their own, and walFrameCount() says how long the log was after the last commit,
    // so that the owner can checkpoint from another thread (see WriteBehindUserDefaults).
    void deferCheckpoints();
    int walFrameCount() const { return walFrames.load(std::memory_order_relaxed); }

    // The database file.
    const std::string& path() const { return databasePath; }

  private:
    struct Statements;
    SQLiteUserDefaults(std::string databasePath,
                       std::unique_ptr<SQLiteConnection> connection,
                       std::unique_ptr<Statements> statements);
    std::optional<StoredValue> readLocked(std::string_view key);
    std::optional<std::int64_t> externalChangeCounterLocked();
    std::optional<StoredValue> readLargeData(std::int64_t rowid, std::int64_t length);

    std::mutex mutex;
    std::string databasePath;
    std::unique_ptr<SQLiteConnection> connection;
    std::unique_ptr<Statements> statements;
    std::atomic<int> walFrames{0};
};

// What integerForKey reads `value` as (see above).
std::int64_t integerReading(const StoredValue& value);

// Opens suite `suiteName` under appGroupContainersRoot(), creating it when missing; nothing when
// it cannot be opened.
std::shared_ptr<common::UserDefaults> openSQLiteUserDefaults(std::string_view suiteName);

}  // namespace platform

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/value/Expected.h"
#include "common/UserDefaults.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace platform {

// A suite whose writes never wait for storage, for a process that writes on a latency-critical
// path (the content filter writes diagnostics for every flow). It keeps the same SQLite file as
// SQLiteUserDefaults, so every other process reads it as before.
//
// - A write returns at once. The writing handle reads its own writes at once and from memory: a
//   key written through the handle is answered with the last value written, committed or not,
//   so the keys a process keeps for itself (counters, its own state) never wait on the database.
//   A key the handle has never written is read through a connection of its own, which the
//   writer thread's commits do not lock; a later write by another process to a key this handle
//   has written is not seen by it.
// - A writer thread commits the writes in the order they were made, a batch at a time, each
//   batch in one transaction; within a batch only the last write of a key is kept (readers of
//   other processes never see a batch half-applied, so they could not have seen the earlier
//   ones). A batch is committed `commitDelay` after its first write at the latest; after
//   synchronize() at once, or `minimumCommitSpacing` after the end of the last commit when that
//   is later. Other processes therefore see a write within `visibilityBound`, and a synchronized
//   one within a few milliseconds, unless another process holds the file locked for longer. A
//   process that writes and synchronizes for every event of a burst thus commits once per
//   spacing, not once per event: each commit costs the writer thread a transaction and the
//   caller a wake of that thread.
// - synchronize() hands the pending writes to the writer thread and returns without waiting for
//   it or for the disk.
// - flush() waits until every write made before it is committed. Closing the handle flushes, so
//   does the normal end of the process (exit() or a return from main) for handles still open, and
//   so do SIGTERM and SIGINT once flushSuitesOnTerminationSignals() is installed. After SIGKILL
//   at most the writes of the last `visibilityBound` are missing; a commit is one transaction in
//   SQLite's log, so the file is never left damaged.
// - Commits do not checkpoint. The writer thread checkpoints the log itself through a connection
//   of its own, once the log has grown past SQLite's usual threshold, so that no caller ever
//   waits for that disk flush.
//
// A commit that fails (the file stayed locked past the busy timeout, the disk is full) drops its
// batch, as SQLiteUserDefaults drops a failed write; reads then ask the database again.
class WriteBehindUserDefaults final : public common::UserDefaults {
  public:
    static constexpr std::chrono::milliseconds commitDelay{10};
    static constexpr std::chrono::milliseconds visibilityBound{20};
    static constexpr std::chrono::milliseconds minimumCommitSpacing{5};
    // Log length, in pages, from which the writer thread checkpoints (SQLite's own default).
    static constexpr int checkpointThreshold = 1000;

    // Opens suite `suiteName` under `root` as SQLiteUserDefaults::open does and starts the
    // writer thread.
    static base::Expected<std::shared_ptr<WriteBehindUserDefaults>> open(
        std::string_view suiteName,
        std::string_view root,
        IfMissing ifMissing = IfMissing::create);
    ~WriteBehindUserDefaults() override;
    WriteBehindUserDefaults(const WriteBehindUserDefaults&) = delete;
    WriteBehindUserDefaults& operator=(const WriteBehindUserDefaults&) = delete;

    std::optional<base::Data> dataForKey(std::string_view key) override;
    std::int64_t integerForKey(std::string_view key) override;
    void setInteger(std::int64_t value, std::string_view key) override;
    void setObject(const std::optional<common::DefaultsObject>& object,
                   std::string_view key) override;
    // Hands the pending writes to the writer thread; always true.
    bool synchronize() override;
    // Changes only with commits of other processes' handles, as SQLiteUserDefaults's does: this
    // handle's commits go through the same connection. Asked while that connection commits, it
    // answers with its last reading rather than wait; a change by another process then shows
    // at the next call.
    std::optional<std::int64_t> externalChangeCounter() override;

    // Waits until every write made before the call has been committed (or dropped by a failed
    // commit). True when none was dropped.
    bool flush();
    // Transactions the writer thread has run since the handle was opened.
    std::uint64_t commitCount();

    // The value under `key` as this handle sees it.
    std::optional<StoredValue> objectForKey(std::string_view key);

  private:
    using Clock = std::chrono::steady_clock;
    WriteBehindUserDefaults(std::shared_ptr<SQLiteUserDefaults> store,
                            std::shared_ptr<SQLiteUserDefaults> reader,
                            std::shared_ptr<SQLiteUserDefaults> checkpointer);
    void write(std::string_view key, std::optional<StoredValue> value);
    void runWriter();

    // The writer thread's connection; callers only ever try its lock.
    const std::shared_ptr<SQLiteUserDefaults> store;
    // Reads of keys never written here.
    const std::shared_ptr<SQLiteUserDefaults> reader;
    const std::shared_ptr<SQLiteUserDefaults> checkpointer;

    std::mutex mutex;
    std::condition_variable writerWake;
    std::condition_variable batchCommitted;
    // Writes not yet taken by the writer thread, one per key, in the order of each key's first
    // write since the last batch was taken; `pendingIndex` finds a key's entry.
    std::vector<SQLiteUserDefaults::Write> pending;
    std::map<std::string, std::size_t, std::less<>> pendingIndex;
    // The number of the write each entry of `pending` holds.
    std::vector<std::uint64_t> pendingWriteNumbers;
    // The batch being committed, with its write numbers.
    std::vector<SQLiteUserDefaults::Write> inFlight;
    std::vector<std::uint64_t> inFlightWriteNumbers;
    // The last value written through this handle under each key (nothing inside for a removal),
    // and the number of that write; a key whose commit failed leaves it, unless written again.
    struct LastWrite {
        std::optional<StoredValue> value;
        std::uint64_t number = 0;
    };
    std::map<std::string, LastWrite, std::less<>> lastWrites;
    std::optional<std::int64_t> lastExternalChangeCounter;
    Clock::time_point firstPendingAt;
    // When the writer thread's last transaction ended.
    Clock::time_point lastCommitEndedAt;
    std::uint64_t commits = 0;
    // Asked for by synchronize(), paced by minimumCommitSpacing; by flush(), at once.
    bool commitRequested = false;
    bool flushRequested = false;
    bool stopping = false;
    // Writes made, and writes committed or dropped, counted since the handle was opened.
    std::uint64_t writesMade = 0;
    std::uint64_t writesDone = 0;
    std::uint64_t writesDropped = 0;
    std::thread writer;
};

// Opens suite `suiteName` under appGroupContainersRoot() as a WriteBehindUserDefaults, creating it
// when missing; nothing when it cannot be opened.
std::shared_ptr<common::UserDefaults> openWriteBehindUserDefaults(std::string_view suiteName);

// Flushes every open WriteBehindUserDefaults, then ends the process as the signal would have,
// when SIGTERM or SIGINT arrives. For programs that do not handle those signals themselves; call
// it at the start of main, before any other thread starts, since it blocks both signals in the
// calling thread and a thread of its own waits for them.
void flushSuitesOnTerminationSignals();

}  // namespace platform

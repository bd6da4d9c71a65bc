#include "platform/defaults/WriteBehindUserDefaults.h"

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <utility>

namespace platform {
namespace {

// The handles open in this process, flushed at its end. Never destroyed, so that it outlives
// every handle whatever the order in which the process tears down.
struct OpenHandles {
    std::mutex mutex;
    std::set<WriteBehindUserDefaults*> handles;
};

OpenHandles& openHandles() {
    static auto* const handles = new OpenHandles;
    return *handles;
}

void flushOpenHandles() {
    OpenHandles& open = openHandles();
    std::lock_guard lock(open.mutex);
    for (WriteBehindUserDefaults* handle : open.handles) {
        handle->flush();
    }
}

void registerHandle(WriteBehindUserDefaults* handle) {
    static const bool flushesAtExit = [] { return std::atexit(flushOpenHandles) == 0; }();
    (void)flushesAtExit;
    OpenHandles& open = openHandles();
    std::lock_guard lock(open.mutex);
    open.handles.insert(handle);
}

void unregisterHandle(WriteBehindUserDefaults* handle) {
    OpenHandles& open = openHandles();
    std::lock_guard lock(open.mutex);
    open.handles.erase(handle);
}

}  // namespace

base::Expected<std::shared_ptr<WriteBehindUserDefaults>> WriteBehindUserDefaults::open(
    std::string_view suiteName,
    std::string_view root,
    IfMissing ifMissing) {
    auto store = SQLiteUserDefaults::open(suiteName, root, ifMissing);
    if (!store) {
        return store.error();
    }
    // The suite exists now. In the log's mode a reader never waits for a writer, so reads through
    // a second connection do not wait for the writer thread's commits; a third only checkpoints.
    auto reader = SQLiteUserDefaults::open(suiteName, root, IfMissing::fail);
    if (!reader) {
        return reader.error();
    }
    auto checkpointer = SQLiteUserDefaults::open(suiteName, root, IfMissing::fail);
    if (!checkpointer) {
        return checkpointer.error();
    }
    (*store)->deferCheckpoints();
    return std::shared_ptr<WriteBehindUserDefaults>(new WriteBehindUserDefaults(
        std::move(store).value(), std::move(reader).value(), std::move(checkpointer).value()));
}

WriteBehindUserDefaults::WriteBehindUserDefaults(std::shared_ptr<SQLiteUserDefaults> store,
                                                 std::shared_ptr<SQLiteUserDefaults> reader,
                                                 std::shared_ptr<SQLiteUserDefaults> checkpointer)
    : store(std::move(store)), reader(std::move(reader)), checkpointer(std::move(checkpointer)) {
    writer = std::thread([this] { runWriter(); });
    registerHandle(this);
}

WriteBehindUserDefaults::~WriteBehindUserDefaults() {
    unregisterHandle(this);
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    writerWake.notify_one();
    writer.join();
}

std::optional<StoredValue> WriteBehindUserDefaults::objectForKey(std::string_view key) {
    {
        std::lock_guard lock(mutex);
        if (const auto found = lastWrites.find(key); found != lastWrites.end()) {
            return found->second.value;
        }
    }
    // Never written here, or its commit failed: the database has the answer.
    return reader->objectForKey(key);
}

std::optional<base::Data> WriteBehindUserDefaults::dataForKey(std::string_view key) {
    std::optional<StoredValue> value = objectForKey(key);
    if (!value || kindOf(*value) != StoredKind::data) {
        return std::nullopt;
    }
    return std::get<base::Data>(std::move(*value));
}

std::int64_t WriteBehindUserDefaults::integerForKey(std::string_view key) {
    std::optional<StoredValue> value = objectForKey(key);
    return value ? integerReading(*value) : 0;
}

void WriteBehindUserDefaults::setInteger(std::int64_t value, std::string_view key) {
    write(key, StoredValue(value));
}

void WriteBehindUserDefaults::setObject(const std::optional<common::DefaultsObject>& object,
                                        std::string_view key) {
    if (!object) {
        write(key, std::nullopt);
        return;
    }
    write(key,
          std::visit([](const auto& alternative) { return StoredValue(alternative); }, *object));
}

void WriteBehindUserDefaults::write(std::string_view key, std::optional<StoredValue> value) {
    bool wakeWriter = false;
    {
        std::lock_guard lock(mutex);
        const std::uint64_t number = ++writesMade;
        auto last = lastWrites.find(key);
        if (last == lastWrites.end()) {
            last = lastWrites.emplace(std::string(key), LastWrite{}).first;
        }
        last->second = {value, number};
        if (const auto found = pendingIndex.find(key); found != pendingIndex.end()) {
            pending[found->second].value = std::move(value);
            pendingWriteNumbers[found->second] = number;
            return;
        }
        if (pending.empty()) {
            firstPendingAt = Clock::now();
            wakeWriter = true;
        }
        pendingIndex.emplace(std::string(key), pending.size());
        pending.push_back({std::string(key), std::move(value)});
        pendingWriteNumbers.push_back(number);
    }
    // The writer thread sleeps without a deadline while nothing waits; it now sets one.
    if (wakeWriter) {
        writerWake.notify_one();
    }
}

bool WriteBehindUserDefaults::synchronize() {
    bool wakeWriter = false;
    {
        std::lock_guard lock(mutex);
        wakeWriter = !pending.empty() && !commitRequested;
        commitRequested = commitRequested || wakeWriter;
    }
    if (wakeWriter) {
        writerWake.notify_one();
    }
    return true;
}

std::uint64_t WriteBehindUserDefaults::commitCount() {
    std::lock_guard lock(mutex);
    return commits;
}

bool WriteBehindUserDefaults::flush() {
    std::unique_lock lock(mutex);
    const std::uint64_t target = writesMade;
    const std::uint64_t droppedBefore = writesDropped;
    if (writesDone >= target) {
        return true;
    }
    flushRequested = true;
    writerWake.notify_one();
    batchCommitted.wait(lock, [&] { return writesDone >= target; });
    return writesDropped == droppedBefore;
}

std::optional<std::int64_t> WriteBehindUserDefaults::externalChangeCounter() {
    // The writer thread holds its connection for a whole commit; a caller does not wait for it.
    auto counter = store->externalChangeCounterUnlessBusy();
    std::lock_guard lock(mutex);
    if (counter) {
        lastExternalChangeCounter = *counter;
    }
    return lastExternalChangeCounter;
}

void WriteBehindUserDefaults::runWriter() {
    std::unique_lock lock(mutex);
    for (;;) {
        if (pending.empty()) {
            if (stopping) {
                return;
            }
            writerWake.wait(lock);
            continue;
        }
        if (!flushRequested && !stopping) {
            Clock::time_point deadline = firstPendingAt + commitDelay;
            if (commitRequested) {
                // A burst of synchronized writes costs one commit per spacing, not one per write.
                deadline = std::min(deadline, lastCommitEndedAt + minimumCommitSpacing);
            }
            if (Clock::now() < deadline) {
                writerWake.wait_until(lock, deadline);
                continue;
            }
        }
        inFlight = std::move(pending);
        inFlightWriteNumbers = std::move(pendingWriteNumbers);
        pending.clear();
        pendingWriteNumbers.clear();
        pendingIndex.clear();
        commitRequested = false;
        flushRequested = false;
        const std::uint64_t batchEnd = writesMade;

        lock.unlock();
        const bool committed = static_cast<bool>(store->applyInOneTransaction(inFlight));
        lock.lock();
        lastCommitEndedAt = Clock::now();
        ++commits;

        if (!committed) {
            writesDropped += batchEnd - writesDone;
            // The dropped values are read from the database again, unless written since.
            for (std::size_t index = 0; index < inFlight.size(); ++index) {
                const auto last = lastWrites.find(inFlight[index].key);
                if (last != lastWrites.end() &&
                    last->second.number == inFlightWriteNumbers[index]) {
                    lastWrites.erase(last);
                }
            }
        }
        inFlight.clear();
        inFlightWriteNumbers.clear();
        writesDone = batchEnd;
        batchCommitted.notify_all();

        if (store->walFrameCount() >= checkpointThreshold) {
            lock.unlock();
            // A passive checkpoint waits for no one: frames that a reader still needs stay for
            // the next one.
            (void)checkpointer->synchronize();
            lock.lock();
        }
    }
}

std::shared_ptr<common::UserDefaults> openWriteBehindUserDefaults(std::string_view suiteName) {
    auto opened = WriteBehindUserDefaults::open(suiteName, appGroupContainersRoot());
    if (!opened) {
        return nullptr;
    }
    return std::move(opened.value());
}

void flushSuitesOnTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            return;
        }
        flushOpenHandles();
        // Ends the process with the signal, as it would have ended without this thread.
        std::signal(received, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, received);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        std::raise(received);
    }).detach();
}

}  // namespace platform

#include "base/log/LogOutput.h"

#include <signal.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace base {
namespace {

// How long the writer gathers lines after the first one arrives, so that a burst of messages
// costs one write.
constexpr auto gatheringTime = std::chrono::milliseconds(5);

struct PendingLines {
    std::mutex mutex;
    std::condition_variable changed;
    std::string text;
    std::size_t dropped = 0;
    bool isBackground = false;
    bool isStopping = false;
};

PendingLines& pending() {
    static PendingLines lines;
    return lines;
}

void writeAll(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // Nowhere to write to: the lines are lost, as they would be unread.
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void writeLogLine(std::string_view line) {
    auto& lines = pending();
    {
        std::lock_guard lock(lines.mutex);
        if (lines.isBackground) {
            if (lines.text.size() + line.size() > BackgroundLogOutput::maximumPendingBytes) {
                ++lines.dropped;
                return;
            }
            const bool wasEmpty = lines.text.empty();
            lines.text.append(line);
            if (wasEmpty) {
                lines.changed.notify_one();
            }
            return;
        }
    }
    writeAll(line);
}

BackgroundLogOutput::BackgroundLogOutput() {
    auto& lines = pending();
    {
        std::lock_guard lock(lines.mutex);
        lines.isBackground = true;
        lines.isStopping = false;
    }
    writer = std::thread([this] { run(); });
}

BackgroundLogOutput::~BackgroundLogOutput() {
    auto& lines = pending();
    {
        std::lock_guard lock(lines.mutex);
        lines.isBackground = false;
        lines.isStopping = true;
    }
    lines.changed.notify_one();
    writer.join();
}

void BackgroundLogOutput::run() {
    // Signals are for the threads of the program; this one only writes.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    auto& lines = pending();
    std::unique_lock lock(lines.mutex);
    while (true) {
        lines.changed.wait(lock, [&] { return lines.isStopping || !lines.text.empty(); });
        lines.changed.wait_for(lock, gatheringTime, [&] { return lines.isStopping; });
        std::string batch;
        batch.swap(lines.text);
        if (lines.dropped > 0) {
            batch += "log output: " + std::to_string(lines.dropped) +
                     " messages were dropped because the output did not keep up\n";
            lines.dropped = 0;
        }
        const bool isLast = lines.isStopping;
        lock.unlock();
        writeAll(batch);
        lock.lock();
        if (isLast && lines.text.empty()) {
            return;
        }
    }
}

}  // namespace base

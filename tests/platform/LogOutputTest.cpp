#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/log/Log.h"
#include "base/log/LogOutput.h"

namespace {

const base::Logger logger{"test.subsystem", "log-output"};

// What `log` logged under a BackgroundLogOutput, read from standard error: a pipe of `capacity`
// bytes that nobody reads until `log` returns.
std::string loggedOutput(int capacity, const std::function<void()>& log) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[0], F_SETPIPE_SZ, capacity);
    const int savedError = ::dup(STDERR_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[1]);
    std::future<std::string> received;
    {
        base::BackgroundLogOutput output;
        log();
        received = std::async(std::launch::async, [&ends] {
            std::string text;
            char buffer[65536];
            for (ssize_t count; (count = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(count));
            }
            return text;
        });
    }
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    const std::string text = received.get();
    ::close(ends[0]);
    return text;
}

TEST(LogOutputTest, LinesFromSeveralThreadsArriveWholeAndInOrderBeforeTheOutputEnds) {
    const auto logLines = [](std::string thread) {
        for (std::int64_t index = 0; index < 500; ++index) {
            logger.log("%{public}s %{public}ld", {thread, index});
        }
    };
    const std::string text = loggedOutput(1 << 16, [&] {
        std::thread other(logLines, "other");
        logLines("main");
        other.join();
    });
    for (const std::string thread : {"main", "other"}) {
        std::size_t position = 0;
        for (int index = 0; index < 500 && position != std::string::npos; ++index) {
            position = text.find(": " + thread + " " + std::to_string(index) + "\n", position);
            EXPECT_NE(position, std::string::npos)
                << "missing or out of order: " << thread << index;
        }
    }
}

TEST(LogOutputTest, AStalledReaderNeitherHoldsUpLoggingNorLosesTheCountOfWhatWasDropped) {
    const std::string payload(200, 'x');
    const int count = static_cast<int>(2 * base::BackgroundLogOutput::maximumPendingBytes / 200);
    const std::string text = loggedOutput(4096, [&] {
        // A logging thread that waited for the reader would never finish.
        const auto started = std::chrono::steady_clock::now();
        for (int index = 0; index < count; ++index) {
            logger.log("%{public}ld %{public}s", {std::int64_t{index}, payload});
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    });
    EXPECT_NE(text.find(": 0 " + payload + "\n"), std::string::npos);
    EXPECT_NE(text.find("messages were dropped because the output did not keep up"),
              std::string::npos);
    EXPECT_EQ(text.find(": " + std::to_string(count - 1) + " " + payload + "\n"),
              std::string::npos);
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/log/Log.h"
#include "base/log/LogOutput.h"

namespace {

// Standard error redirected into a pipe for the life of the fixture; `collected()` reads what
// arrives.
class LogOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(descriptors, O_CLOEXEC), 0);
        savedError = ::dup(STDERR_FILENO);
        ASSERT_GE(::dup2(descriptors[1], STDERR_FILENO), 0);
    }
    void TearDown() override {
        ::dup2(savedError, STDERR_FILENO);
        ::close(savedError);
        ::close(descriptors[1]);
        if (reader.joinable()) {
            reader.join();
        }
        ::close(descriptors[0]);
    }
    // Reads the pipe on a thread of its own until every writer has closed it.
    void startReading() {
        reader = std::thread([this] {
            char buffer[65536];
            ssize_t count;
            while ((count = ::read(descriptors[0], buffer, sizeof buffer)) > 0) {
                received.append(buffer, static_cast<std::size_t>(count));
            }
        });
    }
    std::string collected() {
        ::dup2(savedError, STDERR_FILENO);
        ::close(descriptors[1]);
        descriptors[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        reader.join();
        return received;
    }

    int descriptors[2] = {-1, -1};
    int savedError = -1;
    std::thread reader;
    std::string received;
    base::Logger logger{"test.subsystem", "log-output"};
};

TEST_F(LogOutputTest, LinesFromSeveralThreadsArriveWholeAndInOrderBeforeTheOutputEnds) {
    startReading();
    {
        base::BackgroundLogOutput output;
        std::thread other([&] {
            for (int index = 0; index < 500; ++index) {
                logger.log("other %{public}ld", {std::int64_t{index}});
            }
        });
        for (int index = 0; index < 500; ++index) {
            logger.log("main %{public}ld", {std::int64_t{index}});
        }
        other.join();
    }
    const std::string text = collected();
    for (const char* thread : {"main", "other"}) {
        SCOPED_TRACE(thread);
        std::size_t position = 0;
        for (int index = 0; index < 500; ++index) {
            const std::string message =
                std::string(": ") + thread + " " + std::to_string(index) + "\n";
            position = text.find(message, position);
            ASSERT_NE(position, std::string::npos) << "missing or out of order: " << message;
        }
    }
}

TEST_F(LogOutputTest, AStalledReaderNeitherHoldsUpLoggingNorLosesTheCountOfWhatWasDropped) {
    ::fcntl(descriptors[1], F_SETPIPE_SZ, 4096);
    const std::string payload(200, 'x');
    const int count = static_cast<int>(2 * base::BackgroundLogOutput::maximumPendingBytes / 200);
    {
        base::BackgroundLogOutput output;
        // Nobody reads the pipe yet: a logging thread that waited for it would never finish.
        const auto started = std::chrono::steady_clock::now();
        for (int index = 0; index < count; ++index) {
            logger.log("%{public}ld %{public}s", {std::int64_t{index}, payload});
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        startReading();
    }
    const std::string text = collected();
    EXPECT_NE(text.find(": 0 " + payload + "\n"), std::string::npos);
    EXPECT_NE(text.find("messages were dropped because the output did not keep up"),
              std::string::npos);
    EXPECT_EQ(text.find(": " + std::to_string(count - 1) + " " + payload + "\n"),
              std::string::npos);
}

}  // namespace

// A writer that synchronizes after every write, as the filter does for every flow, must cost one
// commit per spacing during a burst, and lose no write.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/defaults/WriteBehindUserDefaults.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(WriteBehindCommitPacingTest, ABurstOfSynchronizedWritesCommitsOncePerSpacingAndKeepsThemAll) {
    std::string folder = std::filesystem::temp_directory_path() / "commit-pacing-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    auto suite = WriteBehindUserDefaults::open("group.test.shared", folder);
    ASSERT_TRUE(suite) << suite.error().description;
    auto reader = SQLiteUserDefaults::open("group.test.shared", folder);
    ASSERT_TRUE(reader) << reader.error().description;

    struct Case {
        const char* name;
        int writes;
        std::chrono::microseconds interval;
    } cases[] = {{"back to back", 2000, 0us}, {"one every 100 microseconds", 300, 100us}};
    int written = 0;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ASSERT_TRUE((*suite)->flush());
        const auto commitsBefore = (*suite)->commitCount();
        const auto started = std::chrono::steady_clock::now();
        for (int index = 0; index < each.writes; ++index) {
            ++written;
            (*suite)->setInteger(written, "k" + std::to_string(written));
            (*suite)->synchronize();
            std::this_thread::sleep_for(each.interval);
        }
        const auto elapsed = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE((*suite)->flush());
        // One at once, one per spacing of the burst, and the flush's.
        EXPECT_LE((*suite)->commitCount() - commitsBefore,
                  elapsed / WriteBehindUserDefaults::minimumCommitSpacing + 3);
        int missing = 0;
        for (int index = written - each.writes + 1; index <= written; ++index) {
            missing += (*reader)->integerForKey("k" + std::to_string(index)) != index;
        }
        EXPECT_EQ(missing, 0);
    }
    suite->reset();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace platform

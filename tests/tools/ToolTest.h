#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json/JSON.h"
#include "common/BuildConstants.h"
#include "fakes/ChildProcess.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace support {

inline base::Value parsedJSON(const std::string& text) {
    auto parsed = base::json::JSONObjectWithData(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    EXPECT_TRUE(parsed) << text;
    return parsed ? *parsed : base::Value();
}

// Runs the built programs as child processes on a suite under a fresh folder, which suite()
// opens (for tests that link the suite's library).
class ToolTest : public testing::Test {
  protected:
    ChildProcessResult run(const std::string& program,
                           std::vector<std::string> arguments,
                           const std::string& input = "",
                           Environment environment = {}) {
        arguments.insert(arguments.begin(), std::string(TOVRIN_BIN_DIR) + "/" + program);
        environment.insert(environment.begin(), {"APP_GROUP_CONTAINERS_ROOT", root});
        return runChildProcess(arguments, input, folder, environment);
    }
    std::shared_ptr<platform::SQLiteUserDefaults> suite() {
        auto opened = platform::SQLiteUserDefaults::open(common::appGroupIdentifier, root);
        EXPECT_TRUE(opened);
        return opened ? *opened : nullptr;
    }
    // Stores `text` under `key` as data, as the suite's peers store JSON.
    void storeText(const std::string& key, const std::string& text) {
        ASSERT_TRUE(suite()->store(key, base::Data(text.begin(), text.end())));
    }

    ScratchFolder scratch;
    const std::string folder = scratch.path;
    std::string root = folder + "/app-groups";
};

}  // namespace support

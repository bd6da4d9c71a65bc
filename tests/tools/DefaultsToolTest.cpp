#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ToolTest.h"

namespace {

constexpr char testSuite[] = "group.test.shared";

class DefaultsToolTest : public support::ToolTest {
  protected:
    support::ChildProcessResult run(std::vector<std::string> arguments) {
        return ToolTest::run("defaults", std::move(arguments));
    }

    void write(const std::string& key, const std::string& option, const std::string& value) {
        const auto outcome = run({"write", testSuite, key, option, value});
        ASSERT_EQ(outcome.exitStatus, 0) << outcome.standardError;
    }

    std::string writeFile(const std::string& name, const std::string& contents) {
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
};

// The listing sorts the keys and shows each with its kind; `read` of a data key prints its bytes
// raw, every byte value included.
TEST_F(DefaultsToolTest, EachKindReadsBackAsWritten) {
    write("zeta", "-int", "-9223372036854775808");
    write("alpha", "-string", "caf\xc3\xa9\nlines\\");
    write("blob", "-data", "7B7d");
    write("binary", "-data", "00ff");
    write("when", "-date", "2026-12-06T20:21:40.5+01:00");
    write("past", "-date", "1969-12-31T23:59:59.999-0000");
    EXPECT_EQ(run({"read", testSuite}).standardOutput,
              "alpha (string): caf\xc3\xa9\\nlines\\\\\n"
              "binary (data): <00ff>\n"
              "blob (data): {}\n"
              "past (date): 1969-12-31T23:59:59.999Z\n"
              "when (date): 2026-12-06T19:21:40.500Z\n"
              "zeta (integer): -9223372036854775808\n");
    EXPECT_EQ(run({"delete", testSuite, "zeta"}).exitStatus, 0);
    EXPECT_EQ(run({"read", testSuite, "zeta"}).exitStatus, 1);

    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    write("binary", "-data-file", writeFile("binary", everyByte));
    EXPECT_EQ(run({"read", testSuite, "binary"}).standardOutput, everyByte);
}

TEST_F(DefaultsToolTest, ExitStatuses) {
    write("present", "-int", "1");
    struct Case {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{"read", testSuite, "absent"}, 1},
        {{"read", "group.never.written"}, 1},
        {{"write", testSuite, "key", "-data-file", folder + "/no-such-file"}, 1},
        {{"write", testSuite, "key", "-data", "abc"}, 2},
        {{"write", testSuite, "key", "-int", "9223372036854775808"}, 2},
        {{"write", testSuite, "key", "-date", "2026-02-29T00:00:00Z"}, 2},
        {{}, 2},
        {{"rename", testSuite, "present"}, 2},
        {{"read", "../escape", "key"}, 2},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testing::PrintToString(testCase.arguments));
        const auto outcome = run(testCase.arguments);
        EXPECT_EQ(outcome.exitStatus, testCase.status);
        EXPECT_EQ(outcome.standardError.empty(), testCase.status == 0) << outcome.standardError;
        if (testCase.status == 2) {
            EXPECT_NE(outcome.standardError.find("usage:"), std::string::npos);
        }
    }
    EXPECT_EQ(run({"read", testSuite, "present"}).standardOutput, "1\n");
    EXPECT_FALSE(std::filesystem::exists(root + "/group.never.written"));

    root = writeFile("regular", "x") + "/app-groups";
    const auto unopenable = run({"write", testSuite, "key", "-int", "1"});
    EXPECT_EQ(unopenable.exitStatus, 1);
    EXPECT_NE(unopenable.standardError.find("cannot create folder"), std::string::npos);
}

}  // namespace

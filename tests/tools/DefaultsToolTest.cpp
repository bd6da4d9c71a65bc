#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ToolTest.h"

namespace {

constexpr char suite[] = "group.test.shared";

class DefaultsToolTest : public support::ToolTest {
  protected:
    support::ChildProcessResult run(std::vector<std::string> arguments) {
        return ToolTest::run("defaults", std::move(arguments));
    }

    void write(const std::string& key, const std::string& option, const std::string& value) {
        const auto outcome = run({"write", suite, key, option, value});
        ASSERT_EQ(outcome.exitStatus, 0) << outcome.standardError;
    }

    std::string writeFile(const std::string& name, const std::string& contents) {
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
};

// Also: every byte value written with -data-file reads back as the same bytes.
TEST_F(DefaultsToolTest, EachKindRoundTrips) {
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    struct Case {
        const char* option;
        std::string argument;
        const char* kind;
        std::string read;
    } cases[] = {
        {"-string", "caf\xc3\xa9 'au' lait", "string", "caf\xc3\xa9 'au' lait\n"},
        {"-int", "-9223372036854775808", "integer", "-9223372036854775808\n"},
        {"-data", "00FF10", "data", std::string("\x00\xff\x10", 3)},
        {"-data-file", writeFile("binary", everyByte), "data", everyByte},
        {"-date", "2026-12-06T20:21:40.5+01:00", "date", "2026-12-06T19:21:40.500Z\n"},
        {"-date", "1969-12-31T23:59:59.999-0000", "date", "1969-12-31T23:59:59.999Z\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.option) + " " + testCase.argument);
        write("key", testCase.option, testCase.argument);
        const auto type = run({"read-type", suite, "key"});
        EXPECT_EQ(type.exitStatus, 0);
        EXPECT_EQ(type.standardOutput, std::string(testCase.kind) + "\n");
        const auto read = run({"read", suite, "key"});
        EXPECT_EQ(read.exitStatus, 0);
        EXPECT_EQ(read.standardOutput, testCase.read);
    }
}

TEST_F(DefaultsToolTest, ListingShowsEveryKeySortedWithItsKindAndDeleteRemovesKeys) {
    write("zeta", "-int", "7");
    write("alpha", "-string", "two\nlines\\");
    write("blob", "-data", "7b7d");
    write("binary", "-data", "00ff");
    write("when", "-date", "2026-12-06T19:21:40.123Z");
    const auto listing = run({"read", suite});
    EXPECT_EQ(listing.exitStatus, 0);
    EXPECT_EQ(listing.standardOutput,
              "alpha (string): two\\nlines\\\\\n"
              "binary (data): <00ff>\n"
              "blob (data): {}\n"
              "when (date): 2026-12-06T19:21:40.123Z\n"
              "zeta (integer): 7\n");
    EXPECT_EQ(run({"delete", suite, "zeta"}).exitStatus, 0);
    EXPECT_EQ(run({"read", suite, "zeta"}).exitStatus, 1);
}

TEST_F(DefaultsToolTest, ExitStatuses) {
    write("present", "-int", "1");
    struct Case {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{"read", suite, "absent"}, 1},
        {{"read", "group.never.written"}, 1},
        {{"write", suite, "key", "-data-file", folder + "/no-such-file"}, 1},
        {{"write", suite, "key", "-data", "abc"}, 2},
        {{"write", suite, "key", "-int", "9223372036854775808"}, 2},
        {{"write", suite, "key", "-date", "2026-02-29T00:00:00Z"}, 2},
        {{"write", suite, "key", "-int"}, 2},
        {{}, 2},
        {{"rename", suite, "present"}, 2},
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
    EXPECT_EQ(run({"read", suite, "present"}).standardOutput, "1\n");
    EXPECT_FALSE(std::filesystem::exists(root + "/group.never.written"));

    root = writeFile("regular", "x") + "/app-groups";
    const auto unopenable = run({"write", suite, "key", "-int", "1"});
    EXPECT_EQ(unopenable.exitStatus, 1);
    EXPECT_NE(unopenable.standardError.find("cannot create folder"), std::string::npos);
}

}  // namespace

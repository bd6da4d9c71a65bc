#include "platform/defaults/SQLiteUserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fakes/ChildProcess.h"

namespace platform {
namespace {

constexpr char suiteName[] = "group.test.shared";

base::Data bytes(std::string_view text) {
    return base::Data(text.begin(), text.end());
}

mode_t permissions(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class SQLiteUserDefaultsTest : public testing::Test {
  protected:
    std::shared_ptr<SQLiteUserDefaults> openSuite() {
        auto opened = SQLiteUserDefaults::open(suiteName, root);
        EXPECT_TRUE(opened) << opened.error().description;
        return opened ? opened.value() : nullptr;
    }

    support::ScratchFolder scratch;
    const std::string temporaryFolder = scratch.path;
    const std::string root = temporaryFolder + "/app-groups";
};

// Each value is read back from another handle with its kind; integerForKey converts text and
// reals as the platform does, and dataForKey gives nothing for another kind.
TEST_F(SQLiteUserDefaultsTest, ValuesKeepTheirKindAcrossHandles) {
    constexpr auto largest = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* key;
        StoredValue stored;
        std::int64_t integer;
    } cases[] = {
        {"data", bytes(std::string_view("{\"a\":1}\0\xff", 9)), 0},
        // Read from the file by a path of its own.
        {"largeData", base::Data(300000, 0x5a), 0},
        {"largestInteger", largest, largest},
        {"text", std::string("caf\xc3\xa9 \n line"), 0},
        {"negativeText", std::string("-7"), -7},
        {"textWithTrailingLetters", std::string("42abc"), 0},
        {"textBeyond64Bits", std::string("9223372036854775808"), 0},
        {"date", base::Date{818277700.123}, 0},
        {"negativeReal", -3.9, -3},
        {"hugeReal", 1e30, largest},
        {"hugelyNegativeReal", -1e30, std::numeric_limits<std::int64_t>::min()},
    };
    auto writer = openSuite();
    ASSERT_TRUE(writer);
    for (const Case& testCase : cases) {
        ASSERT_TRUE(writer->store(testCase.key, testCase.stored)) << testCase.key;
    }
    auto reader = openSuite();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.key);
        EXPECT_EQ(reader->objectForKey(testCase.key), testCase.stored);
        EXPECT_EQ(reader->integerForKey(testCase.key), testCase.integer);
        const auto* data = std::get_if<base::Data>(&testCase.stored);
        EXPECT_EQ(reader->dataForKey(testCase.key), data ? std::optional(*data) : std::nullopt);
    }
    EXPECT_EQ(reader->allEntries()->size(), std::size(cases));
}

// Replacing a value replaces its kind too; no object removes the key. Only the owner and group
// may use the suite, whatever the umask; a root shared by a group (set-group-ID, as the installed
// system makes it) gives the suite's folder and files to that group, whoever makes them.
TEST_F(SQLiteUserDefaultsTest, SeamWritesAndTheSuitesPermissions) {
    for (const mode_t rootMode : {0, 02770}) {
        SCOPED_TRACE(rootMode);
        std::filesystem::remove_all(root);
        if (rootMode != 0) {
            std::filesystem::create_directories(root);
            ASSERT_EQ(chmod(root.c_str(), rootMode), 0);
        }
        const mode_t earlierMask = umask(rootMode ? 077 : 022);
        auto defaults = openSuite();
        umask(earlierMask);
        ASSERT_TRUE(defaults);
        common::UserDefaults& seam = *defaults;
        seam.setObject(common::DefaultsObject(bytes("blob")), "blob");
        seam.setObject(common::DefaultsObject(base::Date{1.5}), "when");
        seam.setInteger(3, "blob");
        seam.setObject(std::nullopt, "when");
        EXPECT_TRUE(seam.synchronize());
        EXPECT_EQ(seam.dataForKey("blob"), std::nullopt);
        EXPECT_EQ(openSuite()->objectForKey("blob"), StoredValue(std::int64_t{3}));
        EXPECT_EQ(defaults->objectForKey("when"), std::nullopt);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(permissions(defaults->path() + suffix), 0660u) << suffix;
        }
        EXPECT_EQ(permissions(root + "/" + suiteName), rootMode ? 02770u : 0770u);
    }
}

TEST_F(SQLiteUserDefaultsTest, SuitesThatCannotBeOpened) {
    const std::string regularFile = temporaryFolder + "/file";
    std::ofstream(regularFile) << "not a folder";
    const std::string garbageRoot = temporaryFolder + "/garbage";
    std::filesystem::create_directories(garbageRoot + "/" + suiteName);
    std::ofstream(garbageRoot + "/" + suiteName + "/defaults.sqlite3") << std::string(4096, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {regularFile + "/app-groups", suiteName},
        {garbageRoot, suiteName},
        {root, ".."},
        {root, "../escaped"},
    };
    for (const auto& [caseRoot, suite] : cases) {
        SCOPED_TRACE(caseRoot + " " + suite);
        EXPECT_FALSE(SQLiteUserDefaults::open(suite, caseRoot));
    }
    EXPECT_FALSE(std::filesystem::exists(temporaryFolder + "/escaped"));
    EXPECT_FALSE(SQLiteUserDefaults::open("absent", root, IfMissing::fail));
    EXPECT_FALSE(std::filesystem::exists(root + "/absent"));
}

// Four writers in processes of their own start at once on a suite none has made yet; each round
// of each writer leaves a key of its own, so a write lost midway shows as a missing entry.
TEST_F(SQLiteUserDefaultsTest, WritersInSeveralProcessesLoseNoWrite) {
    constexpr int writerCount = 4;
    const auto key = [](int writer, auto name) {
        return "writer" + std::to_string(writer) + "." + std::to_string(name);
    };
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    const auto write = [&](int writer) {
        close(start[1]);
        char ignored;
        (void)!read(start[0], &ignored, 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        auto suite = SQLiteUserDefaults::open(suiteName, root);
        int rounds = 0;
        for (; suite && rounds < 3000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
            if (!(*suite)->store(key(writer, rounds), bytes(std::to_string(rounds)))) {
                return 2;
            }
        }
        return suite && (*suite)->store(key(writer, -1), std::int64_t{rounds}) ? 0 : 1;
    };
    std::vector<pid_t> children;
    for (int writer = 0; writer < writerCount; ++writer) {
        children.push_back(fork());
        if (children.back() == 0) {
            _exit(write(writer));
        }
    }
    close(start[0]);
    close(start[1]);
    for (const pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    auto defaults = openSuite();
    ASSERT_TRUE(defaults);
    std::size_t expectedCount = 0;
    for (int writer = 0; writer < writerCount; ++writer) {
        const std::int64_t rounds = defaults->integerForKey(key(writer, -1));
        EXPECT_GT(rounds, 0) << writer;
        EXPECT_EQ(defaults->dataForKey(key(writer, rounds - 1)), bytes(std::to_string(rounds - 1)));
        expectedCount += 1 + static_cast<std::size_t>(rounds);
    }
    EXPECT_EQ(defaults->allEntries()->size(), expectedCount);
}

}  // namespace
}  // namespace platform

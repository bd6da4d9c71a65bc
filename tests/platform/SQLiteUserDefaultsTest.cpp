#include "platform/defaults/SQLiteUserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace platform {
namespace {

constexpr char suiteName[] = "group.test.shared";

Data bytes(std::string_view text) {
    return Data(text.begin(), text.end());
}

mode_t permissions(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return 0;
    }
    return status.st_mode & 07777;
}

// Sets an environment variable for one scope and puts the earlier value back afterwards.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name(name) {
        if (const char* earlier = std::getenv(name)) {
            earlierValue = earlier;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnvironment() { earlierValue ? setenv(name, earlierValue->c_str(), 1) : unsetenv(name); }

  private:
    const char* name;
    std::optional<std::string> earlierValue;
};

class SQLiteUserDefaultsTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "suite-test-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        temporaryFolder = pattern;
        root = temporaryFolder + "/app-groups";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(temporaryFolder, ignored);
    }

    std::shared_ptr<SQLiteUserDefaults> openSuite(std::string_view name = suiteName) {
        auto opened = SQLiteUserDefaults::open(name, root);
        EXPECT_TRUE(opened) << opened.error().description;
        return opened ? opened.value() : nullptr;
    }

    std::string temporaryFolder;
    std::string root;
};

TEST_F(SQLiteUserDefaultsTest, ValuesKeepTheirKindAcrossHandles) {
    const std::pair<std::string, StoredValue> values[] = {
        {"data", bytes(std::string_view("{\"a\":1}\0\xff", 9))},
        {"emptyData", Data()},
        {"integer", std::int64_t{-42}},
        {"largestInteger", std::numeric_limits<std::int64_t>::max()},
        {"text", std::string("caf\xc3\xa9 \n line")},
        {"emptyText", std::string()},
        {"digitsText", std::string("123")},
        {"date", Date{818277700.123}},
        {"distantPast", Date::distantPast()},
        {"real", 2.5},
    };
    auto writer = openSuite();
    ASSERT_TRUE(writer);
    for (const auto& [key, value] : values) {
        ASSERT_TRUE(writer->store(key, value)) << key;
    }

    auto reader = openSuite();
    ASSERT_TRUE(reader);
    for (const auto& [key, value] : values) {
        SCOPED_TRACE(key);
        EXPECT_EQ(reader->objectForKey(key), value);
    }
    auto entries = reader->allEntries();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), std::size(values));
    EXPECT_TRUE(std::is_sorted(entries->begin(), entries->end(),
                               [](const auto& a, const auto& b) { return a.key < b.key; }));
}

TEST_F(SQLiteUserDefaultsTest, SeamOperationsReadWhatTheyWrote) {
    auto defaults = openSuite();
    ASSERT_TRUE(defaults);
    common::UserDefaults& seam = *defaults;
    EXPECT_EQ(seam.dataForKey("absent"), std::nullopt);
    EXPECT_EQ(seam.integerForKey("absent"), 0);

    seam.setInteger(7, "count");
    seam.setObject(common::DefaultsObject(std::string("running")), "state");
    seam.setObject(common::DefaultsObject(bytes("blob")), "blob");
    seam.setObject(common::DefaultsObject(Date{1.5}), "when");
    EXPECT_EQ(seam.integerForKey("count"), 7);
    EXPECT_EQ(seam.dataForKey("blob"), bytes("blob"));
    EXPECT_EQ(defaults->objectForKey("state"), StoredValue(std::string("running")));
    EXPECT_EQ(defaults->kindForKey("when"), StoredKind::date);

    // Replacing a value replaces its kind too; no object removes the key.
    seam.setInteger(3, "blob");
    EXPECT_EQ(seam.dataForKey("blob"), std::nullopt);
    EXPECT_EQ(defaults->kindForKey("blob"), StoredKind::integer);
    seam.setObject(std::nullopt, "state");
    EXPECT_EQ(defaults->objectForKey("state"), std::nullopt);
    seam.setObject(std::nullopt, "neverWritten");
    EXPECT_TRUE(seam.synchronize());
    EXPECT_EQ(openSuite()->integerForKey("count"), 7);
}

TEST_F(SQLiteUserDefaultsTest, ReadsOfAnotherKind) {
    struct Case {
        const char* name;
        StoredValue stored;
        std::int64_t integer;
    } cases[] = {
        {"decimal text", std::string("42"), 42},
        {"negative text", std::string("-7"), -7},
        {"plus-signed text", std::string("+7"), 7},
        {"text with trailing letters", std::string("42abc"), 0},
        {"text with a blank", std::string(" 42"), 0},
        {"text of a real", std::string("4.2"), 0},
        {"empty text", std::string(), 0},
        {"text beyond 64 bits", std::string("9223372036854775808"), 0},
        {"real", 3.9, 3},
        {"negative real", -3.9, -3},
        {"huge real", 1e30, std::numeric_limits<std::int64_t>::max()},
        {"hugely negative real", -1e30, std::numeric_limits<std::int64_t>::min()},
        {"date", Date{1000.0}, 0},
        {"data", bytes("12"), 0},
    };
    auto defaults = openSuite();
    ASSERT_TRUE(defaults);
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_TRUE(defaults->store("key", testCase.stored));
        EXPECT_EQ(defaults->integerForKey("key"), testCase.integer);
        if (kindOf(testCase.stored) != StoredKind::data) {
            EXPECT_EQ(defaults->dataForKey("key"), std::nullopt);
        }
    }
}

TEST_F(SQLiteUserDefaultsTest, SuitesThatCannotBeOpened) {
    const std::string regularFile = temporaryFolder + "/file";
    std::ofstream(regularFile) << "not a folder";
    const std::string garbageRoot = temporaryFolder + "/garbage";
    std::filesystem::create_directories(garbageRoot + "/" + suiteName);
    std::ofstream(garbageRoot + "/" + suiteName + "/defaults.sqlite3") << std::string(4096, 'x');

    struct Case {
        const char* name;
        std::string root;
        std::string suite;
    } cases[] = {
        {"root under a regular file", regularFile + "/app-groups", suiteName},
        {"root is a regular file", regularFile, suiteName},
        {"file that is no database", garbageRoot, suiteName},
        {"empty name", root, ""},
        {"dot", root, "."},
        {"dot dot", root, ".."},
        {"name with a slash", root, "../escaped"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto opened = SQLiteUserDefaults::open(testCase.suite, testCase.root);
        EXPECT_FALSE(opened);
        ScopedEnvironment environment("APP_GROUP_CONTAINERS_ROOT", testCase.root.c_str());
        EXPECT_EQ(openSQLiteUserDefaults(testCase.suite), nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(temporaryFolder + "/escaped"));
    EXPECT_FALSE(SQLiteUserDefaults::open("absent", root, IfMissing::fail));
    EXPECT_FALSE(std::filesystem::exists(root + "/absent"));
}

TEST_F(SQLiteUserDefaultsTest, InstalledOpenerUsesTheRootFromTheEnvironment) {
    ScopedEnvironment environment("APP_GROUP_CONTAINERS_ROOT", root.c_str());
    installSQLiteUserDefaults();
    auto defaults = common::UserDefaults::openSuite(suiteName);
    common::installUserDefaultsOpener(nullptr);
    ASSERT_TRUE(defaults);
    defaults->setInteger(5, "count");
    EXPECT_EQ(openSuite()->integerForKey("count"), 5);
}

TEST_F(SQLiteUserDefaultsTest, DefaultRoot) {
    struct Case {
        const char* name;
        const char* override;
        const char* stateHome;
        const char* home;
        std::string root;
    } cases[] = {
        {"override wins", "/srv/groups", "/state", "/home/u", "/srv/groups"},
        {"state home", nullptr, "/state", "/home/u", "/state/tovrin/app-groups"},
        {"relative state home is ignored", "", "state", "/home/u",
         "/home/u/.local/state/tovrin/app-groups"},
        {"home", nullptr, nullptr, "/home/u", "/home/u/.local/state/tovrin/app-groups"},
        {"no home", nullptr, nullptr, nullptr, "/var/lib/tovrin/app-groups"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScopedEnvironment overrideRoot("APP_GROUP_CONTAINERS_ROOT", testCase.override);
        ScopedEnvironment stateHome("XDG_STATE_HOME", testCase.stateHome);
        ScopedEnvironment home("HOME", testCase.home);
        EXPECT_EQ(appGroupContainersRoot(), testCase.root);
    }
}

TEST_F(SQLiteUserDefaultsTest, OnlyOwnerAndGroupMayUseTheSuite) {
    const mode_t earlierMask = umask(022);
    auto defaults = openSuite();
    umask(earlierMask);
    ASSERT_TRUE(defaults);
    defaults->setInteger(1, "count");
    EXPECT_EQ(permissions(defaults->path()), 0660u);
    EXPECT_EQ(permissions(defaults->path() + "-wal"), 0660u);
    EXPECT_EQ(permissions(defaults->path() + "-shm"), 0660u);
    EXPECT_EQ(permissions(root + "/" + suiteName), 0770u);
}

TEST_F(SQLiteUserDefaultsTest, ChangeCounterMovesWithEveryWriter) {
    auto watcher = openSuite();
    auto other = openSuite();
    ASSERT_TRUE(watcher && other);
    const std::int64_t initial = watcher->changeCounter();
    EXPECT_EQ(watcher->changeCounter(), initial);
    (void)watcher->integerForKey("count");
    EXPECT_EQ(watcher->changeCounter(), initial);

    other->setInteger(1, "count");
    const std::int64_t afterOther = watcher->changeCounter();
    EXPECT_NE(afterOther, initial);
    watcher->setInteger(2, "count");
    EXPECT_NE(watcher->changeCounter(), afterOther);
}

TEST_F(SQLiteUserDefaultsTest, ExternalChangeCounterMovesOnlyWithOtherWriters) {
    auto watcher = openSuite();
    auto other = openSuite();
    ASSERT_TRUE(watcher && other);
    const auto initial = watcher->externalChangeCounter();
    ASSERT_TRUE(initial);
    watcher->setInteger(2, "count");
    watcher->synchronize();
    (void)watcher->integerForKey("count");
    EXPECT_EQ(watcher->externalChangeCounter(), initial);

    other->setObject(platform::Data{1, 2}, "blob");
    const auto afterOther = watcher->externalChangeCounter();
    ASSERT_TRUE(afterOther);
    EXPECT_NE(*afterOther, *initial);
    EXPECT_EQ(watcher->externalChangeCounter(), afterOther);
}

// Runs `body` in a child process and returns the child's id; the child's exit status is what
// `body` returns.
template <typename Body>
pid_t runInChild(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    return child;
}

int exitStatus(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string writerKey(int writer, std::string_view name) {
    return "writer" + std::to_string(writer) + "." + std::string(name);
}

TEST_F(SQLiteUserDefaultsTest, WritersInSeveralProcessesLoseNoWrite) {
    constexpr int writerCount = 4;
    constexpr int maximumRounds = 3000;
    constexpr auto duration = std::chrono::milliseconds(2000);
    enum ChildStatus { succeeded, cannotOpen, writeFailed, sawNothing, sawWrongValue };

    // Every child waits until the write end of `start` closes, so that all begin at once, on a
    // suite none has created yet.
    int start[2];
    int reports[2];
    ASSERT_EQ(pipe(start), 0);
    ASSERT_EQ(pipe(reports), 0);
    auto waitForStart = [&] {
        close(start[1]);
        char ignored;
        (void)!read(start[0], &ignored, 1);
        return std::chrono::steady_clock::now() + duration;
    };

    std::vector<pid_t> writers;
    for (int writer = 0; writer < writerCount; ++writer) {
        writers.push_back(runInChild([&, writer] {
            const auto deadline = waitForStart();
            auto opened = SQLiteUserDefaults::open(suiteName, root);
            if (!opened) {
                return cannotOpen;
            }
            SQLiteUserDefaults& defaults = *opened.value();
            int rounds = 0;
            for (; rounds < maximumRounds && std::chrono::steady_clock::now() < deadline;
                 ++rounds) {
                const std::string round = std::to_string(rounds);
                const bool didWrite =
                    defaults.store(writerKey(writer, "integer"), std::int64_t{rounds}) &&
                    defaults.store(writerKey(writer, "text"), "round " + round) &&
                    defaults.store(writerKey(writer, "data"), bytes(round)) &&
                    defaults.store(writerKey(writer, "date"), Date{rounds + 0.5}) &&
                    defaults.store(writerKey(writer, "round" + round), std::int64_t{rounds});
                if (!didWrite) {
                    return writeFailed;
                }
            }
            defaults.synchronize();
            const int report[2] = {writer, rounds};
            return write(reports[1], report, sizeof(report)) == sizeof(report) ? succeeded
                                                                               : writeFailed;
        }));
    }
    const pid_t reader = runInChild([&] {
        const auto deadline = waitForStart();
        std::shared_ptr<SQLiteUserDefaults> defaults;
        while (!defaults && std::chrono::steady_clock::now() < deadline) {
            auto opened = SQLiteUserDefaults::open(suiteName, root, IfMissing::fail);
            defaults = opened ? opened.value() : nullptr;
        }
        if (!defaults) {
            return cannotOpen;
        }
        std::vector<std::int64_t> latest(writerCount, -1);
        while (std::chrono::steady_clock::now() < deadline + std::chrono::milliseconds(200)) {
            for (int writer = 0; writer < writerCount; ++writer) {
                std::optional<StoredValue> value =
                    defaults->objectForKey(writerKey(writer, "integer"));
                if (!value) {
                    continue;
                }
                const auto* integer = std::get_if<std::int64_t>(&*value);
                // One process writes each key, so its values only ever grow.
                if (!integer || *integer < latest[writer]) {
                    return sawWrongValue;
                }
                latest[writer] = *integer;
                // The text follows the integer, so in the first round it may not be there yet.
                const auto textKind = defaults->kindForKey(writerKey(writer, "text"));
                if (textKind && textKind != StoredKind::string) {
                    return sawWrongValue;
                }
            }
        }
        return std::count(latest.begin(), latest.end(), -1) == 0 ? succeeded : sawNothing;
    });
    close(start[0]);
    close(start[1]);
    close(reports[1]);

    for (const pid_t writer : writers) {
        EXPECT_EQ(exitStatus(writer), succeeded);
    }
    EXPECT_EQ(exitStatus(reader), succeeded);
    std::vector<int> rounds(writerCount, 0);
    int report[2];
    while (read(reports[0], report, sizeof(report)) == sizeof(report)) {
        rounds.at(report[0]) = report[1];
    }
    close(reports[0]);

    auto defaults = openSuite();
    ASSERT_TRUE(defaults);
    auto entries = defaults->allEntries();
    ASSERT_TRUE(entries);
    std::size_t expectedCount = 0;
    for (int writer = 0; writer < writerCount; ++writer) {
        SCOPED_TRACE(writer);
        ASSERT_GT(rounds[writer], 0);
        const int last = rounds[writer] - 1;
        EXPECT_EQ(defaults->objectForKey(writerKey(writer, "integer")),
                  StoredValue(std::int64_t{last}));
        EXPECT_EQ(defaults->objectForKey(writerKey(writer, "text")),
                  StoredValue("round " + std::to_string(last)));
        EXPECT_EQ(defaults->objectForKey(writerKey(writer, "data")),
                  StoredValue(bytes(std::to_string(last))));
        EXPECT_EQ(defaults->objectForKey(writerKey(writer, "date")), StoredValue(Date{last + 0.5}));
        expectedCount += 4 + static_cast<std::size_t>(rounds[writer]);
    }
    // Every round left its own key, so a write lost midway would show as a missing entry.
    EXPECT_EQ(entries->size(), expectedCount);
}

}  // namespace
}  // namespace platform

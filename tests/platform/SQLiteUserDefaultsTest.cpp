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

base::Data bytes(std::string_view text) {
    return base::Data(text.begin(), text.end());
}

mode_t permissions(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
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
    void TearDown() override { std::filesystem::remove_all(temporaryFolder); }

    std::shared_ptr<SQLiteUserDefaults> openSuite() {
        auto opened = SQLiteUserDefaults::open(suiteName, root);
        EXPECT_TRUE(opened) << opened.error().description;
        return opened ? opened.value() : nullptr;
    }

    std::string temporaryFolder;
    std::string root;
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
        {"emptyData", base::Data(), 0},
        // Read from the file by a path of its own.
        {"largeData", base::Data(300000, 0x5a), 0},
        {"largestInteger", largest, largest},
        {"text", std::string("caf\xc3\xa9 \n line"), 0},
        {"negativeText", std::string("-7"), -7},
        {"plusSignedText", std::string("+7"), 7},
        {"textWithTrailingLetters", std::string("42abc"), 0},
        {"textBeyond64Bits", std::string("9223372036854775808"), 0},
        {"date", base::Date{818277700.123}, 0},
        {"distantPast", base::Date::distantPast(), 0},
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

// Also: only the owner and group may use the suite, whatever the umask.
TEST_F(SQLiteUserDefaultsTest, SeamOperationsReadWhatTheyWrote) {
    const mode_t earlierMask = umask(022);
    auto defaults = openSuite();
    umask(earlierMask);
    ASSERT_TRUE(defaults);
    common::UserDefaults& seam = *defaults;
    EXPECT_EQ(seam.dataForKey("absent"), std::nullopt);
    EXPECT_EQ(seam.integerForKey("absent"), 0);
    seam.setInteger(7, "count");
    seam.setObject(common::DefaultsObject(bytes("blob")), "blob");
    seam.setObject(common::DefaultsObject(base::Date{1.5}), "when");
    EXPECT_EQ(seam.dataForKey("blob"), bytes("blob"));
    EXPECT_EQ(defaults->kindForKey("when"), StoredKind::date);

    // Replacing a value replaces its kind too; no object removes the key.
    seam.setInteger(3, "blob");
    EXPECT_EQ(seam.dataForKey("blob"), std::nullopt);
    EXPECT_EQ(defaults->kindForKey("blob"), StoredKind::integer);
    seam.setObject(std::nullopt, "when");
    EXPECT_EQ(defaults->objectForKey("when"), std::nullopt);
    EXPECT_TRUE(seam.synchronize());
    EXPECT_EQ(openSuite()->integerForKey("count"), 7);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(permissions(defaults->path() + suffix), 0660u) << suffix;
    }
    EXPECT_EQ(permissions(root + "/" + suiteName), 0770u);
}

// A root shared by a group (set-group-ID, as the installed system makes it): the suite's folder
// and files belong to that group, whoever makes them, so its other members can open them.
TEST_F(SQLiteUserDefaultsTest, SuiteUnderGroupRootBelongsToTheGroup) {
    std::filesystem::create_directories(root);
    ASSERT_EQ(chmod(root.c_str(), 02770), 0);
    const mode_t earlierMask = umask(077);
    auto defaults = openSuite();
    umask(earlierMask);
    ASSERT_TRUE(defaults);
    EXPECT_EQ(permissions(root + "/" + suiteName), 02770u);
    EXPECT_EQ(permissions(defaults->path()), 0660u);
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
        ScopedEnvironment environment("APP_GROUP_CONTAINERS_ROOT", caseRoot.c_str());
        EXPECT_EQ(openSQLiteUserDefaults(suite), nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(temporaryFolder + "/escaped"));
    EXPECT_FALSE(SQLiteUserDefaults::open("absent", root, IfMissing::fail));
    EXPECT_FALSE(std::filesystem::exists(root + "/absent"));
}

TEST_F(SQLiteUserDefaultsTest, DefaultRoot) {
    struct Case {
        const char* override;
        const char* stateHome;
        const char* home;
        std::string root;
    } cases[] = {
        {"/srv/groups", "/state", "/home/u", "/srv/groups"},
        {nullptr, "/state", "/home/u", "/state/tovrin/app-groups"},
        {"", "state", "/home/u", "/home/u/.local/state/tovrin/app-groups"},
        {nullptr, nullptr, nullptr, "/var/lib/tovrin/app-groups"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.root);
        ScopedEnvironment overrideRoot("APP_GROUP_CONTAINERS_ROOT", testCase.override);
        ScopedEnvironment stateHome("XDG_STATE_HOME", testCase.stateHome);
        ScopedEnvironment home("HOME", testCase.home);
        EXPECT_EQ(appGroupContainersRoot(), testCase.root);
    }
}

// The policy cache trusts this counter: it must stay put for the handle's own reads and writes
// and move when another handle writes.
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
    other->setObject(base::Data{1, 2}, "blob");
    const auto afterOther = watcher->externalChangeCounter();
    ASSERT_TRUE(afterOther);
    EXPECT_NE(*afterOther, *initial);
    EXPECT_EQ(watcher->externalChangeCounter(), afterOther);
}

// Runs `body` in a child process whose exit status is what `body` returns.
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
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string writerKey(int writer, std::string_view name) {
    return "writer" + std::to_string(writer) + "." + std::string(name);
}

// What a writer stores in one round: a value of each kind, and a key of the round's own.
std::vector<std::pair<std::string, StoredValue>> roundWrites(int round) {
    const std::string text = std::to_string(round);
    return {{"integer", std::int64_t{round}},
            {"text", "round " + text},
            {"data", bytes(text)},
            {"date", base::Date{round + 0.5}},
            {"round" + text, std::int64_t{round}}};
}

TEST_F(SQLiteUserDefaultsTest, WritersInSeveralProcessesLoseNoWrite) {
    constexpr int writerCount = 4;
    constexpr int maximumRounds = 3000;
    constexpr auto duration = std::chrono::milliseconds(2000);
    enum ChildStatus { succeeded, cannotOpen, writeFailed, sawNothing, sawWrongValue };

    // Every child waits until the write end of `start` closes, so that all begin at once, on a
    // suite none has created yet.
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    auto waitForStart = [&] {
        close(start[1]);
        char ignored;
        (void)!read(start[0], &ignored, 1);
        return std::chrono::steady_clock::now() + duration;
    };

    std::vector<pid_t> children;
    // Each writer also writes the number of rounds it made, as its last write.
    for (int writer = 0; writer < writerCount; ++writer) {
        children.push_back(runInChild([&, writer] {
            const auto deadline = waitForStart();
            auto opened = SQLiteUserDefaults::open(suiteName, root);
            if (!opened) {
                return cannotOpen;
            }
            SQLiteUserDefaults& defaults = *opened.value();
            int rounds = 0;
            for (; rounds < maximumRounds && std::chrono::steady_clock::now() < deadline;
                 ++rounds) {
                for (const auto& [name, value] : roundWrites(rounds)) {
                    if (!defaults.store(writerKey(writer, name), value)) {
                        return writeFailed;
                    }
                }
            }
            const bool reported =
                defaults.store(writerKey(writer, "rounds"), std::int64_t{rounds}).hasValue();
            return reported && defaults.synchronize() ? succeeded : writeFailed;
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
                const auto value = defaults->objectForKey(writerKey(writer, "integer"));
                if (!value) {
                    continue;
                }
                // One process writes each key, so its values only ever grow. The text follows
                // the integer, so in the first round it may not be there yet.
                const auto* integer = std::get_if<std::int64_t>(&*value);
                const auto textKind = defaults->kindForKey(writerKey(writer, "text"));
                if (!integer || *integer < latest[writer] ||
                    (textKind && textKind != StoredKind::string)) {
                    return sawWrongValue;
                }
                latest[writer] = *integer;
            }
        }
        return std::count(latest.begin(), latest.end(), -1) == 0 ? succeeded : sawNothing;
    });
    children.push_back(reader);
    close(start[0]);
    close(start[1]);
    for (const pid_t child : children) {
        EXPECT_EQ(exitStatus(child), succeeded);
    }
    auto defaults = openSuite();
    ASSERT_TRUE(defaults);
    std::size_t expectedCount = 0;
    for (int writer = 0; writer < writerCount; ++writer) {
        SCOPED_TRACE(writer);
        const std::int64_t rounds = defaults->integerForKey(writerKey(writer, "rounds"));
        ASSERT_GT(rounds, 0);
        for (const auto& [name, value] : roundWrites(static_cast<int>(rounds) - 1)) {
            EXPECT_EQ(defaults->objectForKey(writerKey(writer, name)), value) << name;
        }
        expectedCount += 5 + static_cast<std::size_t>(rounds);
    }
    // Every round left its own key, so a write lost midway would show as a missing entry.
    EXPECT_EQ(defaults->allEntries()->size(), expectedCount);
}

}  // namespace
}  // namespace platform

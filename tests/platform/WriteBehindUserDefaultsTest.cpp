#include "platform/defaults/WriteBehindUserDefaults.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ChildProcess.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char suiteName[] = "group.test.shared";

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Another process writing through a write-behind suite: its i-th write stores i under "k<i>" and
// under "last", both after `prefix` (then calls synchronize() when asked), then it reports the
// write's number and the steady-clock time it began on a pipe and sleeps for the interval. After
// the last write it closes the pipe and waits for a signal; SIGTERM and SIGINT flush the suite
// first.
class Peer {
  public:
    struct Write {
        long index = 0;
        std::int64_t began = 0;
    };
    Peer(const std::string& root,
         long count,
         bool synchronizes,
         std::chrono::microseconds interval,
         const std::string& prefix = "") {
        int pipeEnds[2];
        EXPECT_EQ(::pipe(pipeEnds), 0);
        pid = ::fork();
        if (pid == 0) {
            flushSuitesOnTerminationSignals();
            auto suite = WriteBehindUserDefaults::open(suiteName, root);
            // A forked child's first touches of memory are slow: one committed write first.
            if (suite) {
                (*suite)->setInteger(0, prefix + "last");
                (*suite)->flush();
            }
            for (Write write{1}; suite && write.index <= count; ++write.index) {
                write.began = nowNanoseconds();
                (*suite)->setInteger(write.index, prefix + "k" + std::to_string(write.index));
                (*suite)->setInteger(write.index, prefix + "last");
                if (synchronizes) {
                    (*suite)->synchronize();
                }
                (void)!::write(pipeEnds[1], &write, sizeof write);
                std::this_thread::sleep_for(interval);
            }
            ::close(pipeEnds[1]);
            for (;;) {
                ::pause();
            }
        }
        ::close(pipeEnds[1]);
        output = pipeEnds[0];
    }
    ~Peer() {
        stop(SIGKILL);
        ::close(output);
    }

    // The next write reported, or index 0 at the end.
    Write next() {
        Write write;
        return ::read(output, &write, sizeof write) == sizeof write ? write : Write{};
    }
    // Every write's start time until the reports end, by number.
    void collect(std::map<long, std::int64_t>& began) {
        for (Write write; (write = next()).index != 0;) {
            began[write.index] = write.began;
        }
    }

    // Sends `signal` and waits for the end; the wait status.
    int stop(int signal) {
        int status = 0;
        if (pid > 0) {
            ::kill(pid, signal);
            ::waitpid(pid, &status, 0);
        }
        pid = -1;
        return status;
    }

  private:
    pid_t pid = -1;
    int output = -1;
};

// Suites under a folder of the test's own.
class SuiteTest : public testing::Test {
  protected:
    template <typename Suite = SQLiteUserDefaults>
    std::shared_ptr<Suite> open() {
        auto opened = Suite::open(suiteName, root);
        EXPECT_TRUE(opened) << opened.error().description;
        return opened ? opened.value() : nullptr;
    }

    support::ScratchFolder scratch;
    const std::string root = scratch.path + "/app-groups";
};
using SQLiteUserDefaultsTest = SuiteTest;

class WriteBehindUserDefaultsTest : public SuiteTest {
  protected:
    const std::int64_t bound =
        std::chrono::nanoseconds(WriteBehindUserDefaults::visibilityBound).count();
};

TEST_F(WriteBehindUserDefaultsTest, ReadsItsOwnWritesAtOnceAndNeverWaitsForACommit) {
    auto writer = open<WriteBehindUserDefaults>();
    WriteBehindUserDefaults& suite = *writer;
    auto reader = open();
    ASSERT_TRUE(reader->store("removed", std::int64_t{1}));
    ASSERT_TRUE(reader->store("foreign", std::string("elsewhere")));

    // A counter as the filter keeps it: read, add one, write, many times before any commit.
    for (int index = 0; index < 100; ++index) {
        suite.setInteger(suite.integerForKey("count") + 1, "count");
    }
    suite.setObject(common::DefaultsObject(std::string("first")), "text");
    suite.setObject(common::DefaultsObject(std::string("second")), "text");
    suite.setObject(std::nullopt, "removed");
    const auto expectWritten = [](auto& handle) {
        EXPECT_EQ(handle.integerForKey("count"), 100);
        EXPECT_EQ(handle.objectForKey("text"), StoredValue(std::string("second")));
        EXPECT_EQ(handle.objectForKey("removed"), std::nullopt);
    };
    expectWritten(suite);
    EXPECT_TRUE(suite.flush());
    expectWritten(*reader);
    expectWritten(suite);

    // The handle's own commits are not changes of another handle; a write elsewhere is.
    const auto counter = suite.externalChangeCounter();
    suite.setInteger(1, "other");
    suite.flush();
    EXPECT_EQ(suite.externalChangeCounter(), counter);
    ASSERT_TRUE(reader->store("elsewhere", std::int64_t{1}));
    EXPECT_NE(suite.externalChangeCounter(), counter);

    // Another connection holds the write lock, so the writer thread's commit waits inside it as a
    // slow disk would keep it; the callers' reads must not wait with it.
    const auto laterCounter = suite.externalChangeCounter();
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(reader->path().c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([blocker] {
        std::this_thread::sleep_for(1s);
        sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    });
    suite.setInteger(2, "count");
    suite.synchronize();
    std::this_thread::sleep_for(100ms);
    const auto started = Clock::now();
    EXPECT_EQ(suite.integerForKey("count"), 2);
    EXPECT_EQ(suite.objectForKey("foreign"), StoredValue(std::string("elsewhere")));
    EXPECT_EQ(suite.externalChangeCounter(), laterCounter);
    suite.setInteger(3, "count");
    EXPECT_LT(Clock::now() - started, 300ms);
    release.join();
    sqlite3_close(blocker);
    EXPECT_TRUE(suite.flush());
    EXPECT_EQ(reader->integerForKey("count"), 3);
}

TEST_F(WriteBehindUserDefaultsTest, ClosingCommitsEverythingAndTheLogIsCheckpointedOffTheCaller) {
    {
        auto writer = open<WriteBehindUserDefaults>();
        // Enough distinct commits to pass the checkpoint threshold several times.
        for (int index = 0; index < 3000; ++index) {
            writer->setObject(common::DefaultsObject(std::string(600, 'x')),
                              "key" + std::to_string(index));
            writer->flush();
        }
        writer->setInteger(7, "lastWrite");
    }
    auto reader = open();
    EXPECT_EQ(reader->integerForKey("lastWrite"), 7);
    EXPECT_EQ(reader->allEntries()->size(), 3001u);
    // Without checkpoints the log would hold every page ever written (several megabytes).
    EXPECT_LT(std::filesystem::file_size(reader->path() + "-wal"), 8u << 20);
}

// A writer that synchronizes after every write, as the filter does for every flow, costs one
// commit per spacing during a burst, and loses no write.
TEST_F(WriteBehindUserDefaultsTest, ABurstOfSynchronizedWritesCommitsOncePerSpacing) {
    auto writer = open<WriteBehindUserDefaults>();
    auto reader = open();
    int written = 0;
    for (const auto& [writes, interval] : {std::pair{2000, 0us}, std::pair{300, 100us}}) {
        SCOPED_TRACE(writes);
        ASSERT_TRUE(writer->flush());
        const auto commitsBefore = writer->commitCount();
        const auto started = Clock::now();
        for (const int last = written + writes; written < last;) {
            ++written;
            writer->setInteger(written, "k" + std::to_string(written));
            writer->synchronize();
            std::this_thread::sleep_for(interval);
        }
        const auto elapsed = Clock::now() - started;
        ASSERT_TRUE(writer->flush());
        // One at once, one per spacing of the burst, and the flush's.
        EXPECT_LE(writer->commitCount() - commitsBefore,
                  elapsed / WriteBehindUserDefaults::minimumCommitSpacing + 3);
        for (int index = 1; index <= written; ++index) {
            ASSERT_EQ(reader->integerForKey("k" + std::to_string(index)), index);
        }
    }
}

// The peer writes without synchronize(), the slowest case: each write must reach this process,
// which polls the file, within the bound. A loaded machine can stall either process, so a late
// write fails the test only when it is late in three runs out of three.
TEST_F(WriteBehindUserDefaultsTest, AnotherProcessSeesEachWriteWithinTheBound) {
    std::string lateWrites;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::filesystem::remove_all(root);
        // Open before the peer starts, so that opening is not counted as the first write's delay.
        const auto reader = open();
        ASSERT_TRUE(reader);
        constexpr long count = 20;
        Peer peer(root, count, false, 30ms);
        std::map<long, std::int64_t> seen;
        const auto deadline = Clock::now() + 10s;
        long last = 0;
        while (last < count && Clock::now() < deadline) {
            const long value = reader->integerForKey("last");
            for (long index = last + 1; index <= value; ++index) {
                seen[index] = nowNanoseconds();
            }
            last = std::max(last, value);
            std::this_thread::sleep_for(200us);
        }
        // The peer reports when each write began; the pipe keeps the reports until now.
        peer.stop(SIGKILL);
        std::map<long, std::int64_t> began;
        peer.collect(began);
        lateWrites.clear();
        for (long index = 1; index <= count; ++index) {
            if (!seen.contains(index) || !began.contains(index) ||
                seen[index] - began[index] > bound) {
                lateWrites += " " + std::to_string(index);
            }
        }
        if (lateWrites.empty()) {
            break;
        }
    }
    EXPECT_EQ(lateWrites, "") << "writes seen later than the bound";
}

TEST_F(WriteBehindUserDefaultsTest, TerminationSignalsLoseNothing) {
    constexpr long count = 500;
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        std::filesystem::remove_all(root);
        Peer peer(root, count, false, 0us);
        while (peer.next().index != 0) {
        }
        // At once after the last write, well within the commit delay.
        const int status = peer.stop(signal);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        auto reader = open();
        EXPECT_EQ(reader->integerForKey("last"), count);
        EXPECT_EQ(reader->allEntries()->size(), count + 1u);
    }
}

// The file must be intact after every kill; a loaded machine can stall the writer past the
// bound, so missing writes fail the test only when writes are missing in three runs out of three.
TEST_F(WriteBehindUserDefaultsTest, KillingTheWriterLeavesAnIntactFileWithAllButTheLastBound) {
    std::string missing;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::filesystem::remove_all(root);
        Peer peer(root, 1'000'000, true, 100us);
        std::map<long, std::int64_t> began;
        const auto stopAt = Clock::now() + 400ms;
        while (Clock::now() < stopAt) {
            const auto write = peer.next();
            ASSERT_NE(write.index, 0);
            began[write.index] = write.began;
        }
        const std::int64_t killedAt = nowNanoseconds();
        peer.stop(SIGKILL);
        peer.collect(began);
        long required = 0;
        for (const auto& [index, time] : began) {
            if (time <= killedAt - bound) {
                required = index;
            }
        }
        ASSERT_GT(required, 100);

        auto reader = open();
        sqlite3* database = nullptr;
        ASSERT_EQ(sqlite3_open_v2(reader->path().c_str(), &database, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        std::string integrity;
        sqlite3_exec(
            database, "PRAGMA integrity_check",
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) += values[0] ? values[0] : "null";
                return 0;
            },
            &integrity, nullptr);
        sqlite3_close(database);
        EXPECT_EQ(integrity, "ok");

        missing = reader->integerForKey("last") < required ? "last " : "";
        for (long index = 1; index <= required; ++index) {
            if (reader->integerForKey("k" + std::to_string(index)) != index) {
                missing += "k" + std::to_string(index) + " ";
            }
        }
        if (missing.empty()) {
            break;
        }
        missing = missing.substr(0, 200) + "of the first " + std::to_string(required);
    }
    EXPECT_EQ(missing, "") << "writes missing after the kill";
}

base::Data bytes(std::string_view text) {
    return base::Data(text.begin(), text.end());
}

mode_t permissions(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Each value is read back from another handle with its kind; integerForKey converts text and
// reals as the platform does, and dataForKey gives nothing for another kind.
TEST_F(SQLiteUserDefaultsTest, ValuesKeepTheirKindAcrossHandles) {
    constexpr auto largest = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* key;
        StoredValue stored;
        std::int64_t integer;
    } cases[] = {
        // Read from the file by a path of its own.
        {"largeData", base::Data(300000, 0x5a), 0},
        {"largestInteger", largest, largest},
        {"negativeText", std::string("-7"), -7},
        {"textWithTrailingLetters", std::string("42abc"), 0},
        {"textBeyond64Bits", std::string("9223372036854775808"), 0},
        {"date", base::Date{818277700.123}, 0},
        {"negativeReal", -3.9, -3},
        {"hugeReal", 1e30, largest},
        {"hugelyNegativeReal", -1e30, std::numeric_limits<std::int64_t>::min()},
    };
    auto writer = open();
    ASSERT_TRUE(writer);
    for (const Case& testCase : cases) {
        ASSERT_TRUE(writer->store(testCase.key, testCase.stored)) << testCase.key;
    }
    auto reader = open();
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
        auto defaults = open();
        umask(earlierMask);
        ASSERT_TRUE(defaults);
        common::UserDefaults& seam = *defaults;
        seam.setObject(common::DefaultsObject(bytes("blob")), "blob");
        seam.setObject(common::DefaultsObject(base::Date{1.5}), "when");
        seam.setInteger(3, "blob");
        seam.setObject(std::nullopt, "when");
        EXPECT_TRUE(seam.synchronize());
        EXPECT_EQ(seam.dataForKey("blob"), std::nullopt);
        EXPECT_EQ(open()->objectForKey("blob"), StoredValue(std::int64_t{3}));
        EXPECT_EQ(defaults->objectForKey("when"), std::nullopt);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(permissions(defaults->path() + suffix), 0660u) << suffix;
        }
        EXPECT_EQ(permissions(root + "/" + suiteName), rootMode ? 02770u : 0770u);
    }
}

TEST_F(SQLiteUserDefaultsTest, SuitesThatCannotBeOpened) {
    const std::string garbageRoot = scratch.path + "/garbage";
    std::filesystem::create_directories(garbageRoot + "/" + suiteName);
    std::ofstream(garbageRoot + "/" + suiteName + "/defaults.sqlite3") << std::string(4096, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {garbageRoot, suiteName},
        {root, ".."},
        {root, "../escaped"},
    };
    for (const auto& [caseRoot, suite] : cases) {
        SCOPED_TRACE(caseRoot + " " + suite);
        EXPECT_FALSE(SQLiteUserDefaults::open(suite, caseRoot));
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.path + "/escaped"));
    EXPECT_FALSE(SQLiteUserDefaults::open("absent", root, IfMissing::fail));
    EXPECT_FALSE(std::filesystem::exists(root + "/absent"));
}

// Four writers in processes of their own start at once on a suite none has made yet; each leaves
// keys of its own, so a write lost midway shows as a missing entry.
TEST_F(WriteBehindUserDefaultsTest, WritersInSeveralProcessesLoseNoWrite) {
    constexpr long count = 1000;
    const std::string prefixes[] = {"a.", "b.", "c.", "d."};
    std::vector<std::unique_ptr<Peer>> peers;
    for (const auto& prefix : prefixes) {
        peers.push_back(std::make_unique<Peer>(root, count, true, 0us, prefix));
    }
    for (auto& peer : peers) {
        while (peer->next().index != 0) {
        }
        peer->stop(SIGTERM);
    }
    auto reader = open();
    for (const auto& prefix : prefixes) {
        for (long index = 1; index <= count; ++index) {
            ASSERT_EQ(reader->integerForKey(prefix + "k" + std::to_string(index)), index) << prefix;
        }
    }
    EXPECT_EQ(reader->allEntries()->size(), std::size(prefixes) * (count + 1));
}

}  // namespace
}  // namespace platform

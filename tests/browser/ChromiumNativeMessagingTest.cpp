#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/BuildConstants.h"
#include "common/SharedDefaultsKeys.h"
#include "common/StoredBrowserEvent.h"
#include "fakes/ChildProcess.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace {

// The ID that Chromium derives from the "key" in the test extension's manifest.
constexpr char extensionID[] = "lnkkjibepcmpibihmkmedclmppnaoipj";

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Chromium started in a process group of its own, so that the browser, its helpers and the
// native host it launched all end with it, and none is left behind unreaped.
class BrowserProcess {
  public:
    BrowserProcess(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment,
                   const std::string& logPath) {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes,
                          support::pointersTo(arguments).data(),
                          support::pointersTo(environment).data()) != 0) {
            pid = -1;
        }
        group = pid;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BrowserProcess() {
        if (pid > 0) {
            // Asked politely, the browser ends its helpers and reaps them itself.
            ::kill(pid, SIGTERM);
            for (int attempt = 0; attempt < 100 && !hasExited(); ++attempt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (group > 0) {
            ::kill(-group, SIGKILL);
        }
        // Helpers orphaned on the way came to this process (a subreaper); reap them.
        for (int attempt = 0; attempt < 20; ++attempt) {
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (::kill(-group, 0) != 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    bool didStart() const { return pid > 0; }
    bool hasExited() {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
        }
        return pid <= 0;
    }

  private:
    pid_t pid = -1;
    pid_t group = -1;
};

class ChromiumNativeMessagingTest : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string(CHROMIUM_EXECUTABLE).empty() || ::access(CHROMIUM_EXECUTABLE, X_OK) != 0) {
            GTEST_SKIP() << "Chromium is not installed (the chromium package provides it)";
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "chromium-test-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        environment = {{"APP_GROUP_CONTAINERS_ROOT", (folder / "app-groups").string()},
                       {"CONTENT_FILTER_CONFIGURATION", (folder / "content-filter.json").string()},
                       {"HOME", (folder / "home").string()}};
        std::filesystem::create_directories(folder / "home");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    support::ChildProcessResult tovrinctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), std::string(TOVRIN_BIN_DIR) + "/tovrinctl");
        return support::runChildProcess(arguments, "", folder, environment);
    }

    std::optional<common::StoredBrowserEvent> storedEvent() {
        auto suite = platform::SQLiteUserDefaults::open(common::appGroupIdentifier,
                                                        (folder / "app-groups").string(),
                                                        platform::IfMissing::fail);
        auto data = suite ? (*suite)->dataForKey(common::keys::websiteTrackingLatestBrowserEvent)
                          : std::nullopt;
        if (!data) {
            return std::nullopt;
        }
        auto event = common::StoredBrowserEvent::decode(*data);
        return event ? std::optional(*event) : std::nullopt;
    }

    std::filesystem::path folder;
    support::Environment environment;
};

TEST_F(ChromiumNativeMessagingTest, BrowserLaunchesTheHandlerAndReceivesItsReplies) {
    const auto published = tovrinctl({"policy", "set", "--block", "blocked.example", "--enforce"});
    ASSERT_EQ(published.exitStatus, 0) << published.standardError;

    // A browser started with its own profile looks for host manifests inside it.
    const auto profile = folder / "profile";
    const auto installed =
        tovrinctl({"install-browser-host", "--chromium", extensionID, "--manifest-dir",
                   (profile / "NativeMessagingHosts").string(), "--handler",
                   std::string(TOVRIN_BIN_DIR) + "/TovrinHelperSafariWebExtension"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.standardError;
    const std::string hostName =
        std::filesystem::directory_iterator(profile / "NativeMessagingHosts")->path().stem();

    const auto extension = folder / "extension";
    std::filesystem::copy(std::string(TOVRIN_SOURCE_DIR) + "/tests/browser/extension", extension);
    std::string script = readWholeFile(extension / "background.js");
    const std::string placeholder = "@NATIVE_HOST_NAME@";
    script.replace(script.find(placeholder), placeholder.size(), hostName);
    std::ofstream(extension / "background.js", std::ios::trunc) << script;

    const std::string logPath = (folder / "chromium.log").string();
    BrowserProcess browser(
        {CHROMIUM_EXECUTABLE, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile.string(),
         "--load-extension=" + extension.string(),
         "--disable-extensions-except=" + extension.string(), "about:blank"},
        support::environmentWith(environment), logPath);
    ASSERT_TRUE(browser.didStart());

    std::optional<common::StoredBrowserEvent> event;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!event && !browser.hasExited() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        event = storedEvent();
    }
    ASSERT_TRUE(event) << "no browser event stored; Chromium's log:\n" << readWholeFile(logPath);
    // The tracking message carries the reply the browser received to its first message.
    EXPECT_EQ(event->messageID,
              R"(reply {"ok":true,"blocked":true,"matchedDomain":"blocked.example"})");
    EXPECT_EQ(event->browser, "chromium-headless");
    EXPECT_EQ(event->host, "blocked.example");
    EXPECT_EQ(event->url, "https://www.blocked.example/news");
}

}  // namespace

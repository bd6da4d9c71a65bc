#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/json/JSON.h"
#include "common/BuildConstants.h"
#include "common/ContentFilterPolicy.h"
#include "common/SharedDefaultsKeys.h"
#include "fakes/ChildProcess.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace {

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

base::Value parsedJSON(const std::string& text) {
    auto parsed = base::json::JSONObjectWithData(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    EXPECT_TRUE(parsed) << text;
    return parsed ? *parsed : base::Value();
}

// Runs the built tovrinctl on a suite and a configuration file under a fresh folder.
class TovrinctlTest : public testing::Test {
  protected:
    support::ChildProcessResult run(const std::vector<std::string>& arguments) {
        std::vector<std::string> command{std::string(TOVRIN_BIN_DIR) + "/tovrinctl"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return support::runChildProcess(command, "", folder,
                                        {{"APP_GROUP_CONTAINERS_ROOT", root},
                                         {"CONTENT_FILTER_CONFIGURATION", configurationPath},
                                         {"HOME", folder + "/home"}});
    }

    std::shared_ptr<platform::SQLiteUserDefaults> suite() {
        auto opened = platform::SQLiteUserDefaults::open(common::appGroupIdentifier, root);
        EXPECT_TRUE(opened);
        return opened ? *opened : nullptr;
    }

    std::optional<common::ContentFilterPolicy> storedPolicy() {
        auto blob = suite()->dataForKey(common::keys::contentFilterPolicyBlob);
        if (!blob) {
            return std::nullopt;
        }
        auto decoded = common::ContentFilterPolicy::decode(*blob);
        EXPECT_TRUE(decoded);
        return decoded ? std::optional(*decoded) : std::nullopt;
    }

    void storeInSuite(std::string_view key, const platform::StoredValue& value) {
        ASSERT_TRUE(suite()->store(key, value));
    }

    // The output of `policy show`, checked to hold each of `parts`.
    std::string showPolicy(const std::vector<std::string>& parts) {
        const auto show = run({"policy", "show"});
        EXPECT_EQ(show.exitStatus, 0) << show.standardError;
        for (const auto& part : parts) {
            EXPECT_NE(show.standardOutput.find(part), std::string::npos) << part << "\nin\n"
                                                                         << show.standardOutput;
        }
        return show.standardOutput;
    }

    void writeConfiguration(const std::string& text) {
        std::filesystem::create_directories(folder + "/etc");
        std::ofstream(configurationPath) << text;
    }

    support::ScratchFolder scratch;
    const std::string folder = scratch.path;
    std::string root = folder + "/app-groups";
    std::string configurationPath = folder + "/etc/content-filter.json";
};

TEST_F(TovrinctlTest, PublishedPolicyReadsBackThroughShowAndBothStores) {
    const auto set =
        run({"policy", "set", "--block", " WWW.Blocked.Example:443,ads.example", "--enforce"});
    ASSERT_EQ(set.exitStatus, 0) << set.standardError;
    EXPECT_NE(set.standardOutput.find("Published policy version 1, blocking."), std::string::npos);

    const auto policy = storedPolicy();
    ASSERT_TRUE(policy);
    EXPECT_EQ(policy->blockedDomains(),
              (std::vector<std::string>{"blocked.example", "ads.example"}));
    EXPECT_TRUE(policy->enforcementEnabled());
    EXPECT_EQ(policy->policyVersion(), 1);
    EXPECT_NEAR(policy->updatedAt().timeIntervalSinceReferenceDate,
                base::Date::now().timeIntervalSinceReferenceDate, 60);
    EXPECT_EQ(suite()->kindForKey(common::keys::contentFilterPolicyBlob),
              platform::StoredKind::data);

    const base::Value file = parsedJSON(readWholeFile(configurationPath));
    const base::Value* vendor = file.find("vendorConfiguration");
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(*vendor->find("policyVersion"), base::Value(1));
    EXPECT_EQ(*vendor->find("enforcementEnabled"), base::Value(true));
    EXPECT_EQ(*vendor->find("blockedDomains"),
              base::Value(base::Array{"blocked.example", "ads.example"}));

    const std::string show = showPolicy({
        "Filter reads the configuration file " + configurationPath,
        "domains (2): ads.example, blocked.example",
        "domains (2, from \"blockedDomains\"): blocked.example, ads.example",
    });
    EXPECT_EQ(show.find("do not enforce the same policy"), std::string::npos);
}

TEST_F(TovrinctlTest, NextVersionFollowsTheHigherOfBlobAndFile) {
    writeConfiguration(R"({"vendorConfiguration":{"policyVersion":7}})");
    storeInSuite(common::keys::contentFilterPolicyBlob,
                 common::ContentFilterPolicy({"a.com"}, true, 3, base::Date{}).encode());
    ASSERT_EQ(run({"policy", "set", "--block", "b.com", "--monitor"}).exitStatus, 0);
    EXPECT_EQ(storedPolicy()->policyVersion(), 8);

    storeInSuite(common::keys::contentFilterPolicyBlob,
                 common::ContentFilterPolicy({"a.com"}, true, 20, base::Date{}).encode());
    ASSERT_EQ(run({"policy", "set", "--block", "b.com", "--monitor"}).exitStatus, 0);
    EXPECT_EQ(storedPolicy()->policyVersion(), 21);
    EXPECT_FALSE(storedPolicy()->enforcementEnabled());
}

TEST_F(TovrinctlTest, BadInputFailsAndPublishesNothing) {
    std::filesystem::create_directories(folder + "/lists");
    std::ofstream(folder + "/lists/bad.txt") << "# blocked\nexample.com\nhttp://x.org/\n";
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {"URL",
         {"--block", "example.com,https://ads.example/", "--enforce"},
         "\"https://ads.example/\""},
        {"entry in a file",
         {"--block-file", folder + "/lists/bad.txt", "--monitor"},
         "\"http://x.org/\""},
        {"missing file", {"--block-file", folder + "/lists/none.txt", "--monitor"}, "none.txt"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<std::string> arguments{"policy", "set"};
        arguments.insert(arguments.end(), testCase.arguments.begin(), testCase.arguments.end());
        const auto result = run(arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.standardError.find(testCase.message), std::string::npos)
            << result.standardError;
        EXPECT_FALSE(std::filesystem::exists(configurationPath));
        EXPECT_FALSE(std::filesystem::exists(root));
    }
    EXPECT_EQ(run({"policy", "set", "--block", "a.com"}).exitStatus, 2);
    EXPECT_EQ(run({"policy", "set", "--enforce", "--monitor", "--block", "a.com"}).exitStatus, 2);
}

TEST_F(TovrinctlTest, SuiteThatCannotBeOpenedLeavesTheFileAlone) {
    std::ofstream(root) << "not a folder";
    const auto result = run({"policy", "set", "--block", "a.com", "--enforce"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.standardError.find("cannot open the shared suite"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(configurationPath));
    EXPECT_EQ(run({"status"}).exitStatus, 1);
}

TEST_F(TovrinctlTest, UnwritableConfigurationPublishesNothing) {
    std::filesystem::create_directories(folder + "/etc");
    std::ofstream(folder + "/etc/file") << "";
    configurationPath = folder + "/etc/file/content-filter.json";
    const auto result = run({"policy", "set", "--block", "a.com", "--enforce"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.standardError.find("nothing was published"), std::string::npos);
    EXPECT_FALSE(storedPolicy());
}

TEST_F(TovrinctlTest, FailedBlobWritePutsTheConfigurationBack) {
    const std::string previous = R"({"vendorConfiguration":{"policyVersion":4}})";
    writeConfiguration(previous);
    const std::string database = suite()->path();
    // Another writer holds the suite past the busy timeout.
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &connection), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(connection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto result = run({"policy", "set", "--block", "a.com", "--enforce"});
    sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(connection);

    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.standardError.find("was put back as it was"), std::string::npos)
        << result.standardError;
    EXPECT_EQ(readWholeFile(configurationPath), previous);
    EXPECT_FALSE(storedPolicy());
}

TEST_F(TovrinctlTest, ShowExplainsWhereFilterAndHandlerDisagree) {
    const std::string blob =
        R"({"blockedDomains":[" Ads.Example","b.example"],"configuredDomains":["WWW.c.example"],)"
        R"("enforcementEnabled":true,"policyVersion":5,"updatedAt":0})";
    storeInSuite(common::keys::contentFilterPolicyBlob, base::Data(blob.begin(), blob.end()));
    showPolicy({
        "Filter reads the policy blob",
        "\" Ads.Example\" (never matches: not normalised)",
        "domains (1, from \"configuredDomains\"): c.example",
        "do not enforce the same policy",
    });
}

TEST_F(TovrinctlTest, StatusSpeaksPlainly) {
    namespace keys = common::keys;
    const double now = base::Date::now().timeIntervalSinceReferenceDate;
    const std::string event =
        R"({"messageID":"m-1","browser":"chromium","tabID":7,"url":"https://blocked.example/",)"
        R"("host":"blocked.example","isActiveTab":true,"isWindowFocused":false,"occurredAt":)" +
        std::to_string(now - 7200.5) + R"(,"receivedAt":)" + std::to_string(now) + "}";
    const std::pair<std::string_view, platform::StoredValue> entries[] = {
        {keys::contentFilterExtensionState, std::string("blocked blocked.example")},
        {keys::contentFilterProviderStartCount, std::int64_t{2}},
        {keys::contentFilterLastPolicySummary, std::string("v3 blocking [blocked.example]")},
        {keys::contentFilterObservedFlowCount, std::int64_t{14}},
        {keys::contentFilterLastObservedHost, std::string("allowed.example")},
        {keys::contentFilterLastObservedURL, std::string("<unavailable>")},
        {keys::contentFilterLastObservedEndpoint, std::string("127.0.0.1:443")},
        {keys::contentFilterLastBlockedHost, std::string("www.blocked.example")},
        {keys::contentFilterLastMatchedDomain, std::string("blocked.example")},
        {keys::contentFilterLastBlockedAt, base::Date{now - 150}},
        {keys::websiteTrackingLatestBrowserEvent, base::Data(event.begin(), event.end())},
    };
    for (const auto& [key, value] : entries) {
        storeInSuite(key, value);
    }

    const auto status = run({"status"});
    ASSERT_EQ(status.exitStatus, 0) << status.standardError;
    for (const char* line : {
             "  state: blocked blocked.example\n",
             "  error: none\n",
             "  started: 2 times\n",
             "  policy: v3 blocking [blocked.example]\n",
             "  flows observed: 14\n",
             "  last observed flow: host allowed.example, URL <unavailable>, endpoint "
             "127.0.0.1:443\n",
             "(2 minutes ago)\n",
             "  last block: www.blocked.example (matched blocked.example) at ",
             "Browser: latest event m-1 from chromium\n",
             "  page: https://blocked.example/ (host blocked.example)\n",
             "  tab: 7, window unknown, the active tab, window not focused\n",
             "(2 hours ago)\n",
         }) {
        EXPECT_NE(status.standardOutput.find(line), std::string::npos) << line << "\nin\n"
                                                                       << status.standardOutput;
    }
}

// Without APP_GROUP_CONTAINERS_ROOT (sudo drops it), root works on the installed system's suite,
// the one the service uses; anyone else on the suite under their home.
TEST_F(TovrinctlTest, RootWithoutRootVariableUsesTheSystemSuite) {
    const std::string systemRoot = "/var/lib/tovrin/app-groups";
    const bool isRoot = ::geteuid() == 0;
    if (isRoot && std::filesystem::exists(systemRoot + "/" + common::appGroupIdentifier)) {
        GTEST_SKIP() << "this machine has a system suite; status would report it";
    }
    const auto status = support::runChildProcess(
        {std::string(TOVRIN_BIN_DIR) + "/tovrinctl", "status"}, "", folder,
        {{"APP_GROUP_CONTAINERS_ROOT", ""}, {"XDG_STATE_HOME", ""}, {"HOME", folder + "/home"}});
    ASSERT_EQ(status.exitStatus, 0) << status.standardError;
    const std::string expectedRoot =
        isRoot ? systemRoot : folder + "/home/.local/state/tovrin/app-groups";
    EXPECT_EQ(status.standardOutput, "No shared suite under " + expectedRoot +
                                         " yet: no policy is published and nothing has been "
                                         "recorded.\n");
    EXPECT_FALSE(std::filesystem::exists(systemRoot + "/" + common::appGroupIdentifier));
}

class BrowserHostInstallationTest : public TovrinctlTest {
  protected:
    void SetUp() override {
        TovrinctlTest::SetUp();
        handler = folder + "/bin/handler";
        std::filesystem::create_directories(folder + "/bin");
        std::ofstream(handler) << "#!/bin/sh\n";
        ::chmod(handler.c_str(), 0755);
    }
    std::string handler;
};

TEST_F(BrowserHostInstallationTest, WritesEachBrowsersManifestAndRemovesIt) {
    const std::string chromiumID = "abcdefghijklmnopabcdefghijklmnop";
    const std::string firefoxID = "{01234567-89ab-cdef-0123-456789ABCDEF}";
    struct Case {
        const char* option;
        std::string identifier;
        std::vector<std::string> location;
        std::string manifestFolder;
        const char* allowedKey;
        std::string allowed;
    } cases[] = {
        {"--chromium",
         chromiumID,
         {"--manifest-dir", folder + "/hosts"},
         folder + "/hosts",
         "allowed_origins",
         "chrome-extension://" + chromiumID + "/"},
        // Per user, the browser's own folder under HOME.
        {"--firefox",
         firefoxID,
         {"--user"},
         folder + "/home/.mozilla/native-messaging-hosts",
         "allowed_extensions",
         firefoxID},
        // Without an ID, the extension shipped in browser-extension/.
        {"--chromium",
         "",
         {"--manifest-dir", folder + "/hosts"},
         folder + "/hosts",
         "allowed_origins",
         "chrome-extension://lnkkjibepcmpibihmkmedclmppnaoipj/"},
        {"--firefox",
         "",
         {"--manifest-dir", folder + "/hosts"},
         folder + "/hosts",
         "allowed_extensions",
         "tovrinhelper@vorlane.com"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.option);
        const auto withLocation = [&](std::vector<std::string> arguments) {
            arguments.insert(arguments.end(), testCase.location.begin(), testCase.location.end());
            return run(arguments);
        };
        std::vector<std::string> arguments = {"install-browser-host", testCase.option};
        if (!testCase.identifier.empty()) {
            arguments.push_back(testCase.identifier);
        }
        arguments.insert(arguments.end(), {"--handler", folder + "/bin/../bin/handler"});
        const auto installed = withLocation(arguments);
        ASSERT_EQ(installed.exitStatus, 0) << installed.standardError;
        const std::string manifestPath =
            testCase.manifestFolder + "/com.vorlane.vorlanemacapp.tovrinhelper.json";
        const base::Value manifest = parsedJSON(readWholeFile(manifestPath));
        EXPECT_EQ(*manifest.find("name"), base::Value("com.vorlane.vorlanemacapp.tovrinhelper"));
        EXPECT_EQ(*manifest.find("path"), base::Value(handler));
        EXPECT_EQ(*manifest.find("type"), base::Value("stdio"));
        ASSERT_NE(manifest.find(testCase.allowedKey), nullptr);
        EXPECT_EQ(*manifest.find(testCase.allowedKey),
                  base::Value(base::Array{base::Value(testCase.allowed)}));

        const auto removed = withLocation({"install-browser-host", testCase.option, "--uninstall"});
        EXPECT_EQ(removed.exitStatus, 0) << removed.standardError;
        EXPECT_FALSE(std::filesystem::exists(manifestPath));
    }
}

TEST_F(BrowserHostInstallationTest, RefusesBadIdentifiersAndHandlers) {
    const std::vector<std::vector<std::string>> cases = {
        {"--chromium", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP", handler},
        {"--firefox", "not an id", handler},
        {"--chromium", "abcdefghijklmnopabcdefghijklmnop", folder + "/bin/none"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase[1] + " " + testCase[2]);
        EXPECT_EQ(run({"install-browser-host", "--manifest-dir", folder + "/hosts", testCase[0],
                       testCase[1], "--handler", testCase[2]})
                      .exitStatus,
                  1);
        EXPECT_FALSE(std::filesystem::exists(folder + "/hosts"));
    }
}

}  // namespace

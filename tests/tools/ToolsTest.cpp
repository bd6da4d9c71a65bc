// The command-line tools run as child processes on a suite of the test's own.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ToolTest.h"
#include "common/BuildConstants.h"
#include "common/ContentFilterPolicy.h"
#include "common/SharedDefaultsKeys.h"
#include "tools/tovrinctl/DomainList.h"

namespace {

namespace keys = common::keys;

using support::parsedJSON;
using support::readWholeFile;

void expectHolds(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
    }
}

// Runs the built tovrinctl on a suite and a configuration file under a fresh folder.
class TovrinctlTest : public support::ToolTest {
  protected:
    support::ChildProcessResult run(const std::vector<std::string>& arguments) {
        return ToolTest::run(
            "tovrinctl", arguments, "",
            {{"CONTENT_FILTER_CONFIGURATION", configurationPath}, {"HOME", folder + "/home"}});
    }
    std::optional<common::ContentFilterPolicy> storedPolicy() {
        auto blob = suite()->dataForKey(keys::contentFilterPolicyBlob);
        if (!blob) {
            return std::nullopt;
        }
        auto decoded = common::ContentFilterPolicy::decode(*blob);
        EXPECT_TRUE(decoded);
        return decoded ? std::optional(*decoded) : std::nullopt;
    }
    void storePolicy(std::int64_t version) {
        ASSERT_TRUE(suite()->store(
            keys::contentFilterPolicyBlob,
            common::ContentFilterPolicy({"a.com"}, true, version, base::Date{}).encode()));
    }
    std::string showPolicy() {
        const auto show = run({"policy", "show"});
        EXPECT_EQ(show.exitStatus, 0) << show.standardError;
        return show.standardOutput;
    }
    void writeConfiguration(const std::string& text) {
        std::filesystem::create_directories(folder + "/etc");
        std::ofstream(configurationPath) << text;
    }

    std::string configurationPath = folder + "/etc/content-filter.json";
};

TEST_F(TovrinctlTest, PublishedPolicyReadsBackThroughShowAndBothStores) {
    const auto set =
        run({"policy", "set", "--block", " WWW.Blocked.Example:443,ads.example", "--enforce"});
    ASSERT_EQ(set.exitStatus, 0) << set.standardError;
    EXPECT_NE(set.standardOutput.find("Published policy version 1, blocking."), std::string::npos);

    const auto policy = storedPolicy();
    ASSERT_TRUE(policy);
    EXPECT_EQ(*policy, common::ContentFilterPolicy({"blocked.example", "ads.example"}, true, 1,
                                                   policy->updatedAt()));
    EXPECT_NEAR(policy->updatedAt().timeIntervalSinceReferenceDate,
                base::Date::now().timeIntervalSinceReferenceDate, 60);
    EXPECT_EQ(suite()->kindForKey(keys::contentFilterPolicyBlob), platform::StoredKind::data);
    const base::Value file = parsedJSON(readWholeFile(configurationPath));
    const base::Value expected = parsedJSON(
        R"({"policyVersion":1,"enforcementEnabled":true,"blockedDomains":["blocked.example","ads.example"]})");
    for (const auto& [key, value] : *expected.dictionary()) {
        EXPECT_EQ(*file.find("vendorConfiguration")->find(*key.text()), value) << *key.text();
    }

    const std::string show = showPolicy();
    expectHolds(show, {"Filter reads the configuration file " + configurationPath,
                       "domains (2): ads.example, blocked.example",
                       "domains (2, from \"blockedDomains\"): blocked.example, ads.example"});
    EXPECT_EQ(show.find("do not enforce the same policy"), std::string::npos);

    // The next version follows the higher of blob and file.
    writeConfiguration(R"({"vendorConfiguration":{"policyVersion":7}})");
    storePolicy(3);
    ASSERT_EQ(run({"policy", "set", "--block", "b.com", "--monitor"}).exitStatus, 0);
    EXPECT_EQ(storedPolicy()->policyVersion(), 8);
    storePolicy(20);
    ASSERT_EQ(run({"policy", "set", "--block", "b.com", "--monitor"}).exitStatus, 0);
    EXPECT_EQ(storedPolicy()->policyVersion(), 21);
    EXPECT_FALSE(storedPolicy()->enforcementEnabled());
}

// Bad input, or either store failing, leaves both stores as they were: no half-published policy.
TEST_F(TovrinctlTest, AFailedSetLeavesBothStoresAsTheyWere) {
    const std::string previous = R"({"vendorConfiguration":{"policyVersion":4}})";
    const std::vector<std::string> enforceA = {"--block", "a.com", "--enforce"};
    sqlite3* locker = nullptr;
    struct Case {
        const char* message;
        std::vector<std::string> options;
        std::function<void()> prepare = [] {};
        std::string file = "";  // the configuration file afterwards; empty when there is none
    } cases[] = {
        {"\"https://ads.example/\"", {"--block", "example.com,https://ads.example/", "--enforce"}},
        {"none.txt", {"--block-file", folder + "/lists/none.txt", "--monitor"}},
        {"cannot open the shared suite", enforceA, [&] { std::ofstream(root) << "not a folder"; }},
        {"nothing was published", enforceA, [&] { std::ofstream(folder + "/etc") << ""; }},
        // Another writer holds the suite past the busy timeout.
        {"was put back as it was", enforceA,
         [&] {
             writeConfiguration(previous);
             ASSERT_EQ(sqlite3_open(suite()->path().c_str(), &locker), SQLITE_OK);
             sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
         },
         previous},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.message);
        std::filesystem::remove_all(root);
        std::filesystem::remove_all(folder + "/etc");
        testCase.prepare();
        std::vector<std::string> arguments{"policy", "set"};
        arguments.insert(arguments.end(), testCase.options.begin(), testCase.options.end());
        const auto result = run(arguments);
        sqlite3_close_v2(locker);
        locker = nullptr;
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.standardError.find(testCase.message), std::string::npos)
            << result.standardError;
        EXPECT_EQ(readWholeFile(configurationPath), testCase.file);
        if (std::filesystem::is_directory(root)) {
            EXPECT_FALSE(storedPolicy());
        } else if (std::filesystem::exists(root)) {
            EXPECT_EQ(run({"status"}).exitStatus, 1);
        }
    }
    EXPECT_EQ(run({"policy", "set", "--block", "a.com"}).exitStatus, 2);
    EXPECT_EQ(run({"policy", "set", "--enforce", "--monitor", "--block", "a.com"}).exitStatus, 2);
}

// `policy show` explains where filter and handler disagree; `status` tells the browser's latest
// event plainly.
TEST_F(TovrinctlTest, DiagnosticsSpeakPlainly) {
    const std::string blob =
        R"({"blockedDomains":[" Ads.Example","b.example"],"configuredDomains":["WWW.c.example"],)"
        R"("enforcementEnabled":true,"policyVersion":5,"updatedAt":0})";
    const double now = base::Date::now().timeIntervalSinceReferenceDate;
    const std::string event =
        R"({"messageID":"m-1","browser":"chromium","tabID":7,"url":"https://blocked.example/",)"
        R"("host":"blocked.example","isActiveTab":true,"isWindowFocused":false,"occurredAt":)" +
        std::to_string(now - 7200.5) + R"(,"receivedAt":)" + std::to_string(now) + "}";
    ASSERT_TRUE(
        suite()->store(keys::contentFilterPolicyBlob, base::Data(blob.begin(), blob.end())));
    ASSERT_TRUE(suite()->store(keys::websiteTrackingLatestBrowserEvent,
                               base::Data(event.begin(), event.end())));
    expectHolds(
        showPolicy(),
        {"Filter reads the policy blob", "\" Ads.Example\" (never matches: not normalised)",
         "domains (1, from \"configuredDomains\"): c.example", "do not enforce the same policy"});
    const auto status = run({"status"});
    ASSERT_EQ(status.exitStatus, 0) << status.standardError;
    expectHolds(status.standardOutput,
                {"Filter: no diagnostics yet", "(2 hours ago)\n",
                 "  tab: 7, window unknown, the active tab, window not focused\n"});
}

// Without APP_GROUP_CONTAINERS_ROOT (sudo drops it), root works on the installed system's suite,
// the one the service uses; anyone else on the suite under their home.
TEST_F(TovrinctlTest, RootWithoutRootVariableUsesTheSystemSuite) {
    const std::string systemRoot = "/var/lib/tovrin/app-groups";
    const bool isRoot = ::geteuid() == 0;
    if (isRoot && std::filesystem::exists(systemRoot + "/" + common::appGroupIdentifier)) {
        GTEST_SKIP() << "this machine has a system suite; status would report it";
    }
    const auto status = ToolTest::run(
        "tovrinctl", {"status"}, "",
        {{"APP_GROUP_CONTAINERS_ROOT", ""}, {"XDG_STATE_HOME", ""}, {"HOME", folder + "/home"}});
    ASSERT_EQ(status.exitStatus, 0) << status.standardError;
    expectHolds(status.standardOutput,
                {"No shared suite under " +
                 (isRoot ? systemRoot : folder + "/home/.local/state/tovrin/app-groups")});
    EXPECT_FALSE(std::filesystem::exists(systemRoot + "/" + common::appGroupIdentifier));
}

TEST_F(TovrinctlTest, BrowserHostManifestsAreWrittenRemovedAndRefusedWhenBad) {
    const std::string handler = folder + "/bin/handler";
    std::filesystem::create_directories(folder + "/bin");
    std::ofstream(handler) << "#!/bin/sh\n";
    ::chmod(handler.c_str(), 0755);
    const std::string hosts = folder + "/hosts";
    const std::string chromiumID = "abcdefghijklmnopabcdefghijklmnop";
    // The shipped extensions' IDs and the per-user folders are what the browser suites install
    // with; here, an ID of the caller's and a handler path to make absolute.
    const std::string relativeHandler = folder + "/bin/../bin/handler";
    std::vector<std::string> arguments = {
        "install-browser-host", "--handler", relativeHandler, "--chromium", chromiumID,
        "--manifest-dir",       hosts};
    const auto installed = run(arguments);
    ASSERT_EQ(installed.exitStatus, 0) << installed.standardError;
    const std::string path = hosts + "/com.vorlane.vorlanemacapp.tovrinhelper.json";
    // Name and type are compared with the packaged manifests.
    const base::Value manifest = parsedJSON(readWholeFile(path));
    for (const auto& [key, value] :
         {std::pair<std::string, base::Value>{"path", handler},
          {"allowed_origins", base::Array{"chrome-extension://" + chromiumID + "/"}}}) {
        EXPECT_EQ(manifest.find(key) ? *manifest.find(key) : base::Value(), value) << key;
    }
    arguments.push_back("--uninstall");
    EXPECT_EQ(run(arguments).exitStatus, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(hosts);
    const std::vector<std::vector<std::string>> refused = {
        {"--firefox", "not an id", handler},
        {"--chromium", chromiumID, folder + "/bin/none"},
    };
    for (const auto& options : refused) {
        SCOPED_TRACE(options[1] + " " + options[2]);
        EXPECT_EQ(run({"install-browser-host", "--manifest-dir", hosts, options[0], options[1],
                       "--handler", options[2]})
                      .exitStatus,
                  1);
        EXPECT_FALSE(std::filesystem::exists(hosts));
    }
}

TEST(TovrinctlDomainListTest, AcceptsNamesAsTheFilterComparesThemAndRefusesOthers) {
    struct Case {
        const char* text;
        std::vector<std::string> domains;
    } cases[] = {
        {"a.com, b.com\nc.com\t a.com", {"a.com", "b.com", "c.com"}},
        {"# work\nnews.example # evening\n\n_dmarc.example.org.",
         {"news.example", "_dmarc.example.org"}},
        {"# nothing but a comment", {}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.text);
        auto parsed = tools::parseDomainList(testCase.text);
        ASSERT_TRUE(parsed) << parsed.error().description;
        EXPECT_EQ(*parsed, testCase.domains);
    }
    // What is not a host name is refused, and named.
    const std::string longLabel(64, 'a');
    const std::string longName = std::string(250, 'a').insert(60, ".").insert(120, ".") + ".com";
    const char* entries[] = {
        "https://example.com", "example.com/path", "example.com:http", "a..example", "www.", ":443",
        "bücher.example",      "a\"b.example",
    };
    for (const char* entry : entries) {
        SCOPED_TRACE(entry);
        auto parsed = tools::parseDomainList(std::string("fine.example,") + entry);
        ASSERT_FALSE(parsed);
        EXPECT_NE(parsed.error().description.find(std::string("\"") + entry + "\""),
                  std::string::npos)
            << parsed.error().description;
    }
    EXPECT_TRUE(tools::domainProblem(longLabel + ".example"));
    EXPECT_TRUE(tools::domainProblem(longName));
    EXPECT_FALSE(tools::domainProblem(std::string(63, 'a') + ".example"));
}

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

using Lines = std::vector<std::string>;

// The program's standard output as lines, after checking that it exited 0.
Lines linesOf(const support::ChildProcessResult& result) {
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    std::istringstream stream(result.standardOutput);
    Lines lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

using FilterReplayTest = support::ToolTest;

// The provider's lifecycle, flows described by URL and by endpoint, outbound data, and the
// script's own faults, each answered on its line.
TEST_F(FilterReplayTest, ScriptDrivesTheProvider) {
    const std::string flow =
        R"("flow":{"id":"tls","socket":true,"remoteEndpoint":{"hostname":"192.0.2.10","port":"443"}})";
    const Lines script = {
        R"({"op":"start"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["A.com"],"enforcementEnabled":true,"policyVersion":2}})",
        R"({"op":"failInstallations","error":"denied"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":[],"enforcementEnabled":true,"policyVersion":3}})",
        R"({"op":"failInstallations","error":null})",
        R"({"op":"holdInstallations"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["b.com"],"enforcementEnabled":true,"policyVersion":4}})",
        R"({"op":"settings"})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"newFlow","flow":{"id":"blocked","url":"https://www.b.com/"}})",
        R"({"op":"newFlow",)" + flow + "}",
        R"({"op":"outboundData",)" + flow + R"(,"hex":"16030100"})",
        R"({"op":"stop","reason":5})",
        R"(not json)",
        R"({"op":"teleport"})",
        R"({"op":"configure","vendorConfiguration":[1]})",
        R"({"op":"releaseProvider"})",
        R"({"op":"newFlow","flow":{"id":"f"}})",
    };
    std::string input;
    for (const auto& line : script) {
        input += line + "\n";
    }
    Lines output = linesOf(run("filter-replay", {}, input));
    // The parser's own words, and the rules past the first, are the provider's concern.
    for (auto& line : output) {
        for (const std::string cut : {"not valid JSON: ", R"("rules":[{"hostname":"a.com")"}) {
            if (const auto at = line.find(cut); at != std::string::npos) {
                line.resize(at + cut.size());
            }
        }
    }
    EXPECT_EQ(
        output,
        (Lines{
            R"({"op":"installation","rules":0,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"installation","rules":0,"error":"denied"})",
            R"({"op":"settings","defaultAction":"allow","rules":[{"hostname":"a.com")",
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"error","line":10,"error":"no installation is waiting"})",
            R"({"op":"newFlow","id":"blocked","verdict":"drop","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})",
            R"({"op":"newFlow","id":"tls","verdict":"filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024})",
            R"({"op":"outboundData","id":"tls","verdict":"pass","passBytes":4,"peekBytes":1024})",
            R"({"op":"stop"})",
            R"({"op":"error","line":15,"error":"not valid JSON: )",
            R"({"op":"error","line":16,"error":"unknown op \"teleport\""})",
            R"({"op":"error","line":17,"error":"\"vendorConfiguration\" must be an object or null"})",
            R"({"op":"error","line":19,"error":"the provider was released"})",
        }));
    const Lines stored = linesOf(run("defaults", {"read", common::appGroupIdentifier}));
    for (const char* line : {"contentFilterExtensionState (string): stopped (5)",
                             "contentFilterLastPolicySummary (string): v4 blocking [b.com]",
                             "contentFilterProviderStartCount (integer): 1"}) {
        EXPECT_NE(std::find(stored.begin(), stored.end(), line), stored.end()) << line;
    }
}

}  // namespace

// The command-line tools run as child processes on a suite of the test's own.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "ToolTest.h"
#include "common/ContentFilterPolicy.h"
#include "common/SharedDefaultsKeys.h"
#include "tools/tovrinctl/DomainList.h"

namespace {

namespace keys = common::keys;
using support::parsedJSON;
using support::readWholeFile;
using Lines = std::vector<std::string>;

void expectHolds(const std::string& text, const Lines& parts) {
    for (const auto& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
    }
}

// Runs the built tovrinctl on a suite and a configuration file under a fresh folder.
class TovrinctlTest : public support::ToolTest {
  protected:
    support::ChildProcessResult run(const Lines& arguments) {
        return ToolTest::run(
            "tovrinctl", arguments, "",
            {{"CONTENT_FILTER_CONFIGURATION", configurationPath}, {"HOME", folder + "/home"}});
    }
    base::Expected<common::ContentFilterPolicy> storedPolicy() {
        return common::ContentFilterPolicy::decode(
            suite()->dataForKey(keys::contentFilterPolicyBlob).value_or(base::Data{}));
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
    expectHolds(set.standardOutput, {"Published policy version 1, blocking."});
    const auto policy = storedPolicy();
    ASSERT_TRUE(policy);
    EXPECT_EQ(*policy, common::ContentFilterPolicy({"blocked.example", "ads.example"}, true, 1,
                                                   policy->updatedAt()));
    EXPECT_NEAR(policy->updatedAt().timeIntervalSinceReferenceDate,
                base::Date::now().timeIntervalSinceReferenceDate, 60);
    EXPECT_EQ(suite()->kindForKey(keys::contentFilterPolicyBlob), platform::StoredKind::data);
    EXPECT_EQ(parsedJSON(readWholeFile(configurationPath)),
              parsedJSON(R"({"vendorConfiguration":{"blockedDomains":["blocked.example",)"
                         R"("ads.example"],"enforcementEnabled":true,"policyVersion":1}})"));

    const std::string show = run({"policy", "show"}).standardOutput;
    expectHolds(show, {"Filter reads the configuration file " + configurationPath,
                       "domains (2): ads.example, blocked.example",
                       "domains (2, from \"blockedDomains\"): blocked.example, ads.example"});
    EXPECT_EQ(show.find("do not enforce the same policy"), std::string::npos);

    // The next version follows the higher of blob and file.
    writeConfiguration(R"({"vendorConfiguration":{"policyVersion":7}})");
    for (const auto& [blobVersion, next] : {std::pair{3, 8}, std::pair{20, 21}}) {
        ASSERT_TRUE(suite()->store(
            keys::contentFilterPolicyBlob,
            common::ContentFilterPolicy({"a.com"}, true, blobVersion, base::Date{}).encode()));
        ASSERT_EQ(run({"policy", "set", "--block", "b.com", "--monitor"}).exitStatus, 0);
        const auto published = storedPolicy();
        ASSERT_TRUE(published);
        EXPECT_EQ(published->policyVersion(), next);
        EXPECT_FALSE(published->enforcementEnabled());
    }
}

// Bad input, or either store failing, leaves both stores as they were: no half-published policy.
TEST_F(TovrinctlTest, AFailedSetLeavesBothStoresAsTheyWere) {
    const std::string previous = R"({"vendorConfiguration":{"policyVersion":4}})";
    const Lines enforceA = {"policy", "set", "--block", "a.com", "--enforce"};
    sqlite3* locker = nullptr;
    struct Case {
        const char* message;
        Lines arguments;
        std::function<void()> prepare = [] {};
        std::string file = "";  // the configuration file afterwards; empty when there is none
    } cases[] = {
        {"\"https://ads.example/\"",
         {"policy", "set", "--block", "example.com,https://ads.example/", "--enforce"}},
        {"none.txt", {"policy", "set", "--block-file", folder + "/none.txt", "--monitor"}},
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
        const auto result = run(testCase.arguments);
        sqlite3_close_v2(locker);
        locker = nullptr;
        EXPECT_EQ(result.exitStatus, 1);
        expectHolds(result.standardError, {testCase.message});
        EXPECT_EQ(readWholeFile(configurationPath), testCase.file);
        EXPECT_FALSE(std::filesystem::is_directory(root) &&
                     suite()->dataForKey(keys::contentFilterPolicyBlob));
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
    storeText(keys::contentFilterPolicyBlob, blob);
    storeText(keys::websiteTrackingLatestBrowserEvent, event);
    expectHolds(
        run({"policy", "show"}).standardOutput,
        {"Filter reads the policy blob", "\" Ads.Example\" (never matches: not normalised)",
         "domains (1, from \"configuredDomains\"): c.example", "do not enforce the same policy"});
    expectHolds(run({"status"}).standardOutput,
                {"Filter: no diagnostics yet", "(2 hours ago)\n",
                 "  tab: 7, window unknown, the active tab, window not focused\n"});
}

// Without APP_GROUP_CONTAINERS_ROOT (sudo drops it), root works on the installed system's suite,
// the one the service uses; anyone else on the suite under their home.
TEST_F(TovrinctlTest, RootWithoutRootVariableUsesTheSystemSuite) {
    const std::string systemRoot = "/var/lib/tovrin/app-groups";
    const std::string systemSuite = systemRoot + "/" + common::appGroupIdentifier;
    const bool isRoot = ::geteuid() == 0;
    if (isRoot && std::filesystem::exists(systemSuite)) {
        GTEST_SKIP() << "this machine has a system suite; status would report it";
    }
    const auto status = ToolTest::run(
        "tovrinctl", {"status"}, "",
        {{"APP_GROUP_CONTAINERS_ROOT", ""}, {"XDG_STATE_HOME", ""}, {"HOME", folder + "/home"}});
    ASSERT_EQ(status.exitStatus, 0) << status.standardError;
    expectHolds(status.standardOutput,
                {"No shared suite under " +
                 (isRoot ? systemRoot : folder + "/home/.local/state/tovrin/app-groups")});
    EXPECT_FALSE(std::filesystem::exists(systemSuite));
}

// Manifests as the browsers read them are checked by the package and browser suites; here, what
// they do not reach: the handler's path made canonical, removal, and refusals.
TEST_F(TovrinctlTest, BrowserHostManifestsAreWrittenRemovedAndRefusedWhenBad) {
    const std::string handler = folder + "/handler", hosts = folder + "/hosts", id(32, 'a');
    std::ofstream(handler) << "#!/bin/sh\n";
    std::filesystem::permissions(handler, std::filesystem::perms::owner_all);
    const auto install = [&](Lines options) {
        options.insert(options.begin(), {"install-browser-host", "--manifest-dir", hosts});
        return run(options).exitStatus;
    };
    ASSERT_EQ(install({"--chromium", id, "--handler", folder + "/./handler"}), 0);
    const std::string path = hosts + "/com.vorlane.vorlanemacapp.tovrinhelper.json";
    const base::Value manifest = parsedJSON(readWholeFile(path));
    EXPECT_EQ(manifest.find("path") ? *manifest.find("path") : base::Value(), base::Value(handler));
    EXPECT_EQ(install({"--chromium", id, "--handler", handler, "--uninstall"}), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(hosts);
    // Refused: an ID that Firefox cannot have, a handler that is not there.
    EXPECT_EQ(install({"--firefox", "not an id", "--handler", handler}), 1);
    EXPECT_EQ(install({"--chromium", id, "--handler", folder + "/none"}), 1);
    EXPECT_FALSE(std::filesystem::exists(hosts));
}

TEST(TovrinctlDomainListTest, AcceptsNamesAsTheFilterComparesThemAndRefusesOthers) {
    const std::string longLabel = std::string(63, 'a') + ".example";
    const std::pair<std::string, Lines> accepted[] = {
        {"a.com, b.com\nc.com\t a.com", {"a.com", "b.com", "c.com"}},
        {"# work\nnews.example # evening\n\n_dmarc.example.org.",
         {"news.example", "_dmarc.example.org"}},
        {longLabel, {longLabel}},
    };
    for (const auto& [text, domains] : accepted) {
        const auto parsed = tools::parseDomainList(text);
        EXPECT_EQ(parsed ? *parsed : Lines{parsed.error().description}, domains);
    }
    // What is not a host name is refused, and named, even after a good entry.
    Lines refused = {"https://example.com", "example.com:http", "a..example",   "www.", ":443",
                     "bücher.example",      "a\"b.example",     "a" + longLabel};
    refused.push_back(std::string(250, 'a').insert(60, ".").insert(120, ".") + ".com");
    for (const std::string& entry : refused) {
        const auto parsed = tools::parseDomainList("fine.example," + entry);
        ASSERT_FALSE(parsed) << entry;
        expectHolds(parsed.error().description, {"\"" + entry + "\""});
    }
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

    std::string everyByte(256, '\0');
    std::iota(everyByte.begin(), everyByte.end(), '\0');
    std::ofstream(folder + "/binary", std::ios::binary) << everyByte;
    write("binary", "-data-file", folder + "/binary");
    EXPECT_EQ(run({"read", testSuite, "binary"}).standardOutput, everyByte);
}

TEST_F(DefaultsToolTest, ExitStatuses) {
    write("present", "-int", "1");
    const std::pair<Lines, int> cases[] = {
        {{"read", testSuite, "absent"}, 1},
        {{"read", "group.never.written"}, 1},
        {{"write", testSuite, "key", "-data-file", folder + "/no-such-file"}, 1},
        {{"write", testSuite, "key", "-data", "abc"}, 2},
        {{"write", testSuite, "key", "-int", "9223372036854775808"}, 2},
        {{"write", testSuite, "key", "-date", "2026-02-29T00:00:00Z"}, 2},
        {{}, 2},
        {{"read", "../escape", "key"}, 2},
    };
    for (const auto& [arguments, status] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto outcome = run(arguments);
        EXPECT_EQ(outcome.exitStatus, status);
        expectHolds(outcome.standardError, {status == 2 ? "usage:" : "defaults: "});
    }
    EXPECT_EQ(run({"read", testSuite, "present"}).standardOutput, "1\n");
    EXPECT_FALSE(std::filesystem::exists(root + "/group.never.written"));
}

// The provider's lifecycle, flows described by URL and by endpoint, outbound data, and the
// script's own faults, each answered on its line. Settings are those last installed well.
using FilterReplayTest = support::ToolTest;

TEST_F(FilterReplayTest, ScriptDrivesTheProvider) {
    const auto replay = run("filter-replay", {}, R"({"op":"start"}
{"op":"failInstallations","error":"denied"}
{"op":"configure","vendorConfiguration":{"blockedDomains":["A.com"],"enforcementEnabled":true,"policyVersion":2}}
{"op":"settings"}
{"op":"failInstallations","error":null}
{"op":"holdInstallations"}
{"op":"configure","vendorConfiguration":{"blockedDomains":["b.com"],"enforcementEnabled":true,"policyVersion":4}}
{"op":"completeInstallation","error":null}
{"op":"completeInstallation","error":null}
{"op":"newFlow","flow":{"id":"blocked","url":"https://www.b.com/"}}
{"op":"newFlow","flow":{"id":"tls","socket":true,"remoteEndpoint":{"hostname":"192.0.2.10","port":"443"}}}
{"op":"outboundData","flow":{"id":"tls","socket":true,"remoteEndpoint":{"hostname":"192.0.2.10","port":"443"}},"hex":"16030100"}
{"op":"stop","reason":5}
{"op":"releaseProvider"}
{"op":"newFlow","flow":{"id":"f"}}
)");
    EXPECT_EQ(replay.exitStatus, 0);
    EXPECT_EQ(replay.standardOutput, R"({"op":"installation","rules":0,"error":null}
{"op":"start","error":null}
{"op":"installation","rules":5,"error":"denied"}
{"op":"settings","defaultAction":"allow","rules":[]}
{"op":"installation","rules":5,"error":null}
{"op":"error","line":9,"error":"no installation is waiting"}
{"op":"newFlow","id":"blocked","verdict":"drop","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0}
{"op":"newFlow","id":"tls","verdict":"filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024}
{"op":"outboundData","id":"tls","verdict":"pass","passBytes":4,"peekBytes":1024}
{"op":"stop"}
{"op":"error","line":15,"error":"the provider was released"}
)");
    expectHolds(run("defaults", {"read", common::appGroupIdentifier}).standardOutput,
                {"contentFilterExtensionState (string): stopped (5)\n",
                 "contentFilterLastPolicySummary (string): v4 blocking [b.com]\n",
                 "contentFilterProviderStartCount (integer): 1\n"});
}

}  // namespace

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/BuildConstants.h"

extern char** environ;

namespace {

using Lines = std::vector<std::string>;

Lines linesOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Lines lines;
    std::string line;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Runs the built filter-replay (and defaults) on a suite under a fresh folder.
class FilterReplayTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "filter-replay-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        setenv("APP_GROUP_CONTAINERS_ROOT", (folder + "/app-groups").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("APP_GROUP_CONTAINERS_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Runs `program` with `arguments`, standard input read from `inputPath`; the lines of its
    // standard output, after checking that it exited 0.
    Lines run(const std::string& program,
              std::vector<std::string> arguments,
              const std::string& inputPath = "/dev/null") {
        const std::string path = std::string(TOVRIN_BIN_DIR) + "/" + program;
        const std::string outputPath = folder + "/stdout";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (folder + "/stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t child = -1;
        const int spawned =
            posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0) << path;
        int status = -1;
        if (spawned == 0) {
            waitpid(child, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program << " " << status;
        return linesOf(outputPath);
    }

    Lines replay(const Lines& script) {
        const std::string scriptPath = folder + "/script.jsonl";
        std::ofstream file(scriptPath, std::ios::binary);
        for (const auto& line : script) {
            file << line << "\n";
        }
        file.close();
        return run("filter-replay", {}, scriptPath);
    }

    // The suite as `defaults read` lists it: "KEY (KIND): VALUE", one a line.
    Lines suite() { return run("defaults", {"read", common::appGroupIdentifier}); }

    // Compares line by line; an expected line ending in "*" only has to begin the actual one.
    void expectLines(const Lines& actual, const Lines& expected) {
        for (std::size_t index = 0; index < std::max(actual.size(), expected.size()); ++index) {
            SCOPED_TRACE("output line " + std::to_string(index + 1));
            std::string actualLine = index < actual.size() ? actual[index] : "<missing>";
            std::string expectedLine = index < expected.size() ? expected[index] : "<none>";
            if (expectedLine.ends_with("*")) {
                expectedLine.pop_back();
                actualLine = actualLine.substr(0, expectedLine.size());
            }
            EXPECT_EQ(actualLine, expectedLine);
        }
    }

    std::string folder;
};

TEST_F(FilterReplayTest, LifecycleScript) {
    const auto output = replay({
        R"({"op":"start"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["A.com"],"enforcementEnabled":true,"policyVersion":2}})",
        R"({"op":"settings"})",
        R"({"op":"failInstallations","error":"denied"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":[],"enforcementEnabled":true,"policyVersion":3}})",
        R"({"op":"failInstallations","error":null})",
        R"({"op":"holdInstallations"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["b.com"],"enforcementEnabled":true,"policyVersion":4}})",
        R"({"op":"settings"})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"stop","reason":5})",
        R"(not json)",
        R"({"op":"teleport"})",
        R"({"op":"newFlow","flow":{"url":"https://a.com/"}})",
        R"({"op":"configure","vendorConfiguration":[1]})",
        R"({"op":"settings"})",
    });
    expectLines(
        output,
        {
            R"({"op":"installation","rules":0,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"settings","defaultAction":"allow","rules":[{"hostname":"a.com","port":"0","protocol":"any","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"443","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"443","protocol":"tcp","action":"filterData"}]})",
            R"({"op":"installation","rules":0,"error":"denied"})",
            R"({"op":"settings","defaultAction":"allow","rules":[{"hostname":"a.com","port":"0","protocol":"any","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"443","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"443","protocol":"tcp","action":"filterData"}]})",
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"error","line":11,"error":"no installation is waiting"})",
            R"({"op":"stop"})",
            R"({"op":"error","line":13,"error":"not valid JSON: *)",
            R"({"op":"error","line":14,"error":"unknown op \"teleport\""})",
            R"({"op":"error","line":15,"error":"flow \"id\" must be a string"})",
            R"({"op":"error","line":16,"error":"\"vendorConfiguration\" must be an object or null"})",
            R"({"op":"settings","defaultAction":"allow","rules":[{"hostname":"b.com","port":"0","protocol":"any","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"0.0.0.0","prefix":0,"port":"443","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"80","protocol":"tcp","action":"filterData"},{"address":"::","prefix":0,"port":"443","protocol":"tcp","action":"filterData"}]})",
        });
    expectLines(suite(), {
                             "contentFilterExtensionState (string): stopped (5)",
                             "contentFilterLastPolicySummary (string): v4 blocking [b.com]",
                             "contentFilterProviderStartCount (integer): 1",
                         });
}

TEST_F(FilterReplayTest, ChangeBeforeTheFirstInstallationIsInstalledAfterIt) {
    const auto output = replay({
        R"({"op":"holdInstallations"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["a.com"],"enforcementEnabled":true,"policyVersion":1}})",
        R"({"op":"start"})",
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["a.com","b.com"],"enforcementEnabled":false,"policyVersion":2}})",
        R"({"op":"completeInstallation","error":"busy"})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"start"})",
    });
    expectLines(output, {
                            R"({"op":"installation","rules":5,"error":"busy"})",
                            R"({"op":"start","error":"busy"})",
                            R"({"op":"installation","rules":0,"error":null})",
                        });
    // The second start's installation is still held at the end, and dropped.
    expectLines(suite(),
                {
                    "contentFilterExtensionState (string): reconfigured monitoring",
                    "contentFilterLastPolicySummary (string): v2 monitoring [a.com, b.com]",
                    "contentFilterProviderStartCount (integer): 2",
                });
}

TEST_F(FilterReplayTest, ReleasedProviderStillAnswersTheStartButWritesNothing) {
    const auto output = replay({
        R"({"op":"holdInstallations"})",
        R"({"op":"start"})",
        R"({"op":"releaseProvider"})",
        R"({"op":"configure","vendorConfiguration":{}})",
        R"({"op":"completeInstallation","error":null})",
        R"({"op":"newFlow","flow":{"id":"f"}})",
    });
    expectLines(output, {
                            R"({"op":"installation","rules":0,"error":null})",
                            R"({"op":"start","error":null})",
                            R"({"op":"error","line":6,"error":"the provider was released"})",
                        });
    expectLines(suite(), {
                             "contentFilterLastPolicySummary (string): v0 monitoring []",
                             "contentFilterProviderStartCount (integer): 1",
                         });
}

TEST_F(FilterReplayTest, NewFlowVerdictsAndTheirDiagnostics) {
    const auto output = replay({
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["Example.com"],"enforcementEnabled":true,"policyVersion":1}})",
        R"({"op":"start"})",
        R"({"op":"newFlow","flow":{"id":"blocked","url":"https://www.example.com/","socket":true,"remoteEndpoint":{"hostname":"93.184.216.34","port":"443"}}})",
        R"({"op":"newFlow","flow":{"id":"allowed","socket":true,"remoteHostname":"news.org","socketType":2}})",
        R"({"op":"newFlow","flow":{"id":"local","socket":true,"remoteEndpoint":{"description":"/run/x.sock"}}})",
        R"({"op":"newFlow","flow":{"id":"hostless","socket":true,"remoteEndpoint":{"hostname":"2001:db8::1","port":"443"}}})",
        R"({"op":"outboundComplete","flow":{"id":"hostless"}})",
        R"({"op":"newFlow","flow":{"id":"plain","url":"not a url"}})",
    });
    expectLines(
        output,
        {
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"newFlow","id":"blocked","verdict":"drop","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})",
            R"({"op":"newFlow","id":"allowed","verdict":"allow","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})",
            R"({"op":"newFlow","id":"local","verdict":"allow","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})",
            R"({"op":"newFlow","id":"hostless","verdict":"filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024})",
            R"({"op":"outboundComplete","id":"hostless","verdict":"allow"})",
            R"({"op":"newFlow","id":"plain","verdict":"allow","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})",
        });
    expectLines(suite(), {
                             "contentFilterExtensionState (string): blocked example.com",
                             "contentFilterLastBlockedAt (date): 20*",
                             "contentFilterLastBlockedHost (string): example.com",
                             "contentFilterLastMatchedDomain (string): example.com",
                             "contentFilterLastObservedEndpoint (string): <unavailable>",
                             "contentFilterLastObservedHost (string): <unavailable>",
                             "contentFilterLastObservedURL (string): <unavailable>",
                             "contentFilterLastPolicySummary (string): v1 blocking [example.com]",
                             "contentFilterObservedFlowCount (integer): 5",
                             "contentFilterProviderStartCount (integer): 1",
                         });
}

TEST_F(FilterReplayTest, OutboundDataGetsTheInspectionVerdicts) {
    const std::string chromiumHello =
        std::string(TOVRIN_TEST_DATA_DIR) + "/captures/tls-chromium.bin";
    const std::string hostless =
        R"("socket":true,"remoteEndpoint":{"hostname":"192.0.2.10","port":"443"})";
    const auto output = replay({
        R"({"op":"configure","vendorConfiguration":{"blockedDomains":["test"],"enforcementEnabled":true,"policyVersion":1}})",
        R"({"op":"start"})",
        R"({"op":"newFlow","flow":{"id":"tls",)" + hostless + "}}",
        R"({"op":"outboundData","flow":{"id":"tls",)" + hostless + R"(},"file":")" + chromiumHello +
            R"("})",
        R"({"op":"newFlow","flow":{"id":"partial",)" + hostless + "}}",
        R"({"op":"outboundData","flow":{"id":"partial",)" + hostless + R"(},"hex":"16030100"})",
        R"({"op":"outboundComplete","flow":{"id":"partial",)" + hostless + "}}",
        R"({"op":"outboundData","flow":{"id":"http",)" + hostless +
            R"(},"text":"GET / HTTP/1.1\r\nHost: news.org\r\n\r\n"})",
        R"({"op":"outboundData","flow":{"id":"ssh",)" + hostless +
            R"(},"text":"SSH-2.0-OpenSSH_9.6\r\n"})",
        R"({"op":"outboundData","flow":{"id":"ssh"},"file":"/nonexistent/capture.bin"})",
    });
    expectLines(
        output,
        {
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"newFlow","id":"tls","verdict":"filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024})",
            R"({"op":"outboundData","id":"tls","verdict":"drop","passBytes":0,"peekBytes":0})",
            R"({"op":"newFlow","id":"partial","verdict":"filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024})",
            R"({"op":"outboundData","id":"partial","verdict":"pass","passBytes":4,"peekBytes":1024})",
            R"({"op":"outboundComplete","id":"partial","verdict":"allow"})",
            R"({"op":"outboundData","id":"http","verdict":"allow","passBytes":0,"peekBytes":0})",
            R"({"op":"outboundData","id":"ssh","verdict":"allow","passBytes":0,"peekBytes":0})",
            R"({"op":"error","line":10,"error":"cannot read \"/nonexistent/capture.bin\""})",
        });
    // The provider logs to standard error.
    const auto log = linesOf(folder + "/stderr");
    const auto logged = [&](const std::string& message) {
        return std::any_of(log.begin(), log.end(),
                           [&](const auto& line) { return line.ends_with(message); });
    };
    EXPECT_TRUE(logged("allowed inspected flow host=news.org endpoint=192.0.2.10:443"));
    EXPECT_TRUE(logged("allowing unresolved flow without hostname endpoint=192.0.2.10:443"));
    // The server name chromium.test is not recorded: the matched domain stands for the host.
    expectLines(suite(), {
                             "contentFilterExtensionState (string): blocked test",
                             "contentFilterLastBlockedAt (date): 20*",
                             "contentFilterLastBlockedHost (string): test",
                             "contentFilterLastMatchedDomain (string): test",
                             "contentFilterLastObservedEndpoint (string): 192.0.2.10:443",
                             "contentFilterLastObservedHost (string): <unavailable>",
                             "contentFilterLastObservedURL (string): <unavailable>",
                             "contentFilterLastPolicySummary (string): v1 blocking [test]",
                             "contentFilterObservedFlowCount (integer): 6",
                             "contentFilterProviderStartCount (integer): 1",
                         });
}

}  // namespace

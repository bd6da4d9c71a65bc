#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "ToolTest.h"
#include "common/BuildConstants.h"

namespace {

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

std::string settingsLine(const std::string& hostname) {
    std::string rules =
        R"({"hostname":")" + hostname + R"(","port":"0","protocol":"any","action":"filterData"})";
    for (const char* address : {"0.0.0.0", "::"}) {
        for (const char* port : {"80", "443"}) {
            rules += std::string(R"(,{"address":")") + address + R"(","prefix":0,"port":")" + port +
                     R"(","protocol":"tcp","action":"filterData"})";
        }
    }
    return R"({"op":"settings","defaultAction":"allow","rules":[)" + rules + "]}";
}

std::string newFlowLine(const std::string& id, bool isBlocked) {
    return R"({"op":"newFlow","id":")" + id + R"(","verdict":")" +
           (isBlocked
                ? R"(drop","filterInbound":false,"peekInboundBytes":0,"filterOutbound":false,"peekOutboundBytes":0})"
                : R"(filterData","filterInbound":false,"peekInboundBytes":0,"filterOutbound":true,"peekOutboundBytes":1024})");
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
    for (auto& line : output) {
        if (const auto at = line.find("not valid JSON: "); at != std::string::npos) {
            line.resize(at + 16);
        }
    }
    EXPECT_EQ(
        output,
        (Lines{
            R"({"op":"installation","rules":0,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"installation","rules":0,"error":"denied"})",
            settingsLine("a.com"),
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"error","line":10,"error":"no installation is waiting"})",
            newFlowLine("blocked", true),
            newFlowLine("tls", false),
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

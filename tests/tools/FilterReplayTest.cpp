#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ToolTest.h"
#include "common/BuildConstants.h"

namespace {

using Lines = std::vector<std::string>;

Lines linesOf(const std::string& text) {
    std::istringstream stream(text);
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

std::string newFlowLine(const std::string& id, const std::string& verdict) {
    const bool inspects = verdict == "filterData";
    return R"({"op":"newFlow","id":")" + id + R"(","verdict":")" + verdict +
           R"(","filterInbound":false,"peekInboundBytes":0,"filterOutbound":)" +
           (inspects ? "true" : "false") + R"(,"peekOutboundBytes":)" + (inspects ? "1024" : "0") +
           "}";
}

class FilterReplayTest : public support::ToolTest {
  protected:
    // The lines of the program's standard output, after checking that it exited 0.
    Lines lines(const std::string& program, std::vector<std::string> arguments, std::string input) {
        const auto result = run(program, std::move(arguments), input);
        EXPECT_EQ(result.exitStatus, 0) << program << "\n" << result.standardError;
        return linesOf(result.standardOutput);
    }
    Lines replay(const Lines& script) {
        std::string input;
        for (const auto& line : script) {
            input += line + "\n";
        }
        return lines("filter-replay", {}, input);
    }
    // The suite as `defaults read` lists it: "KEY (KIND): VALUE", one a line.
    Lines suite() { return lines("defaults", {"read", common::appGroupIdentifier}, ""); }

    // An expected line ending in "*" only has to begin the actual one.
    static void expectLines(const Lines& actual, const Lines& expected) {
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
};

// The provider's lifecycle, flows described by URL and by endpoint, outbound data as hex and text,
// and the script's own faults.
TEST_F(FilterReplayTest, LifecycleScript) {
    const std::string flow =
        R"("flow":{"id":"partial","socket":true,"remoteEndpoint":{"hostname":"192.0.2.10","port":"443"}})";
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
        R"({"op":"newFlow","flow":{"id":"blocked","url":"https://www.b.com/"}})",
        R"({"op":"newFlow",)" + flow + "}",
        R"({"op":"outboundData",)" + flow + R"(,"hex":"16030100"})",
        R"({"op":"outboundData","flow":{"id":"http"},"text":"GET / HTTP/1.1\r\nHost: news.org\r\n\r\n"})",
        R"({"op":"stop","reason":5})",
        R"(not json)",
        R"({"op":"teleport"})",
        R"({"op":"configure","vendorConfiguration":[1]})",
        R"({"op":"settings"})",
        R"({"op":"releaseProvider"})",
        R"({"op":"newFlow","flow":{"id":"f"}})",
    });
    expectLines(
        output,
        {
            R"({"op":"installation","rules":0,"error":null})",
            R"({"op":"start","error":null})",
            R"({"op":"installation","rules":5,"error":null})",
            settingsLine("a.com"),
            R"({"op":"installation","rules":0,"error":"denied"})",
            settingsLine("a.com"),
            R"({"op":"installation","rules":5,"error":null})",
            R"({"op":"error","line":11,"error":"no installation is waiting"})",
            newFlowLine("blocked", "drop"),
            newFlowLine("partial", "filterData"),
            R"({"op":"outboundData","id":"partial","verdict":"pass","passBytes":4,"peekBytes":1024})",
            R"({"op":"outboundData","id":"http","verdict":"allow","passBytes":0,"peekBytes":0})",
            R"({"op":"stop"})",
            R"({"op":"error","line":17,"error":"not valid JSON: *)",
            R"({"op":"error","line":18,"error":"unknown op \"teleport\""})",
            R"({"op":"error","line":19,"error":"\"vendorConfiguration\" must be an object or null"})",
            settingsLine("b.com"),
            R"({"op":"error","line":22,"error":"the provider was released"})",
        });
    const Lines stored = suite();
    for (const char* line : {"contentFilterExtensionState (string): stopped (5)",
                             "contentFilterLastPolicySummary (string): v4 blocking [b.com]",
                             "contentFilterProviderStartCount (integer): 1"}) {
        EXPECT_NE(std::find(stored.begin(), stored.end(), line), stored.end()) << line;
    }
}

}  // namespace

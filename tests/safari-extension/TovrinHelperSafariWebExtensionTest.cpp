// Drives the deliverable as a browser does: real frames over pipes, the suite in a private root,
// read back with the `defaults` tool.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/json/JSON.h"
#include "base/value/Date.h"
#include "base/value/Value.h"
#include "common/BuildConstants.h"
#include "fakes/ChildProcess.h"

namespace {

using base::Value;

const std::string handlerPath = TOVRIN_BIN_DIR "/TovrinHelperSafariWebExtension";
const std::string defaultsPath = TOVRIN_BIN_DIR "/defaults";
const std::vector<std::string> chromiumArguments = {"chrome-extension://abcdefgh/",
                                                    "--parent-window=0"};
constexpr char eventKey[] = "websiteTrackingLatestBrowserEvent";

std::string lengthPrefix(std::uint32_t length) {
    std::string prefix(sizeof length, '\0');
    std::memcpy(prefix.data(), &length, sizeof length);
    return prefix;
}

std::string frame(const std::string& message) {
    return lengthPrefix(static_cast<std::uint32_t>(message.size())) + message;
}

Value parsed(const std::string& json) {
    auto value = base::json::JSONObjectWithData(
        std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
    EXPECT_TRUE(value) << json;
    return value ? std::move(value).value() : Value();
}

std::string trackingMessage(const std::string& messageID, const std::string& extraKeys = "") {
    return R"({"action":"trackActiveWebsite","messageID":")" + messageID +
           R"(","browser":"chromium","isActiveTab":true,"isWindowFocused":false,)"
           R"("occurredAt":1700000000123)" +
           extraKeys + "}";
}

std::string policy(bool isEnforcing, const std::string& extraKeys = "") {
    return std::string(R"({"blockedDomains":["example.com"],"enforcementEnabled":)") +
           (isEnforcing ? "true" : "false") + R"(,"policyVersion":3,"updatedAt":700000000.5)" +
           extraKeys + "}";
}

struct Exchange {
    int exitStatus = -1;
    std::vector<Value> replies;
    std::string standardError;
};

class TovrinHelperSafariWebExtensionTest : public ::testing::Test {
  protected:
    support::ChildProcessResult run(const std::vector<std::string>& arguments,
                                    const std::string& input = "") {
        return support::runChildProcess(arguments, input, directory,
                                        {{"APP_GROUP_CONTAINERS_ROOT", root}});
    }

    void publishPolicy(const std::string& json) {
        const auto path = directory / "policy.json";
        std::ofstream(path, std::ios::binary) << json;
        const auto result = run({defaultsPath, "write", common::appGroupIdentifier,
                                 "contentFilterPolicyBlob", "-data-file", path.string()});
        ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    }

    // The stored event, checked to be a data value; nothing when the key is absent.
    std::optional<Value> storedEvent() {
        const auto kind = run({defaultsPath, "read-type", common::appGroupIdentifier, eventKey});
        if (kind.exitStatus != 0) {
            return std::nullopt;
        }
        EXPECT_EQ(kind.standardOutput.substr(0, 4), "data");
        return parsed(
            run({defaultsPath, "read", common::appGroupIdentifier, eventKey}).standardOutput);
    }

    // Runs the handler on `input` and checks that its standard output is nothing but frames.
    Exchange exchangeFrames(const std::string& input,
                            std::vector<std::string> arguments = chromiumArguments) {
        arguments.insert(arguments.begin(), handlerPath);
        const auto result = run(arguments, input);
        Exchange exchange{result.exitStatus, {}, result.standardError};
        std::string_view output = result.standardOutput;
        for (std::uint32_t length = 0; output.size() >= sizeof length;) {
            std::memcpy(&length, output.data(), sizeof length);
            if (output.size() - sizeof length < length) {
                break;
            }
            exchange.replies.push_back(parsed(std::string(output.substr(sizeof length, length))));
            output.remove_prefix(sizeof length + length);
        }
        EXPECT_TRUE(output.empty()) << "standard output holds more than whole frames";
        return exchange;
    }

    Exchange exchange(const std::vector<std::string>& messages) {
        std::string input;
        for (const auto& message : messages) {
            input += frame(message);
        }
        return exchangeFrames(input);
    }

    support::ScratchFolder scratch;
    const std::filesystem::path directory = scratch.path;
    std::string root = (directory / "app-groups").string();
};

// The site's matching itself is covered in-process; here, what reaches it from the frame.
TEST_F(TovrinHelperSafariWebExtensionTest, BlockingStateFollowsThePublishedPolicy) {
    const std::string blocking = policy(true);
    struct Case {
        std::optional<std::string> policy;
        std::string site;
        const char* matchedDomain;
        bool isBlocked;
    } cases[] = {
        // The URL wins over "host"; a URL without a host gives way to it.
        {blocking, R"("url":"https://www.example.com/results?q=a|b {c}","host":"b.org")",
         "example.com", true},
        {blocking, R"("url":"http:///example.com","host":"b.org")", "", false},
        {blocking, R"("url":"https://www./","host":"example.com")", "", false},
        {policy(false), R"("host":"a.example.com")", "example.com", false},
        {policy(true, R"(,"configuredDomains":["b.org"])"), R"("host":"www.b.org")", "b.org", true},
        {std::nullopt, R"("host":"example.com")", "", false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.policy.value_or("no blob") + " " + testCase.site);
        std::filesystem::remove_all(root);
        if (testCase.policy) {
            publishPolicy(*testCase.policy);
        }
        const auto result =
            exchange({R"({"action":"getWebsiteBlockingState",)" + testCase.site + "}"});
        EXPECT_EQ(result.exitStatus, 0);
        ASSERT_EQ(result.replies.size(), 1u);
        EXPECT_EQ(result.replies[0],
                  Value(base::Dictionary{{"ok", true},
                                         {"blocked", testCase.isBlocked},
                                         {"matchedDomain", testCase.matchedDomain}}));
        EXPECT_FALSE(storedEvent()) << "a blocking-state question stores nothing";
    }
}

TEST_F(TovrinHelperSafariWebExtensionTest, TrackingStoresTheEventAndAnswersWithItsSite) {
    publishPolicy(policy(true));
    const double before = base::Date::now().timeIntervalSinceReferenceDate;
    const auto result = exchange({trackingMessage(
        "m-1",
        R"(,"tabID":7,"windowID":-2,"url":"https://WWW.Example.com:444/a","host":"b.org","title":"T")")});
    const double after = base::Date::now().timeIntervalSinceReferenceDate;
    ASSERT_EQ(result.replies.size(), 1u);
    EXPECT_EQ(result.replies[0], parsed(R"({"ok":true,"messageID":"m-1","host":"example.com",)"
                                        R"("blocked":true,"matchedDomain":"example.com"})"));
    auto event = storedEvent();
    ASSERT_TRUE(event);
    const double receivedAt = *event->find("receivedAt")->real();
    EXPECT_GE(receivedAt, before - 0.001);
    EXPECT_LE(receivedAt, after + 0.001);
    EXPECT_DOUBLE_EQ(*event->find("occurredAt")->real(), 1700000000.123 - 978307200);
    base::Dictionary otherFields = *event->dictionary();
    std::erase_if(otherFields, [](const auto& entry) {
        return entry.key == Value("receivedAt") || entry.key == Value("occurredAt");
    });
    EXPECT_EQ(Value(otherFields),
              parsed(R"({"messageID":"m-1","browser":"chromium","tabID":7,"windowID":-2,)"
                     R"("url":"https://WWW.Example.com:444/a","host":"example.com",)"
                     R"("isActiveTab":true,"isWindowFocused":false})"));
}

TEST_F(TovrinHelperSafariWebExtensionTest, EachEventReplacesTheLastWholeAndLeavesOutWhatItLacks) {
    struct Case {
        const char* name;
        std::string extraKeys;
        std::optional<std::string> host;
    } cases[] = {
        {"nulls and absent keys", R"(,"tabID":null,"url":null,"host":"Example.ORG")",
         "example.org"},
        {"host normalising to nothing", R"(,"host":".")", ""},
        {"neither url nor host", "", std::nullopt},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto result =
            exchange({trackingMessage("first", R"(,"tabID":1,"windowID":2,"url":"https://a.org/")"),
                      trackingMessage("second", testCase.extraKeys)});
        ASSERT_EQ(result.replies.size(), 2u);
        EXPECT_EQ(*result.replies[1].find("host"), Value(testCase.host.value_or("")));
        const auto event = storedEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(*event->find("messageID"), Value("second"));
        for (const char* key : {"tabID", "windowID", "url"}) {
            EXPECT_EQ(event->find(key), nullptr) << key;
        }
        const Value* host = event->find("host");
        EXPECT_EQ(host ? std::optional(*host) : std::nullopt,
                  testCase.host ? std::optional(Value(*testCase.host)) : std::nullopt);
    }
}

// Each failure answers in turn and the next message is still read; a suite that cannot be
// opened fails tracking only.
TEST_F(TovrinHelperSafariWebExtensionTest, EveryFailureAnswersWithItsText) {
    const std::string missing = "Safari did not include a native message payload.";
    const std::string malformed = "Safari sent a malformed native message payload.";
    struct Case {
        std::string message;
        std::string error;  // the exact text, or for the decoder's descriptions the key named
        bool isExact = true;
    } cases[] = {
        {"{\"action\":", missing},
        {"\"\xFF\"", missing},
        {"null", malformed},
        {R"({"action":"GetWebsiteBlockingState","host":"example.com"})", malformed},
        {R"({"messageID":"m","browser":"b","isActiveTab":1,"isWindowFocused":true,"occurredAt":1})",
         malformed},
        {R"([{"action":"trackActiveWebsite"}])", "top level", false},
        {R"({"action":"getWebsiteBlockingState","url":5})", "\"url\"", false},
        {trackingMessage("m", R"(,"tabID":1.5)"), "\"tabID\"", false},
    };
    std::vector<std::string> messages;
    for (const auto& testCase : cases) {
        messages.push_back(testCase.message);
    }
    const auto result = exchange(messages);
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_EQ(result.replies.size(), std::size(cases));
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE(cases[index].message);
        const Value& reply = result.replies[index];
        ASSERT_EQ(reply.dictionary()->size(), 2u);
        EXPECT_EQ(*reply.find("ok"), Value(false));
        const std::string& error = *reply.find("error")->text();
        EXPECT_TRUE(cases[index].isExact ? error == cases[index].error
                                         : error.find(cases[index].error) != std::string::npos)
            << error;
    }
    EXPECT_FALSE(storedEvent()) << "no failed tracking message is stored";

    // A reply over the browser's limit becomes a failure reply.
    const auto large =
        exchange({trackingMessage(std::string(1024 * 1024, 'x')), trackingMessage("short")});
    ASSERT_EQ(large.replies.size(), 2u);
    EXPECT_NE(large.replies[0].find("error")->text()->find("limit of 1048576 bytes"),
              std::string::npos);
    EXPECT_EQ(*large.replies[1].find("ok"), Value(true));

    std::ofstream(directory / "file") << "x";
    root = (directory / "file" / "app-groups").string();
    const auto unavailable = exchange({trackingMessage("m", R"(,"host":"example.com")"),
                                       R"({"action":"getWebsiteBlockingState","host":"a.com"})"});
    ASSERT_EQ(unavailable.replies.size(), 2u);
    EXPECT_EQ(unavailable.replies[0],
              parsed(R"({"ok":false,"error":"The shared app group is unavailable for Safari )"
                     R"(website tracking."})"));
    EXPECT_EQ(unavailable.replies[1], parsed(R"({"ok":true,"blocked":false,"matchedDomain":""})"));
}

TEST_F(TovrinHelperSafariWebExtensionTest, FramingEndsTheProcessAsTheInputDoes) {
    const std::string question = frame(R"({"action":"getWebsiteBlockingState","host":"a.b"})");
    struct Case {
        std::string input;
        int exitStatus;
        std::size_t replyCount;
        const char* error;  // on standard error, which is otherwise empty
        std::vector<std::string> arguments = {};
    } cases[] = {
        {"", 0, 0, nullptr, chromiumArguments},
        {question + question, 0, 2, nullptr, {"/home/u/.mozilla/host.json", "x@example.org"}},
        {question + lengthPrefix(9).substr(0, 2), 1, 1, "inside the length"},
        {question + lengthPrefix(100) + "{\"action\":", 1, 1,
         "inside a native message frame (10 of 100 bytes)"},
        {question + lengthPrefix(64 * 1024 * 1024 + 1), 1, 1,
         "exceeds the limit of 67108864 bytes"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.error ? testCase.error : "clean end");
        const auto result = exchangeFrames(testCase.input, testCase.arguments);
        EXPECT_EQ(result.exitStatus, testCase.exitStatus) << result.standardError;
        EXPECT_EQ(result.replies.size(), testCase.replyCount);
        if (testCase.error != nullptr) {
            EXPECT_NE(result.standardError.find(testCase.error), std::string::npos)
                << result.standardError;
        } else {
            EXPECT_EQ(result.standardError, "");
        }
    }
}

}  // namespace

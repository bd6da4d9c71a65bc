// Drives the deliverable as a browser does: real frames over pipes, the suite in a private root.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../tools/ToolTest.h"
#include "base/value/Date.h"

namespace {

using base::Value;
using support::parsedJSON;

const std::vector<std::string> chromiumArguments = {"chrome-extension://abcdefgh/",
                                                    "--parent-window=0"};
constexpr char eventKey[] = "websiteTrackingLatestBrowserEvent";

std::string lengthPrefix(std::uint32_t length) {
    std::string prefix(sizeof length, '\0');
    std::memcpy(prefix.data(), &length, sizeof length);
    return prefix;
}

std::string trackingMessage(const std::string& messageID, const std::string& extraKeys = "") {
    return R"({"action":"trackActiveWebsite","messageID":")" + messageID +
           R"(","browser":"chromium","isActiveTab":true,"isWindowFocused":false,)"
           R"("occurredAt":1700000000123)" +
           extraKeys + "}";
}

std::string policy(bool isEnforcing) {
    return std::string(R"({"blockedDomains":["example.com"],"enforcementEnabled":)") +
           (isEnforcing ? "true" : "false") + R"(,"policyVersion":3,"updatedAt":700000000.5})";
}

struct Exchange : support::ChildProcessResult {
    std::vector<Value> replies;
};

class TovrinHelperSafariWebExtensionTest : public support::ToolTest {
  protected:
    void publishPolicy(const std::string& json) {
        ASSERT_TRUE(
            suite()->store("contentFilterPolicyBlob", base::Data(json.begin(), json.end())));
    }
    // The stored event, checked not to be text; nothing when the key is absent.
    std::optional<Value> storedEvent() {
        auto reader = suite();
        EXPECT_NE(reader->kindForKey(eventKey), std::optional(platform::StoredKind::string));
        const auto data = reader->dataForKey(eventKey);
        return data ? std::optional(parsedJSON(std::string(data->begin(), data->end())))
                    : std::nullopt;
    }

    // Runs the handler on `input` and checks that its standard output is nothing but frames.
    Exchange exchangeFrames(const std::string& input,
                            const std::vector<std::string>& arguments = chromiumArguments) {
        const auto result = run("TovrinHelperSafariWebExtension", arguments, input);
        Exchange exchange{result, {}};
        std::string_view output = result.standardOutput;
        for (std::uint32_t length = 0; output.size() >= sizeof length;) {
            std::memcpy(&length, output.data(), sizeof length);
            if (output.size() - sizeof length < length) {
                break;
            }
            exchange.replies.push_back(
                parsedJSON(std::string(output.substr(sizeof length, length))));
            output.remove_prefix(sizeof length + length);
        }
        EXPECT_TRUE(output.empty()) << "standard output holds more than whole frames";
        return exchange;
    }

    Exchange exchange(const std::vector<std::string>& messages) {
        std::string input;
        for (const auto& message : messages) {
            input += lengthPrefix(static_cast<std::uint32_t>(message.size())) + message;
        }
        return exchangeFrames(input);
    }
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
        ASSERT_EQ(result.replies.size(), 1u);
        EXPECT_EQ(result.replies[0],
                  Value(base::Dictionary{{"ok", true},
                                         {"blocked", testCase.isBlocked},
                                         {"matchedDomain", testCase.matchedDomain}}));
        EXPECT_FALSE(storedEvent()) << "a blocking-state question stores nothing";
    }
}

// Each event replaces the last whole, leaving out what it lacks.
TEST_F(TovrinHelperSafariWebExtensionTest, TrackingStoresTheEventAndAnswersWithItsSite) {
    publishPolicy(policy(true));
    const double before = base::Date::now().timeIntervalSinceReferenceDate;
    const auto result = exchange({trackingMessage(
        "m-1",
        R"(,"tabID":7,"windowID":-2,"url":"https://WWW.Example.com:444/a","host":"b.org","title":"T")")});
    const double after = base::Date::now().timeIntervalSinceReferenceDate;
    ASSERT_EQ(result.replies.size(), 1u);
    EXPECT_EQ(result.replies[0], parsedJSON(R"({"ok":true,"messageID":"m-1","host":"example.com",)"
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
              parsedJSON(R"({"messageID":"m-1","browser":"chromium","tabID":7,"windowID":-2,)"
                         R"("url":"https://WWW.Example.com:444/a","host":"example.com",)"
                         R"("isActiveTab":true,"isWindowFocused":false})"));

    const std::pair<std::string, std::optional<std::string>> nextEvents[] = {
        {R"(,"tabID":null,"url":null,"host":"Example.ORG")", "example.org"},
        {R"(,"host":".")", ""},
        {"", std::nullopt},
    };
    for (const auto& [extraKeys, host] : nextEvents) {
        SCOPED_TRACE(extraKeys);
        ASSERT_EQ(exchange({trackingMessage("next", extraKeys)}).replies.size(), 1u);
        event = storedEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(*event->find("messageID"), Value("next"));
        for (const char* key : {"tabID", "windowID", "url"}) {
            EXPECT_EQ(event->find(key), nullptr) << key;
        }
        EXPECT_EQ(event->find("host") ? std::optional(*event->find("host")->text()) : std::nullopt,
                  host);
    }
    // An unrecognised action with complete tracking keys is tracked too.
    const std::string ping = trackingMessage("ping");
    EXPECT_EQ(
        *exchange({R"({"action":"ping")" + ping.substr(ping.find(','))}).replies.at(0).find("ok"),
        Value(true));
    EXPECT_EQ(*storedEvent()->find("messageID"), Value("ping"));
}

// Each failure answers in turn and the next message is still read; a suite that cannot be
// opened fails tracking only.
TEST_F(TovrinHelperSafariWebExtensionTest, EveryFailureAnswersWithItsText) {
    const std::string missing = "Safari did not include a native message payload.";
    const std::string malformed = "Safari sent a malformed native message payload.";
    const std::pair<std::string, std::string> cases[] = {
        {"{\"action\":", missing},
        {R"({"action":"GetWebsiteBlockingState","host":"example.com"})", malformed},
        {R"({"messageID":"m","browser":"b","isActiveTab":1,"isWindowFocused":true,"occurredAt":1})",
         malformed},
        // The decoder's descriptions name the key.
        {R"({"action":"getWebsiteBlockingState","url":5})", "\"url\""},
        {trackingMessage("m", R"(,"tabID":1.5)"), "\"tabID\""},
    };
    std::vector<std::string> messages;
    for (const auto& testCase : cases) {
        messages.push_back(testCase.first);
    }
    messages.push_back(trackingMessage(std::string(1024 * 1024, 'x')));
    const auto result = exchange(messages);
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_EQ(result.replies.size(), std::size(cases) + 1);
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        SCOPED_TRACE(cases[index].first);
        ASSERT_EQ(result.replies[index].dictionary()->size(), 2u);
        EXPECT_EQ(*result.replies[index].find("ok"), Value(false));
        const std::string& error = *result.replies[index].find("error")->text();
        EXPECT_TRUE(
            error == cases[index].second ||
            (cases[index].second[0] == '"' && error.find(cases[index].second) != std::string::npos))
            << error;
    }
    // A reply over the browser's limit becomes a failure reply; the event is stored.
    EXPECT_NE(result.replies.back().find("error")->text()->find("limit of 1048576 bytes"),
              std::string::npos);

    std::ofstream(folder + "/file") << "x";
    root = folder + "/file/app-groups";
    const auto unavailable = exchange({trackingMessage("m", R"(,"host":"example.com")"),
                                       R"({"action":"getWebsiteBlockingState","host":"a.com"})"});
    ASSERT_EQ(unavailable.replies.size(), 2u);
    EXPECT_EQ(unavailable.replies[0],
              parsedJSON(R"({"ok":false,"error":"The shared app group is unavailable for Safari )"
                         R"(website tracking."})"));
    EXPECT_EQ(unavailable.replies[1],
              parsedJSON(R"({"ok":true,"blocked":false,"matchedDomain":""})"));
}

TEST_F(TovrinHelperSafariWebExtensionTest, FramingEndsTheProcessAsTheInputDoes) {
    const std::string message = R"({"action":"getWebsiteBlockingState","host":"a.b"})";
    const std::string question = lengthPrefix(message.size()) + message;
    struct Case {
        std::string input;
        int exitStatus;
        std::size_t replyCount;
        const char* error;  // on standard error, which is otherwise empty
        std::vector<std::string> arguments = chromiumArguments;
    } cases[] = {
        {"", 0, 0, nullptr},
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
        EXPECT_NE(result.standardError.find(testCase.error ? testCase.error : ""),
                  std::string::npos);
        EXPECT_EQ(result.standardError.empty(), testCase.error == nullptr) << result.standardError;
    }
}

}  // namespace

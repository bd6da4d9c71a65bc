// The extension's handler: in process, through the blob lookup, and as the deliverable a browser
// starts, driven with real frames over pipes on a suite in a private root.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../tools/ToolTest.h"
#include "base/log/Log.h"
#include "base/value/Date.h"
#include "fakes/FakeUserDefaults.h"
#include "platform/extension-runtime/stdio/NativeMessagingHost.h"
#include "safari-extension/BlockingStateLookup.h"
#include "safari-extension/SafariWebExtensionHandler.h"
#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace {

const std::string missing = "Safari did not include a native message payload.";
const std::string malformed = "Safari sent a malformed native message payload.";

using base::Dictionary;
using base::Value;
using platform::extension::NSExtensionContext;
using platform::extension::NSExtensionItem;
using platform::extension::NSObject;
using platform::extension::SFExtensionMessageKey;

using InputItems = std::vector<std::shared_ptr<const NSObject>>;

std::shared_ptr<NSExtensionItem> itemWithMessage(Value message) {
    auto item = std::make_shared<NSExtensionItem>();
    item->userInfo = Dictionary{{SFExtensionMessageKey, std::move(message)}};
    return item;
}

// What only an in-process caller can send: items the stdio runtime never builds and values that
// JSON cannot carry. The black-box test covers everything a browser can send.
class SafariWebExtensionHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override { base::setLogOutputToStandardError(false); }
    void TearDown() override { base::setLogOutputToStandardError(true); }

    // Sends one request to a new handler; the reply entry of its one answer.
    Value send(InputItems items) {
        std::vector<std::vector<NSExtensionItem>> answers;
        NSExtensionContext context(std::move(items), [&](std::vector<NSExtensionItem> returned) {
            answers.push_back(std::move(returned));
        });
        safari::SafariWebExtensionHandler(store.opener()).beginRequest(context);
        if (answers.size() != 1 || answers[0].size() != 1 || !answers[0][0].userInfo ||
            answers[0][0].userInfo->size() != 1) {
            ADD_FAILURE() << "expected exactly one answer of one item with one entry";
            return Value();
        }
        return (*answers[0][0].userInfo)[0].value;
    }
    Value send(Value message) { return send(InputItems{itemWithMessage(std::move(message))}); }

    fakes::FakeUserDefaultsStore store;
};

TEST_F(SafariWebExtensionHandlerTest, FailuresAnswerOnceWithTheirText) {
    auto withoutMessage = std::make_shared<NSExtensionItem>();
    withoutMessage->userInfo = Dictionary{{"other", Dictionary{}}, {Value(1), "not a text key"}};
    struct Case {
        const char* name;
        InputItems items;
        std::string error;
    } cases[] = {
        {"no input items", {}, missing},
        {"first item of another class",
         {std::make_shared<NSObject>(), itemWithMessage(Dictionary{})},
         missing},
        {"no message entry; the second item is not looked at",
         {withoutMessage, itemWithMessage(Dictionary{{"action", "getWebsiteBlockingState"}})},
         missing},
        {"data", {itemWithMessage(base::Data{0x7B, 0x7D})}, malformed},
    };
    for (auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(send(std::move(testCase.items)),
                  Value(Dictionary{{"ok", false}, {"error", testCase.error}}));
    }
}

// Does what `answer` does with the request.
template <auto answer>
struct ScriptedHandler : platform::extension::NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override { answer(context); }
};
template <auto answer>
const auto scripted = platform::extension::NSExtensionPrincipalClass::of<ScriptedHandler<answer>>();

// A handler's faults become failure replies; how a well-behaved answer is written is the process
// test's concern.
TEST(NativeMessagingHostTest, RepliesWithTheAnswerOrAFailureReply) {
    base::setLogOutputToStandardError(false);
    struct Case {
        platform::extension::NSExtensionPrincipalClass principalClass;
        std::string message;
        std::string reply;
    } cases[] = {
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({*itemWithMessage(Dictionary{{"answer", 1}})});
             context.completeRequest({*itemWithMessage(Dictionary{{"answer", 2}})});
         }>,
         "{}", R"({"answer":1})"},
        {scripted<[](NSExtensionContext&) {}>, "{}",
         R"({"ok":false,"error":"The extension did not answer the native message."})"},
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({*itemWithMessage(base::Data{1, 2})});
         }>,
         "{}",
         R"({"ok":false,"error":"The extension's reply cannot be sent: The object cannot be )"
         R"(written as JSON: the top level is neither an array nor a dictionary"})"},
        {scripted<[](NSExtensionContext&) { throw std::runtime_error("boom"); }>, "{}",
         R"({"ok":false,"error":"The extension failed handling the native message: boom"})"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.message);
        const auto reply = platform::extension::NativeMessagingHost(testCase.principalClass)
                               .replyToMessage(std::span(
                                   reinterpret_cast<const std::uint8_t*>(testCase.message.data()),
                                   testCase.message.size()));
        EXPECT_EQ(std::string(reply.begin(), reply.end()), testCase.reply);
    }
    base::setLogOutputToStandardError(true);
}

TEST(BlockingStateLookupTest, WalkingTheBlobFindsTheFirstCoveringEntry) {
    const std::string fields = R"("enforcementEnabled":true,"policyVersion":3,"updatedAt":1.5)";
    struct Case {
        std::string blob;
        std::string siteHost;
        std::optional<std::string> matched;
    } cases[] = {
        {"{\"blockedDomains\":[\"a.test\",\"news.test\"]," + fields + "}", "www2.news.test",
         "news.test"},
        // Entries that need normalising, escaped text, the first of two covering entries.
        {"{\"blockedDomains\":[\" WWW.News.Test:443 \",\"news.test\"]," + fields + "}", "news.test",
         "news.test"},
        {"{\"blockedDomains\":[\"...\",\"\",\"b.test\"]," + fields + "}", "b.test", "b.test"},
        // "configuredDomains" replaces the list, even empty; null does not.
        {"{\"blockedDomains\":[\"a.test\"],\"configuredDomains\":[\"b.test\"]," + fields + "}",
         "a.test", std::nullopt},
        // Faults anywhere, even past the match, block nothing.
        {"{\"blockedDomains\":[\"a.test\",1]," + fields + "}", "a.test", std::nullopt},
        {"{\"blockedDomains\":[\"a.test\"],\"configuredDomains\":[\"a.test\",null]," + fields + "}",
         "a.test", std::nullopt},
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":true,"policyVersion":1.5,"updatedAt":1})",
         "a.test", std::nullopt},
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":true,"policyVersion":1})", "a.test",
         std::nullopt},
        {"{\"blockedDomains\":[\"a.test\"]," + fields + "} x", "a.test", std::nullopt},
        // Observed only: the match is named, nothing is blocked.
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":false,"policyVersion":1,"updatedAt":0})",
         "x.a.test", "a.test"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.blob + " / " + testCase.siteHost);
        const auto walked = safari::blockingStateInBlob(
            std::span(reinterpret_cast<const std::uint8_t*>(testCase.blob.data()),
                      testCase.blob.size()),
            testCase.siteHost);
        EXPECT_EQ(walked.matchedDomain, testCase.matched);
        EXPECT_EQ(walked.isBlocked,
                  testCase.matched &&
                      testCase.blob.find("\"enforcementEnabled\":true") != std::string::npos);
    }
}

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

const std::string blockingPolicy = R"({"blockedDomains":["example.com"],"enforcementEnabled":true,)"
                                   R"("policyVersion":3,"updatedAt":700000000.5})";

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
    struct Case {
        std::optional<std::string> policy;
        std::string site;
        const char* matchedDomain;
        bool isBlocked;
    } cases[] = {
        // The URL wins over "host"; a URL without a host gives way to it.
        {blockingPolicy, R"("url":"https://www.example.com/results?q=a|b {c}","host":"b.org")",
         "example.com", true},
        {blockingPolicy, R"("url":"http:///example.com","host":"b.org")", "", false},
        {blockingPolicy, R"("url":"https://www./","host":"example.com")", "", false},
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
    publishPolicy(blockingPolicy);
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

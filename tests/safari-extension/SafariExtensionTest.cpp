// The extension's handler: in process, through the blob lookup, and as the deliverable a browser
// starts, driven with real frames over a pipe on a suite in a private root.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
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
using support::parsedJSON;
using InputItems = std::vector<std::shared_ptr<const NSObject>>;
using Replies = std::vector<Value>;

std::shared_ptr<NSExtensionItem> itemWithMessage(Value message) {
    auto item = std::make_shared<NSExtensionItem>();
    item->userInfo = Dictionary{{SFExtensionMessageKey, std::move(message)}};
    return item;
}

Value failure(const std::string& error) {
    return Dictionary{{"ok", false}, {"error", error}};
}

// What only an in-process caller can send: items the stdio runtime never builds and values that
// JSON cannot carry. The process tests cover what a browser can send.
TEST(SafariWebExtensionHandlerTest, FailuresAnswerOnceWithTheirText) {
    base::setLogOutputToStandardError(false);
    const std::pair<InputItems, std::string> cases[] = {
        {{}, missing},
        {{std::make_shared<NSObject>(), itemWithMessage(Dictionary{})}, missing},
        {{itemWithMessage(base::Data{0x7B, 0x7D})}, malformed},
    };
    fakes::FakeUserDefaultsStore store;
    for (const auto& [items, error] : cases) {
        SCOPED_TRACE(error);
        Replies answers;  // one for each item of every answer
        NSExtensionContext context(items, [&](std::vector<NSExtensionItem> returned) {
            for (const auto& item : returned) {
                answers.push_back(item.userInfo ? Value(*item.userInfo) : Value());
            }
        });
        safari::SafariWebExtensionHandler(store.opener()).beginRequest(context);
        EXPECT_EQ(answers, (Replies{Dictionary{{SFExtensionMessageKey, failure(error)}}}));
    }
}

// Does what `answer` does with the request.
template <auto answer>
struct ScriptedHandler : platform::extension::NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override { answer(context); }
};
template <auto answer>
const auto scripted = platform::extension::NSExtensionPrincipalClass::of<ScriptedHandler<answer>>();

// The runtime answers every message exactly once, whatever the handler does.
TEST(NativeMessagingHostTest, AHandlersFaultsBecomeOneFailureReply) {
    base::setLogOutputToStandardError(false);
    const std::pair<platform::extension::NSExtensionPrincipalClass, std::string> cases[] = {
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({*itemWithMessage(Dictionary{{"answer", 1}})});
             context.completeRequest({*itemWithMessage(Dictionary{{"answer", 2}})});
         }>,
         R"({"answer":1})"},
        {scripted<[](NSExtensionContext&) {}>,
         R"({"ok":false,"error":"The extension did not answer the native message."})"},
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({*itemWithMessage(base::Data{1, 2})});
         }>,
         R"({"ok":false,"error":"The extension's reply cannot be sent: The object cannot be )"
         R"(written as JSON: the top level is neither an array nor a dictionary"})"},
        {scripted<[](NSExtensionContext&) { throw std::runtime_error("boom"); }>,
         R"({"ok":false,"error":"The extension failed handling the native message: boom"})"},
    };
    const std::uint8_t message[] = {'{', '}'};
    for (const auto& [principalClass, expected] : cases) {
        const auto reply =
            platform::extension::NativeMessagingHost(principalClass).replyToMessage(message);
        EXPECT_EQ(std::string(reply.begin(), reply.end()), expected);
    }
}

// A blob enforcing policy version 3 with `keys` besides.
std::string blobWith(const std::string& keys) {
    return "{" + keys + R"(,"enforcementEnabled":true,"policyVersion":3,"updatedAt":1.5})";
}

TEST(BlockingStateLookupTest, WalkingTheBlobFindsTheFirstCoveringEntry) {
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        // An entry that needs normalising; entries that normalise to nothing; the first of two
        // covering entries.
        {blobWith(R"("blockedDomains":[" WWW.News.Test:443 ","b.test"])"), "a.news.test",
         "news.test"},
        {blobWith(R"("blockedDomains":["...","","b.test","a.b.test"])"), "x.a.b.test", "b.test"},
        // "configuredDomains" replaces the list.
        {blobWith(R"("blockedDomains":["a.test"],"configuredDomains":["b.test"])"), "a.test", {}},
        // Faults anywhere, even past the match, block nothing.
        {blobWith(R"("blockedDomains":["a.test",1])"), "a.test", {}},
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":true,"policyVersion":1.5,"updatedAt":1})",
         "a.test",
         {}},
        {blobWith(R"("blockedDomains":["a.test"])") + " x", "a.test", {}},
        // Observed only: the match is named, nothing is blocked.
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":false,"policyVersion":1,"updatedAt":0})",
         "x.a.test", "a.test"},
    };
    for (const auto& [blob, siteHost, matched] : cases) {
        SCOPED_TRACE(blob + " / " + siteHost);
        const auto walked = safari::blockingStateInBlob(
            std::span(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()), siteHost);
        EXPECT_EQ(walked.matchedDomain, matched);
        EXPECT_EQ(walked.isBlocked,
                  matched && blob.find("\"enforcementEnabled\":true") != std::string::npos);
    }
}

std::string lengthPrefix(std::uint32_t length) {
    std::string prefix(sizeof length, '\0');
    std::memcpy(prefix.data(), &length, sizeof length);
    return prefix;
}

std::string framed(const std::string& message) {
    return lengthPrefix(message.size()) + message;
}

std::string trackingMessage(const std::string& messageID, const std::string& extraKeys = "") {
    return R"({"action":"trackActiveWebsite","messageID":")" + messageID +
           R"(","browser":"chromium","isActiveTab":true,"isWindowFocused":false,)"
           R"("occurredAt":1700000000123)" +
           extraKeys + "}";
}

const std::vector<std::string> chromiumArguments = {"chrome-extension://abcdefgh/",
                                                    "--parent-window=0"};
constexpr char eventKey[] = "websiteTrackingLatestBrowserEvent";

struct Exchange : support::ChildProcessResult {
    Replies replies;
};

class TovrinHelperSafariWebExtensionTest : public support::ToolTest {
  protected:
    void SetUp() override {
        storeText("contentFilterPolicyBlob", blobWith(R"("blockedDomains":["example.com"])"));
    }

    // The stored event (data, not text), without the times, which go to `times`.
    Value storedEvent(std::map<std::string, double>& times) {
        EXPECT_EQ(suite()->kindForKey(eventKey), std::optional(platform::StoredKind::data));
        const auto data = suite()->dataForKey(eventKey).value_or(base::Data{});
        const Value event = parsedJSON(std::string(data.begin(), data.end()));
        Dictionary fields = event.dictionary() ? *event.dictionary() : Dictionary{};
        std::erase_if(fields, [&](const auto& entry) {
            const std::string* key = entry.key.text();
            const bool isTime = key && (*key == "receivedAt" || *key == "occurredAt");
            if (isTime) {
                times[*key] = entry.value.real().value_or(0);
            }
            return isTime;
        });
        return fields;
    }

    // Runs the handler on `input` and checks that its standard output is nothing but frames.
    Exchange exchange(const std::string& input,
                      const std::vector<std::string>& arguments = chromiumArguments) {
        Exchange exchange{run("TovrinHelperSafariWebExtension", arguments, input), {}};
        std::string_view output = exchange.standardOutput;
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
};

// Each message is answered in turn, a failure with its text, and the next message is still read.
TEST_F(TovrinHelperSafariWebExtensionTest, AnswersEveryMessageInTurn) {
    const std::string question = R"({"action":"getWebsiteBlockingState",)";
    const Value notBlocked = parsedJSON(R"({"ok":true,"blocked":false,"matchedDomain":""})");
    const std::pair<std::string, Value> cases[] = {
        // The URL wins over "host"; a URL without a host gives way to it.
        {question + R"("url":"https://www.example.com/results?q=a|b {c}","host":"b.org"})",
         parsedJSON(R"({"ok":true,"blocked":true,"matchedDomain":"example.com"})")},
        {question + R"("url":"http:///example.com","host":"b.org"})", notBlocked},
        {question + R"("url":"https://www./","host":"example.com"})", notBlocked},
        {"{\"action\":", failure(missing)},
        {R"({"action":"GetWebsiteBlockingState","host":"example.com"})", failure(malformed)},
        {R"({"messageID":"m","browser":"b","isActiveTab":1,"isWindowFocused":true,"occurredAt":1})",
         failure(malformed)},
        {question + R"("url":5})", failure(R"("url": expected a string, found 5)")},
        {trackingMessage("m", R"(,"tabID":1.5)"),
         failure(R"("tabID": expected a 64-bit integer, found 1.5)")},
    };
    std::string input;
    Replies expected;
    for (const auto& [message, reply] : cases) {
        input += framed(message);
        expected.push_back(reply);
    }
    auto result = exchange(input + framed(trackingMessage(std::string(1024 * 1024, 'x'))));
    ASSERT_EQ(result.replies.size(), expected.size() + 1);
    // A reply over the browser's limit becomes a failure reply.
    EXPECT_NE(result.replies.back().find("error")->text()->find("limit of 1048576 bytes"),
              std::string::npos);
    result.replies.pop_back();
    EXPECT_EQ(result.replies, expected);
}

// Each event replaces the last whole, leaving out what it lacks; an unrecognised action with
// complete tracking keys is tracked too.
TEST_F(TovrinHelperSafariWebExtensionTest, TrackingStoresTheEventAndAnswersWithItsSite) {
    const double before = base::Date::now().timeIntervalSinceReferenceDate;
    EXPECT_EQ(exchange(framed(trackingMessage("m-1", R"(,"tabID":7,"windowID":-2,)"
                                                     R"("url":"https://WWW.Example.com:444/a",)"
                                                     R"("host":"b.org","title":"T")")))
                  .replies,
              Replies{parsedJSON(R"({"ok":true,"messageID":"m-1","host":"example.com",)"
                                 R"("blocked":true,"matchedDomain":"example.com"})")});
    const double after = base::Date::now().timeIntervalSinceReferenceDate;
    std::map<std::string, double> times;
    EXPECT_EQ(storedEvent(times),
              parsedJSON(R"({"messageID":"m-1","browser":"chromium","tabID":7,"windowID":-2,)"
                         R"("url":"https://WWW.Example.com:444/a","host":"example.com",)"
                         R"("isActiveTab":true,"isWindowFocused":false})"));
    EXPECT_GE(times["receivedAt"], before - 0.001);
    EXPECT_LE(times["receivedAt"], after + 0.001);
    EXPECT_DOUBLE_EQ(times["occurredAt"], 1700000000.123 - 978307200);

    const std::string ping = trackingMessage("ping", R"(,"tabID":null,"url":null)");
    EXPECT_EQ(exchange(framed(R"({"action":"ping")" + ping.substr(ping.find(',')))).replies,
              Replies{parsedJSON(R"({"ok":true,"messageID":"ping","host":"","blocked":false,)"
                                 R"("matchedDomain":""})")});
    EXPECT_EQ(storedEvent(times), parsedJSON(R"({"messageID":"ping","browser":"chromium",)"
                                             R"("isActiveTab":true,"isWindowFocused":false})"));
}

// A suite that cannot be opened fails tracking only.
TEST_F(TovrinHelperSafariWebExtensionTest, UnavailableSuiteFailsTrackingOnly) {
    std::ofstream(folder + "/file") << "x";
    root = folder + "/file/app-groups";
    const auto result = exchange(framed(trackingMessage("m", R"(,"host":"example.com")")) +
                                 framed(R"({"action":"getWebsiteBlockingState","host":"a.com"})"));
    EXPECT_EQ(result.replies,
              (Replies{failure("The shared app group is unavailable for Safari website tracking."),
                       parsedJSON(R"({"ok":true,"blocked":false,"matchedDomain":""})")}));
}

TEST_F(TovrinHelperSafariWebExtensionTest, FramingEndsTheProcessAsTheInputDoes) {
    const std::string question = framed(R"({"action":"getWebsiteBlockingState","host":"a.b"})");
    // Input, exit status, replies, and what standard error holds (otherwise nothing).
    const std::tuple<std::string, int, std::size_t, std::string> cases[] = {
        {"", 0, 0, ""},
        {question + question, 0, 2, ""},
        {question + lengthPrefix(9).substr(0, 2), 1, 1, "inside the length"},
        {question + lengthPrefix(100) + "{\"action\":", 1, 1,
         "inside a native message frame (10 of 100 bytes)"},
        {question + lengthPrefix(64 * 1024 * 1024 + 1), 1, 1,
         "exceeds the limit of 67108864 bytes"},
    };
    for (const auto& [input, exitStatus, replyCount, error] : cases) {
        SCOPED_TRACE(error);
        // As Firefox starts it: the manifest's path and the add-on's ID.
        const auto result = exchange(input, {"/home/u/.mozilla/host.json", "x@example.org"});
        EXPECT_EQ(result.exitStatus, exitStatus) << result.standardError;
        EXPECT_EQ(result.replies.size(), replyCount);
        EXPECT_NE(result.standardError.find(error), std::string::npos);
        EXPECT_EQ(result.standardError.empty(), error.empty()) << result.standardError;
    }
}

}  // namespace

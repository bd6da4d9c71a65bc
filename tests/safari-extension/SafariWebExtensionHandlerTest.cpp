#include "safari-extension/SafariWebExtensionHandler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/BuildConstants.h"
#include "fakes/FakeUserDefaults.h"
#include "platform/extension-runtime/NSExtensionItem.h"
#include "platform/extension-runtime/SFExtensionMessageKey.h"
#include "platform/log/Log.h"

namespace {

using platform::Dictionary;
using platform::Value;
using platform::extension::NSExtensionContext;
using platform::extension::NSExtensionItem;
using platform::extension::NSObject;
using platform::extension::SFExtensionMessageKey;

using InputItems = std::vector<std::shared_ptr<const NSObject>>;

std::shared_ptr<const NSObject> itemWithMessage(Value message) {
    auto item = std::make_shared<NSExtensionItem>();
    item->userInfo = Dictionary{{SFExtensionMessageKey, std::move(message)}};
    return item;
}

class SafariWebExtensionHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::setLogOutputToStandardError(false);
        store.install();
    }
    void TearDown() override {
        fakes::FakeUserDefaultsStore::uninstall();
        platform::setLogOutputToStandardError(true);
    }

    // Sends one request to a new handler; the reply entry of its one answer.
    Value send(InputItems items) {
        std::vector<std::vector<NSExtensionItem>> answers;
        NSExtensionContext context(std::move(items), [&](std::vector<NSExtensionItem> returned) {
            answers.push_back(std::move(returned));
        });
        safari::SafariWebExtensionHandler().beginRequest(context);
        EXPECT_EQ(answers.size(), 1u);
        if (answers.size() != 1 || answers[0].size() != 1 || !answers[0][0].userInfo) {
            ADD_FAILURE() << "expected exactly one answer of one item";
            return Value();
        }
        const Dictionary& userInfo = *answers[0][0].userInfo;
        EXPECT_EQ(userInfo.size(), 1u);
        return userInfo.empty() ? Value() : userInfo[0].value;
    }
    Value send(Value message) { return send(InputItems{itemWithMessage(std::move(message))}); }

    void publishPolicy(const std::string& json) { store.setData("contentFilterPolicyBlob", json); }

    fakes::FakeUserDefaultsStore store;
    platform::LogCapture log{common::extensionLogSubsystem, "NativeMessaging"};
};

Value failureReply(const char* description) {
    return Value(Dictionary{{"ok", false}, {"error", description}});
}

TEST_F(SafariWebExtensionHandlerTest, RequestWithoutMessageIsAnsweredOnceWithOneLogLine) {
    auto withoutUserInfo = std::make_shared<NSExtensionItem>();
    auto withoutMessage = std::make_shared<NSExtensionItem>();
    withoutMessage->userInfo = Dictionary{{"other", Dictionary{}}, {Value(1), "not a text key"}};
    struct Case {
        const char* name;
        InputItems items;
    } cases[] = {
        {"no input items", {}},
        {"first item of another class",
         {std::make_shared<NSObject>(), itemWithMessage(Dictionary{})}},
        {"no userInfo", {withoutUserInfo}},
        {"no message entry; the second item is not looked at",
         {withoutMessage, itemWithMessage(Dictionary{{"action", "getWebsiteBlockingState"}})}},
    };
    for (auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        log.clear();
        EXPECT_EQ(send(std::move(testCase.items)),
                  failureReply("Safari did not include a native message payload."));
        const auto records = log.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, platform::LogLevel::error);
        EXPECT_EQ(records[0].message,
                  "Failed handling Safari native message: Safari did not include a native message "
                  "payload.");
    }
}

TEST_F(SafariWebExtensionHandlerTest, MessageWithoutJSONFormIsMalformed) {
    const Value cases[] = {
        Value("getWebsiteBlockingState"),
        Value(),
        Value(platform::Data{0x7B, 0x7D}),
        Value(Dictionary{{"action", "trackActiveWebsite"},
                         {"occurredAt", std::numeric_limits<double>::quiet_NaN()}}),
        Value(Dictionary{{Value(1), "getWebsiteBlockingState"}}),
        Value(Dictionary{{"action", "getWebsiteBlockingState"}, {"host", "\xC3"}}),
        Value(Dictionary{{"occurredAt", platform::Date{}}}),
    };
    for (const auto& message : cases) {
        SCOPED_TRACE(static_cast<int>(message.kind()));
        log.clear();
        EXPECT_EQ(send(message), failureReply("Safari sent a malformed native message payload."));
        EXPECT_EQ(log.records().size(), 1u);
    }
}

TEST_F(SafariWebExtensionHandlerTest, ResolvesTheHostAgainstNormalisedEntriesInListOrder) {
    publishPolicy(
        R"({"blockedDomains":["www.",":"," WWW.Example.COM. ","ads.example.com","other.org"],)"
        R"("enforcementEnabled":true,"policyVersion":1,"updatedAt":0})");
    struct Case {
        const char* name;
        Dictionary message;
        bool isBlocked;
        const char* matchedDomain;
    } cases[] = {
        {"first entry in list order", {{"host", "ads.example.com"}}, true, "example.com"},
        {"URL host with port and path",
         {{"url", "https://WWW.Example.com:444/path"}},
         true,
         "example.com"},
        {"host text trimmed and folded", {{"host", " Example.COM "}}, true, "example.com"},
        {"URL without a host falls back",
         {{"url", "example.com/path"}, {"host", "other.org"}},
         true,
         "other.org"},
        {"URL without a host and no host", {{"url", "example.com/path"}}, false, ""},
        {"URL host normalising to nothing does not fall back",
         {{"url", "https://www./"}, {"host", "example.com"}},
         false,
         ""},
        {"empty host text", {{"host", ""}}, false, ""},
        {"empty entries never match", {{"host", "www."}}, false, ""},
        {"suffix without a dot", {{"host", "xother.org"}}, false, ""},
    };
    for (auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        testCase.message.push_back({"action", "getWebsiteBlockingState"});
        EXPECT_EQ(send(Value(testCase.message)),
                  Value(Dictionary{{"ok", true},
                                   {"blocked", testCase.isBlocked},
                                   {"matchedDomain", testCase.matchedDomain}}));
    }
    EXPECT_TRUE(log.records().empty()) << "success logs nothing";
}

TEST_F(SafariWebExtensionHandlerTest, OpensTheSuiteForEveryUseAndNeverFlushes) {
    const Dictionary question{{"action", "getWebsiteBlockingState"}, {"host", "example.com"}};
    publishPolicy(
        R"({"blockedDomains":["example.com"],"enforcementEnabled":true,"policyVersion":1,"updatedAt":0})");
    EXPECT_EQ(*send(Value(question)).find("blocked"), Value(true));
    // A policy published between two requests is the one the second request sees.
    publishPolicy(
        R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":2,"updatedAt":0})");
    EXPECT_EQ(*send(Value(question)).find("blocked"), Value(false));
    EXPECT_EQ(store.openCount(), 2);

    // An unrecognised action with complete tracking keys is tracked.
    const Value tracked = send(Value(Dictionary{{"action", "ping"},
                                                {"messageID", "m"},
                                                {"browser", "b"},
                                                {"isActiveTab", false},
                                                {"isWindowFocused", true},
                                                {"occurredAt", 0}}));
    EXPECT_EQ(tracked, Value(Dictionary{{"ok", true},
                                        {"messageID", "m"},
                                        {"host", ""},
                                        {"blocked", false},
                                        {"matchedDomain", ""}}));
    EXPECT_EQ(store.openCount(), 4) << "once to store the event, once to read the policy";
    EXPECT_EQ(store.synchronizeCount(), 0);
    const auto stored = store.data("websiteTrackingLatestBrowserEvent");
    ASSERT_TRUE(stored);
    const auto event = safari::StoredBrowserEvent::decode(*stored);
    ASSERT_TRUE(event);
    EXPECT_DOUBLE_EQ(event->occurredAt.timeIntervalSinceReferenceDate, -978307200.0);
}

TEST_F(SafariWebExtensionHandlerTest, TrackingWithoutTheSuiteWritesNothing) {
    store.install(false);
    EXPECT_EQ(send(Value(Dictionary{{"messageID", "m"},
                                    {"browser", "b"},
                                    {"isActiveTab", true},
                                    {"isWindowFocused", true},
                                    {"occurredAt", 1.5}})),
              failureReply("The shared app group is unavailable for Safari website tracking."));
    EXPECT_FALSE(store.contains("websiteTrackingLatestBrowserEvent"));
    EXPECT_EQ(log.records().size(), 1u);
}

}  // namespace

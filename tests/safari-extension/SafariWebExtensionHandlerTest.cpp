#include "safari-extension/SafariWebExtensionHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/log/Log.h"
#include "common/BuildConstants.h"
#include "fakes/FakeUserDefaults.h"
#include "platform/extension-runtime/stdio/NativeMessagingHost.h"
#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace {

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
    base::LogCapture log{common::extensionLogSubsystem, "NativeMessaging"};
};

TEST_F(SafariWebExtensionHandlerTest, FailuresAnswerOnceWithOneErrorLine) {
    const std::string missing = "Safari did not include a native message payload.";
    const std::string malformed = "Safari sent a malformed native message payload.";
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
        log.clear();
        EXPECT_EQ(send(std::move(testCase.items)),
                  Value(Dictionary{{"ok", false}, {"error", testCase.error}}));
        const auto records = log.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, base::LogLevel::error);
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

}  // namespace

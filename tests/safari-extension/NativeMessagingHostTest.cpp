#include "platform/extension-runtime/stdio/NativeMessagingHost.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/extension-runtime/SFExtensionMessageKey.h"

namespace {

using platform::Dictionary;
using platform::Value;
using platform::extension::NSExtensionContext;
using platform::extension::NSExtensionItem;
using platform::extension::NSExtensionPrincipalClass;
using platform::extension::NSExtensionRequestHandling;
using platform::extension::SFExtensionMessageKey;

NSExtensionItem replyItem(Value message) {
    NSExtensionItem item;
    item.userInfo = Dictionary{{SFExtensionMessageKey, std::move(message)}};
    return item;
}

// Answers with an array of the message it was given, empty when it was given none.
struct EchoingHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override {
        const auto* item = dynamic_cast<const NSExtensionItem*>(context.inputItems().at(0).get());
        platform::Array received;
        for (const auto& entry : *item->userInfo) {
            if (entry.key == Value(SFExtensionMessageKey)) {
                received.push_back(entry.value);
            }
        }
        context.completeRequest({replyItem(std::move(received))});
    }
};
struct SilentHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext&) override {}
};
struct TwiceAnsweringHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override {
        context.completeRequest({replyItem(Dictionary{{"answer", 1}})});
        context.completeRequest({replyItem(Dictionary{{"answer", 2}})});
    }
};
struct DataAnsweringHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override {
        context.completeRequest({replyItem(platform::Data{1, 2})});
    }
};
struct ThrowingHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext&) override { throw std::runtime_error("boom"); }
};

TEST(NativeMessagingHostTest, RepliesWithTheAnswerOrAFailureReply) {
    platform::setLogOutputToStandardError(false);
    const auto echoing = NSExtensionPrincipalClass::of<EchoingHandler>();
    struct Case {
        NSExtensionPrincipalClass principalClass;
        std::string message;
        std::string reply;
    } cases[] = {
        {echoing, R"({"b":[1,2.5,null],"a":"\u00e9"})", "[{\"b\":[1,2.5,null],\"a\":\"\u00e9\"}]"},
        {echoing, R"( "text" )", R"(["text"])"},
        {echoing, "null", "[null]"},
        // Bytes that are not JSON reach the extension as an item without a message entry.
        {echoing, "{", "[]"},
        {echoing, "\"\xFF\"", "[]"},
        {NSExtensionPrincipalClass::of<TwiceAnsweringHandler>(), "{}", R"({"answer":1})"},
        {NSExtensionPrincipalClass::of<SilentHandler>(), "{}",
         R"({"ok":false,"error":"The extension did not answer the native message."})"},
        {NSExtensionPrincipalClass::of<DataAnsweringHandler>(), "{}",
         R"({"ok":false,"error":"The extension's reply cannot be sent: The object cannot be )"
         R"(written as JSON: the top level is neither an array nor a dictionary"})"},
        {NSExtensionPrincipalClass::of<ThrowingHandler>(), "{}",
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
    platform::setLogOutputToStandardError(true);
}

}  // namespace

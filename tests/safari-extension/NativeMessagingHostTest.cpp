#include "platform/extension-runtime/stdio/NativeMessagingHost.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace {

using base::Dictionary;
using base::Value;
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
        base::Array received;
        for (const auto& entry : *item->userInfo) {
            if (entry.key == Value(SFExtensionMessageKey)) {
                received.push_back(entry.value);
            }
        }
        context.completeRequest({replyItem(std::move(received))});
    }
};
// Does what `answer` does with the request.
template <auto answer>
struct ScriptedHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override { answer(context); }
};
template <auto answer>
const auto scripted = NSExtensionPrincipalClass::of<ScriptedHandler<answer>>();

TEST(NativeMessagingHostTest, RepliesWithTheAnswerOrAFailureReply) {
    base::setLogOutputToStandardError(false);
    const auto echoing = NSExtensionPrincipalClass::of<EchoingHandler>();
    struct Case {
        NSExtensionPrincipalClass principalClass;
        std::string message;
        std::string reply;
    } cases[] = {
        {echoing, R"({"b":[1,2.5,null],"a":"\u00e9"})", "[{\"b\":[1,2.5,null],\"a\":\"\u00e9\"}]"},
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({replyItem(Dictionary{{"answer", 1}})});
             context.completeRequest({replyItem(Dictionary{{"answer", 2}})});
         }>,
         "{}", R"({"answer":1})"},
        {scripted<[](NSExtensionContext&) {}>, "{}",
         R"({"ok":false,"error":"The extension did not answer the native message."})"},
        {scripted<[](NSExtensionContext& context) {
             context.completeRequest({replyItem(base::Data{1, 2})});
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

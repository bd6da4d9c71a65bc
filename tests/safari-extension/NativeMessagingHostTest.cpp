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

// Does what `answer` does with the request.
template <auto answer>
struct ScriptedHandler : NSExtensionRequestHandling {
    void beginRequest(NSExtensionContext& context) override { answer(context); }
};
template <auto answer>
const auto scripted = NSExtensionPrincipalClass::of<ScriptedHandler<answer>>();

// A handler's faults become failure replies; how a well-behaved answer is written is the process
// test's concern.
TEST(NativeMessagingHostTest, RepliesWithTheAnswerOrAFailureReply) {
    base::setLogOutputToStandardError(false);
    struct Case {
        NSExtensionPrincipalClass principalClass;
        std::string message;
        std::string reply;
    } cases[] = {
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

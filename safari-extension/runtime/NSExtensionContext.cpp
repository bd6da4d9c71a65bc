#include "safari-extension/runtime/NSExtensionContext.h"

namespace platform::extension {

NSExtensionContext::NSExtensionContext(std::vector<std::shared_ptr<const NSObject>> inputItems,
                                       ReplyReceiver replyReceiver)
    : items(std::move(inputItems)), replyReceiver(std::move(replyReceiver)) {}

void NSExtensionContext::completeRequest(std::vector<NSExtensionItem> returningItems,
                                         CompletionHandler completionHandler) {
    if (replyReceiver) {
        replyReceiver(std::move(returningItems));
    }
    if (completionHandler) {
        completionHandler(false);
    }
}

}  // namespace platform::extension

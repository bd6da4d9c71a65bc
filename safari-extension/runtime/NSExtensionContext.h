#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/NSObject.h"

namespace platform::extension {

// The context of one request to an extension: the items the host sent and the way back for the
// answer. Made by the runtime (or a test) for each request.
class NSExtensionContext {
  public:
    // Receives every completeRequest call's items, in call order. Runtimes take the first call
    // as the answer.
    using ReplyReceiver = std::function<void(std::vector<NSExtensionItem> items)>;
    // Called with whether the request expired before it was answered.
    using CompletionHandler = std::function<void(bool expired)>;

    NSExtensionContext(std::vector<std::shared_ptr<const NSObject>> inputItems,
                       ReplyReceiver replyReceiver);

    // The items the host sent, in order. Each is an NSObject of some class, usually an
    // NSExtensionItem; none is null.
    const std::vector<std::shared_ptr<const NSObject>>& inputItems() const { return items; }

    // Hands `returningItems` back to the host as the answer to the request. An extension answers
    // each request once. `completionHandler`, when given, is called with false once the items
    // have been handed over. May be called on any thread.
    void completeRequest(std::vector<NSExtensionItem> returningItems,
                         CompletionHandler completionHandler = nullptr);

  private:
    std::vector<std::shared_ptr<const NSObject>> items;
    ReplyReceiver replyReceiver;
};

}  // namespace platform::extension

#pragma once

#include "safari-extension/runtime/NSExtensionContext.h"

namespace platform::extension {

// What an extension's principal class offers the runtime.
class NSExtensionRequestHandling {
  public:
    virtual ~NSExtensionRequestHandling() = default;

    // Handles one request. The extension answers through `context`'s completeRequest, now or
    // before it returns; the runtime's stand-in waits for nothing after the call returns. Must
    // not throw.
    virtual void beginRequest(NSExtensionContext& context) = 0;
};

}  // namespace platform::extension

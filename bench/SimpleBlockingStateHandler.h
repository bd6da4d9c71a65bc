#pragma once

#include "safari-extension/runtime/NSExtensionContext.h"
#include "safari-extension/runtime/NSExtensionRequestHandling.h"
#include "safari-extension/runtime/NSObject.h"

namespace bench {

// The browser handler's blocking-state answer the simple way, the yardstick for
// SafariWebExtensionHandler: it decodes the blob twice (the record, then the extra key), puts
// every entry through the full normalisation, and then walks the list. Answers only
// "getWebsiteBlockingState"; anything else gets {"ok": false}.
class SimpleBlockingStateHandler final : public platform::extension::NSObject,
                                         public platform::extension::NSExtensionRequestHandling {
  public:
    void beginRequest(platform::extension::NSExtensionContext& context) override;
};

}  // namespace bench

#pragma once

#include <optional>

#include "base/value/Value.h"
#include "safari-extension/runtime/NSObject.h"

namespace platform::extension {

// One item passed between the host and an extension: the request's input, or the reply.
class NSExtensionItem : public NSObject {
  public:
    // The item's dictionary, or nothing when the item carries none. Keys are usually texts, but
    // nothing guarantees it.
    std::optional<base::Dictionary> userInfo;
};

}  // namespace platform::extension

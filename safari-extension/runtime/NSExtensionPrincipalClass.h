#pragma once

#include <memory>

#include "safari-extension/runtime/NSExtensionRequestHandling.h"

namespace platform::extension {

// The class an extension names as its principal class: the runtime makes an object of it, with
// the no-argument constructor, for each request it serves.
struct NSExtensionPrincipalClass {
    std::unique_ptr<NSExtensionRequestHandling> (*makeObject)();

    template <typename PrincipalClass>
    static constexpr NSExtensionPrincipalClass of() {
        return {[]() -> std::unique_ptr<NSExtensionRequestHandling> {
            return std::make_unique<PrincipalClass>();
        }};
    }
};

// Each extension executable defines this once, naming its principal class, the way a bundle
// declares it:
//   const NSExtensionPrincipalClass extensionPrincipalClass =
//       NSExtensionPrincipalClass::of<MyHandler>();
extern const NSExtensionPrincipalClass extensionPrincipalClass;

}  // namespace platform::extension

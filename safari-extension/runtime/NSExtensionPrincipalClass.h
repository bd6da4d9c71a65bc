#pragma once

#include <functional>
#include <memory>

#include "safari-extension/runtime/NSExtensionRequestHandling.h"

namespace platform::extension {

// The class an extension names as its principal class: the runtime makes an object of it for
// each request it serves. The program's entry says how, with the services the object needs:
//   NSExtensionPrincipalClass::of<MyHandler>(openSuite)
struct NSExtensionPrincipalClass {
    std::function<std::unique_ptr<NSExtensionRequestHandling>()> makeObject;

    template <typename PrincipalClass, typename... Arguments>
    static NSExtensionPrincipalClass of(Arguments... arguments) {
        return {[arguments...]() -> std::unique_ptr<NSExtensionRequestHandling> {
            return std::make_unique<PrincipalClass>(arguments...);
        }};
    }
};

}  // namespace platform::extension

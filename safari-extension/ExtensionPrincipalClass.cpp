// The extension's declaration of its principal class, which the runtime's NSExtensionMain
// instantiates. The executable has no entry code of its own.

#include "safari-extension/SafariWebExtensionHandler.h"
#include "safari-extension/runtime/NSExtensionPrincipalClass.h"

namespace platform::extension {

const NSExtensionPrincipalClass extensionPrincipalClass =
    NSExtensionPrincipalClass::of<safari::SafariWebExtensionHandler>();

}  // namespace platform::extension

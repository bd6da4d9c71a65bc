// The extension's declaration of its principal class, which the runtime's NSExtensionMain
// instantiates. The executable has no entry code of its own.

#include "platform/extension-runtime/NSExtensionPrincipalClass.h"
#include "safari-extension/SafariWebExtensionHandler.h"

namespace platform::extension {

const NSExtensionPrincipalClass extensionPrincipalClass =
    NSExtensionPrincipalClass::of<safari::SafariWebExtensionHandler>();

}  // namespace platform::extension

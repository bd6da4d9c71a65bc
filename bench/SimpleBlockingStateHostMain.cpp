// simple-blocking-state-host: the stand-in runtime serving SimpleBlockingStateHandler, so that
// the simple approach can be started per message just as the real handler is.

#include "bench/SimpleBlockingStateHandler.h"
#include "safari-extension/runtime/NSExtensionPrincipalClass.h"

namespace platform::extension {

const NSExtensionPrincipalClass extensionPrincipalClass =
    NSExtensionPrincipalClass::of<bench::SimpleBlockingStateHandler>();

}  // namespace platform::extension

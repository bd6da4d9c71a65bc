// simple-blocking-state-host: the stand-in runtime serving SimpleBlockingStateHandler, so that
// the simple approach can be started per message just as the real handler is.

#include "bench/SimpleBlockingStateHandler.h"
#include "safari-extension/runtime/NSExtensionMain.h"

int main(int argumentCount, char** arguments) {
    using platform::extension::NSExtensionPrincipalClass;
    return platform::extension::NSExtensionMain(
        argumentCount, arguments,
        NSExtensionPrincipalClass::of<bench::SimpleBlockingStateHandler>());
}

#pragma once

#include <memory>

#include "filter/framework/NEFilterDataProvider.h"

namespace filter {

// The provider class the deliverable names as its principal class. Defined by the filter's
// logic; the framework calls it once to create the provider it hosts.
std::shared_ptr<NEFilterDataProvider> makePrincipalFilterDataProvider();

// Process-entry services of the framework.
struct NEProvider {
    // Switches the process into system-extension mode: the framework creates the principal
    // provider, attaches itself and starts it. Returns once serving has begun on the
    // framework's own threads.
    static void startSystemExtensionMode();
};

// Parks the calling (main) thread for the rest of the process; never returns.
[[noreturn]] void dispatch_main();

}  // namespace filter

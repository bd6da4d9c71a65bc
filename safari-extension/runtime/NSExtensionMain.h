#pragma once

namespace platform::extension {

// The entry of an extension process: installs the platform's services (the shared suites among
// them), then serves requests with objects of `extensionPrincipalClass` until the host goes away,
// and returns the process's exit status. Extension executables have no entry code of their own;
// the runtime's `main` calls this.
int NSExtensionMain(int argumentCount, char** arguments);

}  // namespace platform::extension

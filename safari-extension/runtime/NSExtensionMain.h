#pragma once

#include "safari-extension/runtime/NSExtensionPrincipalClass.h"

namespace platform::extension {

// The entry of an extension process: serves requests with objects of `principalClass` until the
// host goes away, and returns the process's exit status. Called by the program's `main`, which
// chooses the principal class and the services handed to it.
int NSExtensionMain(int argumentCount, char** arguments, NSExtensionPrincipalClass principalClass);

}  // namespace platform::extension

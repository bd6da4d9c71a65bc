// The browser extension's native half: the extension runtime's stand-in serves
// SafariWebExtensionHandler over standard input and output; the shared suite is kept in SQLite.

#include "platform/defaults/SQLiteUserDefaults.h"
#include "safari-extension/SafariWebExtensionHandler.h"
#include "safari-extension/runtime/NSExtensionMain.h"

int main(int argumentCount, char** arguments) {
    using platform::extension::NSExtensionPrincipalClass;
    return platform::extension::NSExtensionMain(
        argumentCount, arguments,
        NSExtensionPrincipalClass::of<safari::SafariWebExtensionHandler>(
            common::UserDefaultsOpener(platform::openSQLiteUserDefaults)));
}

// The content filter's process: system-extension mode on Linux (the netfilter stand-in) serving
// one FilterDataProvider, whose shared suite is kept in SQLite and written behind. Never returns.

#include <memory>

#include "base/log/LogOutput.h"
#include "filter/FilterDataProvider.h"
#include "platform/defaults/WriteBehindUserDefaults.h"
#include "platform/netfilter/SystemExtensionHost.h"

int main() {
    // Every flow logs; a slow reader of the log must not hold up packets. Static, so that the
    // process's exit writes what is left.
    static base::BackgroundLogOutput logOutput;
    platform::netfilter::SystemExtensionHost::start([] {
        // Diagnostics are written for every flow; their commits must not hold up packets. The
        // host's signal handling ends the process normally, which commits what is left.
        return std::make_shared<filter::FilterDataProvider>(platform::openWriteBehindUserDefaults);
    });
    platform::netfilter::SystemExtensionHost::parkUntilExit();
}

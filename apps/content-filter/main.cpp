// The content filter's process: system-extension mode on Linux (the netfilter stand-in) serving
// one FilterDataProvider, whose shared suite is kept in SQLite. Never returns.

#include <memory>

#include "filter/FilterDataProvider.h"
#include "platform/defaults/SQLiteUserDefaults.h"
#include "platform/netfilter/SystemExtensionHost.h"

int main() {
    platform::netfilter::SystemExtensionHost::start([] {
        return std::make_shared<filter::FilterDataProvider>(platform::openSQLiteUserDefaults);
    });
    platform::netfilter::SystemExtensionHost::parkUntilExit();
}

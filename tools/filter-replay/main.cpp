// filter-replay: hosts the filter's provider on a scripted framework. Reads one JSON event a line
// on standard input and writes one JSON line per result on standard output; the provider's log
// goes to standard error. The shared suite is the real one, under $APP_GROUP_CONTAINERS_ROOT.

#include <cstdio>
#include <iostream>
#include <memory>

#include "filter/FilterDataProvider.h"
#include "platform/defaults/WriteBehindUserDefaults.h"
#include "tools/filter-replay/ReplaySession.h"

int main() {
    // The suite as the filter's own program opens it.
    platform::flushSuitesOnTerminationSignals();
    return tools::runFilterReplay(
        std::cin, stdout,
        std::make_shared<filter::FilterDataProvider>(platform::openWriteBehindUserDefaults));
}

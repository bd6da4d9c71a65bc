#pragma once

#include <memory>
#include <string>

#include "base/value/Expected.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace tools {

// The folder of the suites: $APP_GROUP_CONTAINERS_ROOT when set; for root, the system's folder
// /var/lib/tovrin/app-groups, which the service and the sessions of the installed system use
// (sudo does not pass the variable on); for anyone else, platform::appGroupContainersRoot().
std::string sharedSuiteRoot();

// The shared suite appGroupIdentifier under sharedSuiteRoot(). With
// IfMissing::fail a suite that does not exist yet gives a null handle, not an error: nothing has
// been published or recorded in it. Fails, with the suite's name and the reason, when the suite
// cannot be opened or made.
base::Expected<std::shared_ptr<platform::SQLiteUserDefaults>> openSharedSuite(
    platform::IfMissing ifMissing);

}  // namespace tools

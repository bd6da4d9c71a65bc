#pragma once

#include <memory>

#include "base/value/Expected.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace tools {

// The shared suite appGroupIdentifier under platform::appGroupContainersRoot(). With
// IfMissing::fail a suite that does not exist yet gives a null handle, not an error: nothing has
// been published or recorded in it. Fails, with the suite's name and the reason, when the suite
// cannot be opened or made.
base::Expected<std::shared_ptr<platform::SQLiteUserDefaults>> openSharedSuite(
    platform::IfMissing ifMissing);

}  // namespace tools

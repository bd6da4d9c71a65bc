#pragma once

#include <string>

#include "base/value/Date.h"

namespace tools {

// How long before `now` the moment `then` was, in words a person reads at a glance: "just now"
// (under a second), "1 second ago", "5 minutes ago", "2 hours ago", "3 days ago", each counted in
// whole units of the largest one that fits. A moment after `now` (the clock was set back) is
// "in the future".
std::string elapsedText(base::Date then, base::Date now);

}  // namespace tools

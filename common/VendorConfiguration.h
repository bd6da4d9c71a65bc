#pragma once

#include "base/value/Date.h"
#include "base/value/Value.h"
#include "common/ContentFilterPolicy.h"

namespace common {

// The configuration form of the policy: the vendor dictionary of the filter's provider
// configuration, which the host application writes and the filter reads.

// The policy that the filter reads from the vendor dictionary `dictionary`: the strings of
// "blockedDomains" (none unless it is an array of strings only) normalised, empty ones dropped,
// deduplicated and sorted; "policyVersion" when an integer, else 0; "enforcementEnabled" when a
// Boolean, else false; `now` as the update time, since the dictionary carries none.
ContentFilterPolicy policyFromVendorConfiguration(const base::Value& dictionary, base::Date now);

// The vendor dictionary that hands `policy` to the filter.
base::Value vendorConfiguration(const ContentFilterPolicy& policy);

}  // namespace common

#pragma once

#include "common/ContentFilterPolicy.h"
#include "platform/value/Date.h"
#include "platform/value/Value.h"

namespace tools {

// The policy that the filter reads from the vendor dictionary `dictionary`: the strings of
// "blockedDomains" (none unless it is an array of strings only) normalised, empty ones dropped,
// deduplicated and sorted; "policyVersion" when an integer, else 0; "enforcementEnabled" when a
// Boolean, else false; `now` as the update time, since the dictionary carries none.
common::ContentFilterPolicy policyFromVendorConfiguration(const platform::Value& dictionary,
                                                          platform::Date now);

// The vendor dictionary that hands `policy` to the filter.
platform::Value vendorConfiguration(const common::ContentFilterPolicy& policy);

}  // namespace tools

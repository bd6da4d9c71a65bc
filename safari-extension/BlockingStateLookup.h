#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "safari-extension/BlockingState.h"

namespace safari {

// The state of the site whose normalised host is `siteHost` under the policy blob `blob`, as
// ConfiguredDomainsPolicy would give it: the first entry, in list order, of "configuredDomains"
// when present, else of "blockedDomains", whose normalised form is not empty and covers the host.
// A blob that ConfiguredDomainsPolicy::decode refuses blocks nothing. The lists are walked in
// the blob's text: no list is built and no entry is copied unless it needs normalising.
BlockingState blockingStateInBlob(std::span<const std::uint8_t> blob, std::string_view siteHost);

}  // namespace safari

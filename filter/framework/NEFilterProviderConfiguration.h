#pragma once

#include <memory>
#include <optional>

#include "base/value/Value.h"

namespace filter {

// The filter's provider configuration as the host application last saved it. Immutable: a
// reconfiguration replaces the whole object, so its identity tells whether anything changed.
struct NEFilterProviderConfiguration {
    // The vendor dictionary of property-list values, or nothing when none was given. When
    // present it is a dictionary value.
    std::optional<base::Value> vendorConfiguration;
};

}  // namespace filter

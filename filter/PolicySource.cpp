#include "filter/PolicySource.h"

#include <utility>

#include "common/VendorConfiguration.h"

namespace filter {

PolicySource::PolicySource(std::shared_ptr<common::UserDefaults> sharedDefaults)
    : blobCache(sharedDefaults ? std::make_unique<PolicyBlobCache>(std::move(sharedDefaults))
                               : nullptr) {}

std::optional<common::ContentFilterPolicy> PolicySource::configuredPolicy(
    const std::shared_ptr<const NEFilterProviderConfiguration>& configuration) {
    if (!configuration || !configuration->vendorConfiguration) {
        return std::nullopt;
    }
    const auto now = base::Date::now();
    if (configuration != lastReadConfiguration) {
        lastConfiguredPolicy =
            common::policyFromVendorConfiguration(*configuration->vendorConfiguration, now);
        lastReadConfiguration = configuration;
    }
    // Only the date is the time of the load.
    return lastConfiguredPolicy->withUpdatedAt(now);
}

std::optional<common::ContentFilterPolicy> PolicySource::publishedPolicy() {
    return blobCache ? blobCache->policy() : std::nullopt;
}

}  // namespace filter

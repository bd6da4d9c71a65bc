#include "safari-extension/BlockingStateLookup.h"

#include <optional>
#include <string>

#include "base/json/JSONDecoder.h"
#include "common/DomainIndex.h"
#include "common/HostNormalization.h"

namespace safari {

BlockingState blockingStateInBlob(std::span<const std::uint8_t> blob, std::string_view siteHost) {
    const auto container = base::json::KeyedDecodingContainer::viewingData(blob);
    if (!container) {
        return {};
    }
    std::optional<std::string> matchedDomain;
    // Stops at the first match. An entry that is already normal is compared as it is.
    const auto firstCovering = [&](std::string_view entry) {
        if (common::isNormalizedHostText(entry)) {
            if (common::isCoveredBy(siteHost, entry)) {
                matchedDomain.emplace(entry);
            }
        } else if (auto domain = common::normalizedHostText(entry);
                   !domain.empty() && common::isCoveredBy(siteHost, domain)) {
            matchedDomain = std::move(domain);
        }
        return !matchedDomain;
    };
    const auto configured =
        container->visitStringArrayIfPresent("configuredDomains", firstCovering);
    if (!configured) {
        return {};
    }
    // With "configuredDomains", "blockedDomains" is only checked: it must still be well formed.
    const auto blocked = *configured ? container->visitStringArray(
                                           "blockedDomains", [](std::string_view) { return false; })
                                     : container->visitStringArray("blockedDomains", firstCovering);
    if (!blocked) {
        return {};
    }
    const auto enforcementEnabled = container->decodeBool("enforcementEnabled");
    if (!enforcementEnabled || !container->decodeInt64("policyVersion") ||
        !container->decodeDate("updatedAt") || !matchedDomain) {
        return {};
    }
    return {*enforcementEnabled, std::move(matchedDomain)};
}

}  // namespace safari

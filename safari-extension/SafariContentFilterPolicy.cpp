#include "safari-extension/SafariContentFilterPolicy.h"

#include "base/json/JSONDecoder.h"

namespace safari {

SafariContentFilterPolicy SafariContentFilterPolicy::empty() {
    return {common::ContentFilterPolicy::empty, std::nullopt};
}

const std::vector<std::string>& SafariContentFilterPolicy::domains() const {
    return configuredDomains ? *configuredDomains : policy.blockedDomains();
}

base::Expected<SafariContentFilterPolicy> SafariContentFilterPolicy::decode(
    std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    auto policy = common::ContentFilterPolicy::decode(*container);
    if (!policy) {
        return policy.error();
    }
    auto configuredDomains = container->decodeStringArrayIfPresent("configuredDomains");
    if (!configuredDomains) {
        return configuredDomains.error();
    }
    return SafariContentFilterPolicy{std::move(policy).value(),
                                     std::move(configuredDomains).value()};
}

}  // namespace safari

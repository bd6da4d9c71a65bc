#include "safari-extension/SafariContentFilterPolicy.h"

#include "platform/json/JSONDecoder.h"

namespace safari {

SafariContentFilterPolicy SafariContentFilterPolicy::empty() {
    return {common::ContentFilterPolicy::empty, std::nullopt};
}

const std::vector<std::string>& SafariContentFilterPolicy::domains() const {
    return configuredDomains ? *configuredDomains : policy.blockedDomains();
}

platform::Expected<SafariContentFilterPolicy> SafariContentFilterPolicy::decode(
    std::span<const std::uint8_t> json) {
    // The blob is parsed twice, once by the shared record and once for the extra key, so that
    // the record's own decoding stays the only reading of its four keys.
    auto policy = common::ContentFilterPolicy::decode(json);
    if (!policy) {
        return policy.error();
    }
    const auto container = platform::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    auto configuredDomains = container->decodeStringArrayIfPresent("configuredDomains");
    if (!configuredDomains) {
        return configuredDomains.error();
    }
    return SafariContentFilterPolicy{std::move(policy).value(),
                                     std::move(configuredDomains).value()};
}

}  // namespace safari

#include "common/ContentFilterPolicy.h"

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"
#include "common/HostNormalization.h"

namespace common {

const ContentFilterPolicy ContentFilterPolicy::empty{{}, false, 0, base::Date::distantPast()};

base::Expected<ContentFilterPolicy> ContentFilterPolicy::decode(
    std::span<const std::uint8_t> json) {
    auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    return decode(*container);
}

base::Expected<ContentFilterPolicy> ContentFilterPolicy::decode(
    const base::json::KeyedDecodingContainer& container) {
    auto blockedDomains = container.decodeStringArray("blockedDomains");
    if (!blockedDomains) {
        return blockedDomains.error();
    }
    auto enforcementEnabled = container.decodeBool("enforcementEnabled");
    if (!enforcementEnabled) {
        return enforcementEnabled.error();
    }
    auto policyVersion = container.decodeInt64("policyVersion");
    if (!policyVersion) {
        return policyVersion.error();
    }
    auto updatedAt = container.decodeDate("updatedAt");
    if (!updatedAt) {
        return updatedAt.error();
    }
    return ContentFilterPolicy(std::move(blockedDomains).value(), *enforcementEnabled,
                               *policyVersion, *updatedAt);
}

ContentFilterPolicy ContentFilterPolicy::withUpdatedAt(base::Date date) const {
    ContentFilterPolicy updatedPolicy = *this;
    updatedPolicy.updated = date;
    return updatedPolicy;
}

bool ContentFilterPolicy::operator==(const ContentFilterPolicy& other) const {
    return (domains == other.domains || *domains == *other.domains) &&
           enforcing == other.enforcing && version == other.version && updated == other.updated;
}

base::Data ContentFilterPolicy::encode() const {
    base::Array domainValues;
    domainValues.reserve(domains->size());
    for (const auto& domain : *domains) {
        domainValues.emplace_back(domain);
    }
    const base::Value object(base::Dictionary{
        {"blockedDomains", std::move(domainValues)},
        {"enforcementEnabled", enforcing},
        {"policyVersion", version},
        {"updatedAt", updated.timeIntervalSinceReferenceDate},
    });
    auto data = base::json::dataWithJSONObject(object);
    // Every field is a valid JSON leaf, except a non-finite date, which no caller builds.
    return data ? std::move(data).value() : base::Data{};
}

ConfiguredDomainsPolicy ConfiguredDomainsPolicy::empty() {
    return {ContentFilterPolicy::empty, std::nullopt};
}

base::Expected<ConfiguredDomainsPolicy> ConfiguredDomainsPolicy::decode(
    std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    auto policy = ContentFilterPolicy::decode(*container);
    if (!policy) {
        return policy.error();
    }
    auto configuredDomains = container->decodeStringArrayIfPresent("configuredDomains");
    if (!configuredDomains) {
        return configuredDomains.error();
    }
    return ConfiguredDomainsPolicy{std::move(policy).value(), std::move(configuredDomains).value()};
}

const std::vector<std::string>& ConfiguredDomainsPolicy::domains() const {
    return configuredDomains ? *configuredDomains : policy.blockedDomains();
}

std::vector<std::string> ConfiguredDomainsPolicy::normalizedDomains() const {
    std::vector<std::string> normalized;
    normalized.reserve(domains().size());
    for (const auto& entry : domains()) {
        auto domain = normalizedHostText(entry);
        if (!domain.empty()) {
            normalized.push_back(std::move(domain));
        }
    }
    return normalized;
}

}  // namespace common

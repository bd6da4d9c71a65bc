#include "tools/tovrinctl/VendorConfiguration.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/HostNormalization.h"

namespace tools {

common::ContentFilterPolicy policyFromVendorConfiguration(const platform::Value& dictionary,
                                                          platform::Date now) {
    std::vector<std::string> domains;
    if (const platform::Value* listed = dictionary.find("blockedDomains")) {
        const platform::Array* entries = listed->array();
        if (entries != nullptr &&
            std::all_of(entries->begin(), entries->end(),
                        [](const platform::Value& entry) { return entry.text() != nullptr; })) {
            for (const platform::Value& entry : *entries) {
                std::string domain = common::normalizedHostText(*entry.text());
                if (!domain.empty()) {
                    domains.push_back(std::move(domain));
                }
            }
        }
    }
    std::sort(domains.begin(), domains.end());
    domains.erase(std::unique(domains.begin(), domains.end()), domains.end());

    std::int64_t version = 0;
    if (const platform::Value* value = dictionary.find("policyVersion")) {
        version = value->integer().value_or(0);
    }
    bool enforcing = false;
    if (const platform::Value* value = dictionary.find("enforcementEnabled")) {
        enforcing = value->boolean().value_or(false);
    }
    return common::ContentFilterPolicy(std::move(domains), enforcing, version, now);
}

platform::Value vendorConfiguration(const common::ContentFilterPolicy& policy) {
    platform::Array domains;
    for (const std::string& domain : policy.blockedDomains()) {
        domains.emplace_back(domain);
    }
    return platform::Value(platform::Dictionary{
        {platform::Value("blockedDomains"), platform::Value(std::move(domains))},
        {platform::Value("enforcementEnabled"), platform::Value(policy.enforcementEnabled())},
        {platform::Value("policyVersion"), platform::Value(policy.policyVersion())},
    });
}

}  // namespace tools

#include "common/VendorConfiguration.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/HostNormalization.h"

namespace common {

ContentFilterPolicy policyFromVendorConfiguration(const base::Value& dictionary, base::Date now) {
    std::vector<std::string> domains;
    if (const base::Value* listed = dictionary.find("blockedDomains")) {
        const base::Array* entries = listed->array();
        if (entries != nullptr &&
            std::all_of(entries->begin(), entries->end(),
                        [](const base::Value& entry) { return entry.text() != nullptr; })) {
            for (const base::Value& entry : *entries) {
                std::string domain = normalizedHostText(*entry.text());
                if (!domain.empty()) {
                    domains.push_back(std::move(domain));
                }
            }
        }
    }
    std::sort(domains.begin(), domains.end());
    domains.erase(std::unique(domains.begin(), domains.end()), domains.end());

    std::int64_t version = 0;
    if (const base::Value* value = dictionary.find("policyVersion")) {
        version = value->integer().value_or(0);
    }
    bool enforcing = false;
    if (const base::Value* value = dictionary.find("enforcementEnabled")) {
        enforcing = value->boolean().value_or(false);
    }
    return ContentFilterPolicy(std::move(domains), enforcing, version, now);
}

base::Value vendorConfiguration(const ContentFilterPolicy& policy) {
    base::Array domains;
    for (const std::string& domain : policy.blockedDomains()) {
        domains.emplace_back(domain);
    }
    return base::Value(base::Dictionary{
        {base::Value("blockedDomains"), base::Value(std::move(domains))},
        {base::Value("enforcementEnabled"), base::Value(policy.enforcementEnabled())},
        {base::Value("policyVersion"), base::Value(policy.policyVersion())},
    });
}

}  // namespace common

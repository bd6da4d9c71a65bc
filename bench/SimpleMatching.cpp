#include "bench/SimpleMatching.h"

#include "common/HostNormalization.h"

namespace bench {

std::optional<std::string> linearMatchedDomain(const std::vector<std::string>& domains,
                                               const std::string& host) {
    for (const auto& domain : domains) {
        if (host == domain || (host.size() > domain.size() && host.ends_with(domain) &&
                               host[host.size() - domain.size() - 1] == '.')) {
            return domain;
        }
    }
    return std::nullopt;
}

std::string fullyNormalizedHostText(const std::string& text) {
    // A leading blank keeps normalizedHostText from taking its shortcut; the first step trims
    // the blank again, so the result is the same.
    return common::normalizedHostText(" " + text);
}

}  // namespace bench

#include "common/DomainIndex.h"

#include <algorithm>

namespace common {

DomainIndex::DomainIndex(std::span<const std::string> domains) {
    std::size_t totalLength = 0;
    std::size_t longest = 0;
    for (const auto& domain : domains) {
        totalLength += domain.size();
        longest = std::max(longest, domain.size());
    }
    // Reserved whole up front: the keys view into it, so it must never move.
    entryText.reserve(totalLength);
    firstPositions.reserve(domains.size());
    hasEntryOfLength.assign(domains.empty() ? 0 : longest + 1, false);

    for (std::size_t position = 0; position < domains.size(); ++position) {
        const std::string& domain = domains[position];
        if (firstPositions.contains(domain)) {
            continue;
        }
        const std::size_t start = entryText.size();
        entryText.insert(entryText.end(), domain.begin(), domain.end());
        firstPositions.emplace(std::string_view(entryText.data() + start, domain.size()), position);
        hasEntryOfLength[domain.size()] = true;
    }
}

bool isCoveredBy(std::string_view host, std::string_view domain) {
    return host == domain || (host.size() > domain.size() && host.ends_with(domain) &&
                              host[host.size() - domain.size() - 1] == '.');
}

std::optional<std::size_t> DomainIndex::firstCoveringPosition(std::string_view host) const {
    // The entries that can cover the host are exactly the host itself and every text that
    // follows one of its dots: "a.b.com" can be covered by "a.b.com", "b.com" and "com", and
    // "a..com" also by ".com". Any of them may be in the list, so all are tried and the earliest
    // position wins.
    std::optional<std::size_t> first;
    const auto consider = [&](std::string_view candidate) {
        if (candidate.size() >= hasEntryOfLength.size() || !hasEntryOfLength[candidate.size()]) {
            return;
        }
        const auto found = firstPositions.find(candidate);
        if (found != firstPositions.end() && (!first || found->second < *first)) {
            first = found->second;
        }
    };
    consider(host);
    for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
         dot = host.find('.', dot + 1)) {
        consider(host.substr(dot + 1));
    }
    return first;
}

}  // namespace common

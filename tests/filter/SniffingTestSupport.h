#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "filter/HostSniffing.h"
#include "filter/InspectionOutcome.h"

namespace filter {

inline void PrintTo(const InspectionOutcome& outcome, std::ostream* stream) {
    switch (outcome.kind) {
        case InspectionOutcome::Kind::blocked:
            *stream << "blocked(matchedDomain: \"" << outcome.name.value_or("") << "\")";
            return;
        case InspectionOutcome::Kind::allowed:
            *stream << "allowed(host: \"" << outcome.name.value_or("") << "\")";
            return;
        case InspectionOutcome::Kind::needMoreData:
            *stream << "needMoreData";
            return;
        case InspectionOutcome::Kind::noHostname:
            *stream << "noHostname";
            return;
    }
}

}  // namespace filter

namespace sniffing {

// The provider's matching rule: the first entry that equals the host or of which the host is a
// dot-suffix.
inline filter::DomainMatcher matcherBlocking(std::vector<std::string> domains) {
    return [domains = std::move(domains)](const std::string& host) -> std::optional<std::string> {
        for (const auto& domain : domains) {
            if (host == domain || host.ends_with("." + domain)) {
                return domain;
            }
        }
        return std::nullopt;
    };
}

}  // namespace sniffing

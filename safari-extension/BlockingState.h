#pragma once

#include <optional>
#include <string>

namespace safari {

// Whether a site is blocked under the current policy, and by which domain.
struct BlockingState {
    // True only when a domain matched and the policy enforces.
    bool isBlocked = false;
    // The matching domain, normalised; present whenever one matched, enforcing or not.
    std::optional<std::string> matchedDomain;
};

}  // namespace safari

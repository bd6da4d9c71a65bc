#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/value/Expected.h"
#include "common/ContentFilterPolicy.h"

namespace safari {

// The policy blob as the handler reads it: the shared record, and the optional
// "configuredDomains" list that the handler alone knows.
struct SafariContentFilterPolicy {
    common::ContentFilterPolicy policy;
    // "configuredDomains"; nothing when absent or null.
    std::optional<std::vector<std::string>> configuredDomains;

    // The empty policy, with no configured domains: blocks nothing.
    static SafariContentFilterPolicy empty();

    // The list the handler matches against, raw as stored: "configuredDomains" when present,
    // even when empty; otherwise "blockedDomains".
    const std::vector<std::string>& domains() const;

    // Decodes the blob: the record's four required keys as the record decodes them, and
    // "configuredDomains", which must be an array of strings when present.
    [[nodiscard]] static base::Expected<SafariContentFilterPolicy> decode(
        std::span<const std::uint8_t> json);
};

}  // namespace safari

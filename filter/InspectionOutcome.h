#pragma once

#include <optional>
#include <string>
#include <utility>

namespace filter {

// What the first outbound bytes of a hostless flow tell about its host.
struct InspectionOutcome {
    enum class Kind {
        // A host was read and falls under a blocked domain; `name` is that domain entry, not the
        // host that was read.
        blocked,
        // A host was read and no blocked domain covers it; `name` is the normalised host,
        // possibly empty.
        allowed,
        // The bytes begin like a request that names its host but end before the host is known.
        needMoreData,
        // The bytes hold no usable host name, or are not a request this filter understands.
        noHostname,
    };

    static InspectionOutcome blocked(std::string matchedDomain) {
        return {Kind::blocked, std::move(matchedDomain)};
    }
    static InspectionOutcome allowed(std::string host) { return {Kind::allowed, std::move(host)}; }
    static InspectionOutcome needMoreData() { return {Kind::needMoreData, std::nullopt}; }
    static InspectionOutcome noHostname() { return {Kind::noHostname, std::nullopt}; }

    bool operator==(const InspectionOutcome&) const = default;

    Kind kind;
    // Present exactly for `blocked` and `allowed`.
    std::optional<std::string> name;
};

}  // namespace filter

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/json/JSONDecoder.h"
#include "base/value/Date.h"
#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace common {

// The one policy the system enforces: the blocked domains in list order, whether matching
// traffic is blocked (true) or only observed, the publisher's version and the last update.
// Immutable: a new policy replaces the old one whole. Copies share one list of domains, so a copy
// costs the same whatever the length of the list.
class ContentFilterPolicy {
  public:
    ContentFilterPolicy(std::vector<std::string> blockedDomains,
                        bool enforcementEnabled,
                        std::int64_t policyVersion,
                        base::Date updatedAt)
        : domains(std::make_shared<const std::vector<std::string>>(std::move(blockedDomains))),
          enforcing(enforcementEnabled),
          version(policyVersion),
          updated(updatedAt) {}
    // Copied, never moved from: a policy left behind by a move would have no list.
    ContentFilterPolicy(const ContentFilterPolicy&) = default;
    ContentFilterPolicy& operator=(const ContentFilterPolicy&) = default;

    // No domains, not enforcing, version 0, updated in the distant past.
    static const ContentFilterPolicy empty;

    const std::vector<std::string>& blockedDomains() const { return *domains; }
    bool enforcementEnabled() const { return enforcing; }
    std::int64_t policyVersion() const { return version; }
    base::Date updatedAt() const { return updated; }

    // Decodes the blob form: a JSON object with "blockedDomains" (array of strings),
    // "enforcementEnabled" (boolean), "policyVersion" (integer) and "updatedAt" (seconds relative
    // to 2001-01-01T00:00:00Z). All four are required; other keys are ignored. Domains are kept
    // exactly as stored.
    [[nodiscard]] static base::Expected<ContentFilterPolicy> decode(
        std::span<const std::uint8_t> json);
    // The same from a blob already parsed, for a reader that wants other keys of it as well.
    [[nodiscard]] static base::Expected<ContentFilterPolicy> decode(
        const base::json::KeyedDecodingContainer& container);
    // The blob form, always with the four keys.
    base::Data encode() const;

    // The same policy, updated at `date`.
    ContentFilterPolicy withUpdatedAt(base::Date date) const;

    bool operator==(const ContentFilterPolicy& other) const;

  private:
    std::shared_ptr<const std::vector<std::string>> domains;
    bool enforcing;
    std::int64_t version;
    base::Date updated;
};

// The blob as the browser handler reads it: the record, and the optional "configuredDomains" list
// that only the handler knows. The filter reads the same blob with ContentFilterPolicy::decode.
struct ConfiguredDomainsPolicy {
    ContentFilterPolicy policy;
    // "configuredDomains"; nothing when absent or null.
    std::optional<std::vector<std::string>> configuredDomains;

    // The empty policy, with no configured domains: blocks nothing.
    static ConfiguredDomainsPolicy empty();

    // Decodes the blob: the record's four required keys as the record decodes them, and
    // "configuredDomains", which must be an array of strings when present.
    [[nodiscard]] static base::Expected<ConfiguredDomainsPolicy> decode(
        std::span<const std::uint8_t> json);

    // The list the handler matches against, raw as stored: "configuredDomains" when present,
    // even when empty; otherwise "blockedDomains".
    const std::vector<std::string>& domains() const;
    // That list with every entry normalised (normalizedHostText), in order, without the entries
    // that came out empty; duplicates are kept.
    std::vector<std::string> normalizedDomains() const;
};

}  // namespace common

#pragma once

#include <memory>
#include <optional>

#include "common/ContentFilterPolicy.h"
#include "common/UserDefaults.h"
#include "filter/PolicyBlobCache.h"
#include "filter/framework/NEFilterProviderConfiguration.h"

namespace filter {

// The two places the filter's policy is published: the provider configuration's vendor dictionary
// and the blob in the shared suite. Each is read again only when it changed: the dictionary only
// from another configuration object (a configuration never changes once made), the blob only when
// the suite says it may have changed (see PolicyBlobCache). Every answer is the one that reading
// afresh would give. Not safe for concurrent use; the provider calls it with its mutex held.
class PolicySource {
  public:
    // Reads the blob from `sharedDefaults`; without a suite there is no blob.
    explicit PolicySource(std::shared_ptr<common::UserDefaults> sharedDefaults);

    // The policy of `configuration`'s vendor dictionary (common::policyFromVendorConfiguration),
    // dated now; nothing when the configuration has no vendor dictionary.
    std::optional<common::ContentFilterPolicy> configuredPolicy(
        const std::shared_ptr<const NEFilterProviderConfiguration>& configuration);
    // The policy of the blob; nothing without a suite, without a data value under the key, or
    // when it does not decode.
    std::optional<common::ContentFilterPolicy> publishedPolicy();

  private:
    const std::unique_ptr<PolicyBlobCache> blobCache;
    std::shared_ptr<const NEFilterProviderConfiguration> lastReadConfiguration;
    std::optional<common::ContentFilterPolicy> lastConfiguredPolicy;
};

}  // namespace filter

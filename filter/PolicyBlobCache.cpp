#include "filter/PolicyBlobCache.h"

#include <utility>

#include "common/SharedDefaultsKeys.h"

namespace filter {

PolicyBlobCache::PolicyBlobCache(std::shared_ptr<common::UserDefaults> defaults)
    : defaults(std::move(defaults)) {}

std::optional<common::ContentFilterPolicy> PolicyBlobCache::policy() {
    // Asked before the blob is read, so that a write landing between the two shows as a change
    // at the next read.
    const auto counter = defaults->externalChangeCounter();
    if (counter && lastReading && lastReading->externalChangeCounter == counter) {
        return lastReading->policy;
    }
    auto blob = defaults->dataForKey(common::keys::contentFilterPolicyBlob);
    if (lastReading && lastReading->blob == blob) {
        lastReading->externalChangeCounter = counter;
        return lastReading->policy;
    }
    std::optional<common::ContentFilterPolicy> policy;
    if (blob) {
        if (auto decoded = common::ContentFilterPolicy::decode(*blob)) {
            policy = std::move(decoded).value();
        }
    }
    lastReading = Reading{counter, std::move(blob), policy};
    return policy;
}

}  // namespace filter

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/log/Log.h"
#include "base/uuid/UUID.h"
#include "bench/SimpleMatching.h"
#include "common/ContentFilterPolicy.h"
#include "common/UserDefaults.h"
#include "filter/framework/NEFilterDataProvider.h"

namespace bench {

// The filter's flow path the simple way, the yardstick for the provider: every callback loads the
// policy afresh (the vendor dictionary read and normalised again, or the blob read and decoded
// again) and compares only the version, and every match walks the list. Writes the same
// diagnostics and log lines as the provider, to the same suite. Single-threaded; the settings
// installation is left out, since the benchmarks never change the version.
class SimpleFilterPath {
  public:
    SimpleFilterPath(std::shared_ptr<filter::FilterFramework> framework,
                     std::shared_ptr<common::UserDefaults> sharedDefaults);

    void refreshPolicyIfNeeded(bool force);
    filter::NEFilterNewFlowVerdict handleNewFlow(const filter::NEFilterFlow& flow);
    filter::NEFilterDataVerdict handleOutboundData(const filter::NEFilterFlow& flow,
                                                   std::span<const std::uint8_t> readBytes);

  private:
    struct PendingInspection {
        base::Data bufferedOutboundData;
        std::string endpointSummary;
    };

    common::ContentFilterPolicy loadPolicy() const;
    std::optional<common::ContentFilterPolicy> loadPolicyFromConfiguration() const;
    std::optional<std::string> normalizedHost(const filter::NEFilterFlow& flow) const;
    void recordObservedFlow(const filter::NEFilterFlow& flow,
                            const std::optional<std::string>& resolvedHost);
    void writeBlockDecision(const std::string& host, const std::string& matchedDomain);

    const base::Logger logger;
    const std::shared_ptr<filter::FilterFramework> framework;
    const std::shared_ptr<common::UserDefaults> sharedDefaults;
    std::optional<std::int64_t> cachedPolicyVersion;
    common::ContentFilterPolicy cachedPolicy = common::ContentFilterPolicy::empty;
    std::unordered_map<base::UUID, PendingInspection> pendingInspections;
};

}  // namespace bench

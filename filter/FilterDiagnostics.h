#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/value/Date.h"
#include "common/UserDefaults.h"

namespace filter {

// Every write the filter makes to the shared suite, for the host application to read. Each
// operation writes its keys and then flushes the suite; without a suite (it could not be opened)
// every operation does nothing, and filtering goes on. Not safe for concurrent use; the provider
// calls it with its mutex held.
class FilterDiagnostics {
  public:
    explicit FilterDiagnostics(std::shared_ptr<common::UserDefaults> sharedDefaults);

    // contentFilterProviderStartCount, plus one.
    void incrementProviderStartCount();
    // contentFilterExtensionState, and contentFilterExtensionError: `error`, or removed without.
    void writeDiagnostics(const std::string& state, const std::optional<std::string>& error);
    // contentFilterLastPolicySummary.
    void writePolicySummary(const std::string& summary);
    // contentFilterObservedFlowCount plus one, and the last observed host, URL and endpoint.
    void recordObservedFlow(const std::string& host,
                            const std::string& url,
                            const std::string& endpoint);
    // The last block (host, matched domain, `blockedAt`) and the state "blocked <domain>",
    // which removes the error.
    void writeBlockDecision(const std::string& host,
                            const std::string& matchedDomain,
                            base::Date blockedAt);

  private:
    void setStateAndError(const std::string& state, const std::optional<std::string>& error);

    const std::shared_ptr<common::UserDefaults> sharedDefaults;
};

}  // namespace filter

#include "filter/FilterDiagnostics.h"

#include <utility>

#include "common/SharedDefaultsKeys.h"

namespace filter {

using namespace common::keys;

FilterDiagnostics::FilterDiagnostics(std::shared_ptr<common::UserDefaults> sharedDefaults)
    : sharedDefaults(std::move(sharedDefaults)) {}

void FilterDiagnostics::incrementProviderStartCount() {
    if (!sharedDefaults) {
        return;
    }
    const auto count = sharedDefaults->integerForKey(contentFilterProviderStartCount);
    sharedDefaults->setInteger(count + 1, contentFilterProviderStartCount);
    sharedDefaults->synchronize();
}

void FilterDiagnostics::setStateAndError(const std::string& state,
                                         const std::optional<std::string>& error) {
    sharedDefaults->setObject(state, contentFilterExtensionState);
    std::optional<common::DefaultsObject> errorObject;
    if (error) {
        errorObject = *error;
    }
    sharedDefaults->setObject(errorObject, contentFilterExtensionError);
}

void FilterDiagnostics::writeDiagnostics(const std::string& state,
                                         const std::optional<std::string>& error) {
    if (!sharedDefaults) {
        return;
    }
    setStateAndError(state, error);
    sharedDefaults->synchronize();
}

void FilterDiagnostics::writePolicySummary(const std::string& summary) {
    if (!sharedDefaults) {
        return;
    }
    sharedDefaults->setObject(summary, contentFilterLastPolicySummary);
    sharedDefaults->synchronize();
}

void FilterDiagnostics::recordObservedFlow(const std::string& host,
                                           const std::string& url,
                                           const std::string& endpoint) {
    if (!sharedDefaults) {
        return;
    }
    const auto count = sharedDefaults->integerForKey(contentFilterObservedFlowCount);
    sharedDefaults->setInteger(count + 1, contentFilterObservedFlowCount);
    sharedDefaults->setObject(host, contentFilterLastObservedHost);
    sharedDefaults->setObject(url, contentFilterLastObservedURL);
    sharedDefaults->setObject(endpoint, contentFilterLastObservedEndpoint);
    sharedDefaults->synchronize();
}

void FilterDiagnostics::writeBlockDecision(const std::string& host,
                                           const std::string& matchedDomain,
                                           base::Date blockedAt) {
    if (!sharedDefaults) {
        return;
    }
    sharedDefaults->setObject(host, contentFilterLastBlockedHost);
    sharedDefaults->setObject(matchedDomain, contentFilterLastMatchedDomain);
    sharedDefaults->setObject(blockedAt, contentFilterLastBlockedAt);
    setStateAndError("blocked " + matchedDomain, std::nullopt);
    sharedDefaults->synchronize();
}

}  // namespace filter

#include "filter/FilterDataProvider.h"

#include <algorithm>
#include <utility>

#include "common/BuildConstants.h"
#include "common/HostNormalization.h"
#include "filter/JoinedText.h"

namespace filter {

namespace {

std::shared_ptr<common::UserDefaults> openSharedSuite(const common::UserDefaultsOpener& openSuite) {
    return openSuite ? openSuite(common::appGroupIdentifier) : nullptr;
}

}  // namespace

FilterDataProvider::FilterDataProvider(const common::UserDefaultsOpener& openSuite)
    : FilterDataProvider(openSharedSuite(openSuite)) {}

FilterDataProvider::FilterDataProvider(const std::shared_ptr<common::UserDefaults>& sharedDefaults)
    : logger(common::filterLogSubsystem, "provider"),
      diagnostics(sharedDefaults),
      policySource(sharedDefaults) {}

FilterDataProvider::~FilterDataProvider() = default;

void FilterDataProvider::startFilter(SettingsCompletion completionHandler) {
    // A watch left from an earlier start ends once the mutex is free again, as at stop.
    std::unique_ptr<ConfigurationObservation> replacedObservation;
    {
        std::lock_guard lock(mutex);
        ++runGeneration;
        replacedObservation = startObservingConfigurationChanges();
        refreshPolicyIfNeeded(true);
        incrementProviderStartCount();
        logger.log("startFilter version=%{public}ld enforcement=%{bool,public}d domains=%{public}s",
                   {cachedPolicy.policyVersion(), cachedPolicy.enforcementEnabled(),
                    joinedText(cachedPolicy.blockedDomains(), ",")});
        beginInstallation("running", std::move(completionHandler), true);
    }
}

void FilterDataProvider::stopFilter(NEProviderStopReason reason,
                                    std::function<void()> completionHandler) {
    std::unique_ptr<ConfigurationObservation> endedObservation;
    {
        std::lock_guard lock(mutex);
        ++runGeneration;
        endedObservation = std::move(filterConfigurationObservation);
        didApplyInitialSettings = false;
        pendingInspections.clear();
        logger.log("stopFilter reason=%{public}ld", {std::int64_t{reason}});
        writeDiagnostics("stopped (" + std::to_string(reason) + ")", std::nullopt);
    }
    // The watch ends here, with the mutex free: ending it waits for a handler already running,
    // and that handler waits for the mutex. It finds the watch gone and does nothing.
    endedObservation.reset();
    if (completionHandler) {
        completionHandler();
    }
}

std::unique_ptr<ConfigurationObservation> FilterDataProvider::startObservingConfigurationChanges() {
    std::weak_ptr<FilterDataProvider> weakProvider = weak_from_this();
    auto replaced = std::move(filterConfigurationObservation);
    filterConfigurationObservation = observeFilterConfiguration(
        [weakProvider](const std::shared_ptr<const NEFilterProviderConfiguration>&) {
            if (auto provider = weakProvider.lock()) {
                std::lock_guard lock(provider->mutex);
                provider->filterConfigurationDidChange();
            }
        });
    return replaced;
}

void FilterDataProvider::filterConfigurationDidChange() {
    // A change reported after stop belongs to a watch that has ended.
    if (!filterConfigurationObservation) {
        return;
    }
    refreshPolicyIfNeeded(true);
}

void FilterDataProvider::refreshPolicyIfNeeded(bool force) {
    const auto configured = loadPolicyFromConfiguration();
    auto loaded = configured ? *configured : loadPublishedPolicy();
    const bool isTaken = force || cachedPolicyVersion != loaded.policyVersion();
    // Said when the blob stands in for the dictionary at a load that takes a policy, and when the
    // dictionary goes; not at every flow's unchanged load.
    if (!configured && (isTaken || !isConfigurationMissing)) {
        logger.log("filterConfiguration.vendorConfiguration missing");
    }
    isConfigurationMissing = !configured;
    if (!isTaken) {
        return;
    }
    const auto previous = cachedPolicyVersion;
    // A load from an unchanged source hands back the very list already in force.
    if (&loaded.blockedDomains() != &cachedPolicy.blockedDomains()) {
        blockedDomainIndex = common::DomainIndex(loaded.blockedDomains());
    }
    cachedPolicy = loaded;
    writePolicySummary();
    logger.log("loaded policy version=%{public}ld enforcement=%{bool,public}d domains=%{public}s",
               {loaded.policyVersion(), loaded.enforcementEnabled(),
                joinedText(loaded.blockedDomains(), ",")});
    if (didApplyInitialSettings && previous.has_value()) {
        applyPolicySettings(reconfiguredState(loaded), nullptr);
    }
    cachedPolicyVersion = loaded.policyVersion();
}

common::ContentFilterPolicy FilterDataProvider::loadPublishedPolicy() {
    if (auto published = policySource.publishedPolicy()) {
        return *published;
    }
    return common::ContentFilterPolicy::empty;
}

std::optional<common::ContentFilterPolicy> FilterDataProvider::loadPolicyFromConfiguration() {
    return policySource.configuredPolicy(filterConfiguration());
}

void FilterDataProvider::incrementProviderStartCount() {
    diagnostics.incrementProviderStartCount();
}

void FilterDataProvider::writeDiagnostics(const std::string& state,
                                          const std::optional<std::string>& error) {
    diagnostics.writeDiagnostics(state, error);
}

std::optional<PendingInspection> FilterDataProvider::pendingInspectionForTesting(
    const base::UUID& identifier) const {
    std::lock_guard lock(mutex);
    auto found = pendingInspections.find(identifier);
    if (found == pendingInspections.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::size_t FilterDataProvider::pendingInspectionCountForTesting() const {
    std::lock_guard lock(mutex);
    return pendingInspections.size();
}

void FilterDataProvider::refreshPolicyIfNeededForTesting(bool force) {
    std::lock_guard lock(mutex);
    refreshPolicyIfNeeded(force);
}

}  // namespace filter

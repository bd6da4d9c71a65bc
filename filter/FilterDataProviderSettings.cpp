#include "filter/FilterDataProvider.h"
#include "filter/JoinedText.h"

namespace filter {
namespace {

NEFilterRule webInspectionRule(const char* address, const char* port) {
    return NEFilterRule{
        NENetworkRule::destinationNetwork(NWHostEndpoint::endpointWithHostname(address, port), 0,
                                          NENetworkRuleProtocol::tcp),
        NEFilterAction::filterData};
}

}  // namespace

std::string FilterDataProvider::reconfiguredState(const common::ContentFilterPolicy& policy) {
    return policy.enforcementEnabled() ? "reconfigured blocking" : "reconfigured monitoring";
}

void FilterDataProvider::applyPolicySettings(const std::string& state,
                                             SettingsCompletion completionHandler) {
    beginInstallation(state, std::move(completionHandler), false);
}

void FilterDataProvider::beginInstallation(const std::string& state,
                                           SettingsCompletion completionHandler,
                                           bool isInitial) {
    std::vector<NEFilterRule> rules;
    if (cachedPolicy.enforcementEnabled() && !cachedPolicy.blockedDomains().empty()) {
        auto catchAllRules = catchAllWebInspectionRules();
        rules.reserve(cachedPolicy.blockedDomains().size() + catchAllRules.size());
        for (const auto& domain : cachedPolicy.blockedDomains()) {
            rules.push_back(NEFilterRule{
                NENetworkRule::destinationHost(NWHostEndpoint::endpointWithHostname(domain, "0"),
                                               NENetworkRuleProtocol::any),
                NEFilterAction::filterData});
        }
        for (auto& rule : catchAllRules) {
            rules.push_back(std::move(rule));
        }
    }
    Installation installation{rules.size(), state, cachedPolicy, runGeneration, isInitial};
    NEFilterSettings settings{std::move(rules), NEFilterAction::allow};

    // The framework never completes inside apply(), so asking with the mutex held is safe; the
    // completion takes the mutex itself and calls the caller's handler once it is released.
    std::weak_ptr<FilterDataProvider> weakProvider = weak_from_this();
    apply(std::move(settings),
          [weakProvider, installation = std::move(installation),
           completionHandler = std::move(completionHandler)](std::optional<base::Error> error) {
              if (auto provider = weakProvider.lock()) {
                  std::lock_guard lock(provider->mutex);
                  provider->finishInstallation(installation, error);
              }
              if (completionHandler) {
                  completionHandler(std::move(error));
              }
          });
}

void FilterDataProvider::finishInstallation(const Installation& installation,
                                            const std::optional<base::Error>& error) {
    didApplyInitialSettings = true;
    if (error) {
        logger.error("apply settings failed: %{public}s", {error->description});
        writeDiagnostics("failed to apply settings", error->description);
    } else {
        logger.log(
            "applied %{public}ld host rules defaultAction=allow enforcement=%{bool,public}d",
            {static_cast<std::int64_t>(installation.ruleCount), cachedPolicy.enforcementEnabled()});
        writeDiagnostics(installation.state, std::nullopt);
    }
    // A policy taken while the first installation of a run was outstanding installed nothing,
    // because no installation had completed yet; its settings are installed now, when they
    // differ. The settings are built from the domains and the switch alone.
    const bool isSameSettings =
        installation.policy.blockedDomains() == cachedPolicy.blockedDomains() &&
        installation.policy.enforcementEnabled() == cachedPolicy.enforcementEnabled();
    if (installation.isInitial && installation.run == runGeneration && !isSameSettings) {
        applyPolicySettings(reconfiguredState(cachedPolicy), nullptr);
    }
}

std::vector<NEFilterRule> FilterDataProvider::catchAllWebInspectionRules() {
    std::vector<NEFilterRule> rules;
    rules.reserve(4);
    rules.push_back(webInspectionRule("0.0.0.0", "80"));
    rules.push_back(webInspectionRule("0.0.0.0", "443"));
    rules.push_back(webInspectionRule("::", "80"));
    rules.push_back(webInspectionRule("::", "443"));
    return rules;
}

void FilterDataProvider::writePolicySummary() {
    const std::string summary = "v" + std::to_string(cachedPolicy.policyVersion()) + " " +
                                (cachedPolicy.enforcementEnabled() ? "blocking" : "monitoring") +
                                " [" + joinedText(cachedPolicy.blockedDomains(), ", ") + "]";
    diagnostics.writePolicySummary(summary);
}

}  // namespace filter

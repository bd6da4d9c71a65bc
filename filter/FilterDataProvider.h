#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/log/Log.h"
#include "base/uuid/UUID.h"
#include "common/ContentFilterPolicy.h"
#include "common/DomainIndex.h"
#include "common/UserDefaults.h"
#include "filter/FilterDiagnostics.h"
#include "filter/HostSniffing.h"
#include "filter/InspectionOutcome.h"
#include "filter/PendingInspection.h"
#include "filter/PolicySource.h"
#include "filter/framework/NEFilterDataProvider.h"

namespace filter {

// The filter's principal class. The framework creates it, attaches itself and calls its
// callbacks; it decides every flow from the policy in force and reports its condition to the
// host application through the shared suite.
//
// The policy in force comes from the provider configuration's vendor dictionary when there is
// one, otherwise from the blob in the shared suite, otherwise it is the empty policy. It is
// reloaded with force at start and whenever the configuration changes, and without force (only
// a changed version is taken) at the top of every new-flow and outbound-data callback. A policy
// taken while filtering runs re-installs the filter settings.
//
// Threads: every callback, the configuration watch and each installation's completion may run on
// a thread of its own. One mutex guards the mutable fields and each of them holds it for its
// whole run, so they never interleave. Completion handlers handed in by the framework are called
// after the mutex is released, so that a handler may call back into the provider. The watch and
// the completions hold the provider weakly; it must be owned by a std::shared_ptr for them to
// reach it at all.
class FilterDataProvider final : public NEFilterDataProvider,
                                 public std::enable_shared_from_this<FilterDataProvider> {
  public:
    // Opens the shared suite with `openSuite`; nothing else happens until start.
    explicit FilterDataProvider(const common::UserDefaultsOpener& openSuite);
    ~FilterDataProvider() override;
    FilterDataProvider(const FilterDataProvider&) = delete;
    FilterDataProvider& operator=(const FilterDataProvider&) = delete;

    // Watches the configuration, loads the policy with force, counts the start and installs the
    // settings; `completionHandler` gets the outcome of that installation once it completes.
    void startFilter(SettingsCompletion completionHandler) override;
    // Ends the watch, forgets pending inspections and records the stop state, then calls
    // `completionHandler`. The cached policy survives.
    void stopFilter(NEProviderStopReason reason, std::function<void()> completionHandler) override;
    // Drops a flow to a blocked host under enforcement, sends a hostless web flow under
    // enforcement to outbound inspection, and allows everything else.
    NEFilterNewFlowVerdict handleNewFlow(const NEFilterFlow& flow) override;
    // Learns the host of a flow under inspection from its first outbound bytes, which it gathers
    // over the calls in arrival order (the offset is not needed for that). Drops the flow when
    // the host falls under a blocked domain, allows it when the host is clean or cannot be
    // learnt, and while an HTTP Host line or a TLS ClientHello is still incomplete passes
    // `readBytes` and peeks at 1024 more, up to `maxInspectionBytes` in all. A flow that has
    // gained a host of its own is decided on that host; without enforcement every flow is
    // allowed. Every verdict but the pass ends the flow's inspection.
    NEFilterDataVerdict handleOutboundData(const NEFilterFlow& flow,
                                           std::size_t readBytesStartOffset,
                                           std::span<const std::uint8_t> readBytes) override;
    // Forgets the flow's inspection, if any, and allows the flow.
    NEFilterDataVerdict handleOutboundDataComplete(const NEFilterFlow& flow) override;

    // The inspection kept for the flow `identifier`, if any, and how many are kept. For tests.
    std::optional<PendingInspection> pendingInspectionForTesting(
        const base::UUID& identifier) const;
    std::size_t pendingInspectionCountForTesting() const;
    // Refreshes the policy as a callback does. For tests and benchmarks.
    void refreshPolicyIfNeededForTesting(bool force);

  private:
    explicit FilterDataProvider(const std::shared_ptr<common::UserDefaults>& sharedDefaults);

    // What an installation's completion needs to know about the installation.
    struct Installation {
        std::size_t ruleCount;
        std::string state;
        // The policy the settings were built from.
        common::ContentFilterPolicy policy;
        // The run that asked for it, and whether it is the run's first installation.
        std::uint64_t run;
        bool isInitial;
    };

    // Every method below is called with `mutex` held.

    // Registers the watch and returns the registration it replaces, which the caller releases
    // once the mutex is unlocked (ending a watch may wait for a handler that waits for the mutex).
    [[nodiscard]] std::unique_ptr<ConfigurationObservation> startObservingConfigurationChanges();
    void filterConfigurationDidChange();
    // Loads the configuration form, else the blob, else the empty policy (see PolicySource),
    // and takes it when `force` is set or its version differs from the cached one.
    void refreshPolicyIfNeeded(bool force);
    // The policy of the blob, else the empty policy.
    common::ContentFilterPolicy loadPublishedPolicy();
    // The policy given by the provider configuration's vendor dictionary: domains normalised,
    // without empty entries and duplicates, sorted; a missing or malformed value takes its
    // default. Nothing when there is no vendor dictionary.
    std::optional<common::ContentFilterPolicy> loadPolicyFromConfiguration();
    void incrementProviderStartCount();
    // Stores `state` and stores `error`, or removes the error key when there is none.
    void writeDiagnostics(const std::string& state, const std::optional<std::string>& error);

    // Builds the settings from `cachedPolicy` and asks the framework to install them; once the
    // installation completes its outcome is recorded (`state` on success) and
    // `completionHandler`, if any, gets its error.
    void applyPolicySettings(const std::string& state, SettingsCompletion completionHandler);
    void beginInstallation(const std::string& state,
                           SettingsCompletion completionHandler,
                           bool isInitial);
    void finishInstallation(const Installation& installation,
                            const std::optional<base::Error>& error);
    // "reconfigured blocking" or "reconfigured monitoring", as `policy` enforces or not.
    static std::string reconfiguredState(const common::ContentFilterPolicy& policy);
    // Four rules that send every TCP flow to port 80 or 443, IPv4 and IPv6, to the provider.
    static std::vector<NEFilterRule> catchAllWebInspectionRules();
    void writePolicySummary();

    // The first entry of the policy in force that covers `host`; nothing when none does.
    std::optional<std::string> matchedDomain(const std::string& host) const;
    // Records the flow in the diagnostics and the log. `resolvedHost` is what hostOfFlow() gave
    // for it (nothing for a flow without a host); every caller has worked it out already.
    void recordObservedFlow(const NEFilterFlow& flow,
                            const std::optional<std::string>& resolvedHost);
    void writeBlockDecision(const std::string& host, const std::string& matchedDomain);

    // The host named by the HTTP request or the TLS ClientHello that begins `bytes`, matched
    // against the policy in force: `blocked` with the matching entry, `allowed` with the host.
    InspectionOutcome parseHTTPHost(std::span<const std::uint8_t> bytes) const;
    InspectionOutcome parseTLSClientHelloSNI(std::span<const std::uint8_t> bytes) const;
    InspectionOutcome outcomeOf(const SniffedHost& sniffed) const;

    // The most outbound bytes held or examined for one flow.
    static constexpr std::size_t maxInspectionBytes = 4096;
    // How many outbound bytes each look at a flow under inspection asks for.
    static constexpr std::size_t peekOutboundBytes = 1024;

    const base::Logger logger;
    // Writes to the shared suite, which is opened once, at construction.
    FilterDiagnostics diagnostics;
    PolicySource policySource;

    mutable std::mutex mutex;
    std::unique_ptr<ConfigurationObservation> filterConfigurationObservation;
    // The version of the last policy taken into `cachedPolicy`; nothing before the first.
    std::optional<std::int64_t> cachedPolicyVersion;
    // Whether the last load found no vendor dictionary, which was then said once.
    bool isConfigurationMissing = false;
    bool didApplyInitialSettings = false;
    std::unordered_map<base::UUID, PendingInspection> pendingInspections;
    common::ContentFilterPolicy cachedPolicy = common::ContentFilterPolicy::empty;
    // The entries of `cachedPolicy`, indexed for matching; built again whenever `cachedPolicy`
    // takes another list.
    common::DomainIndex blockedDomainIndex;
    // Changes at every start and stop, so that a completion can tell whether the run that asked
    // for its installation still goes on.
    std::uint64_t runGeneration = 0;
};

}  // namespace filter

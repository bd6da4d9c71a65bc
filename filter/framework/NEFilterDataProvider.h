#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "base/value/Expected.h"
#include "filter/framework/NEFilterFlow.h"
#include "filter/framework/NEFilterProviderConfiguration.h"
#include "filter/framework/NEFilterSettings.h"
#include "filter/framework/NEFilterVerdicts.h"

namespace filter {

// The platform's stop reason, an integer code.
using NEProviderStopReason = std::int64_t;

using SettingsCompletion = std::function<void(std::optional<base::Error>)>;
using ConfigurationChangeHandler =
    std::function<void(std::shared_ptr<const NEFilterProviderConfiguration>)>;

// Ends a watch on `filterConfiguration` when it is destroyed. After the destructor returns the
// handler is never called again.
class ConfigurationObservation {
  public:
    virtual ~ConfigurationObservation() = default;
};

// What a framework implementation offers the provider it hosts. Implementations call every
// completion and handler later, on a thread of their own, never inside the call that asked, and
// without holding a lock that these operations take: the provider calls them with its own mutex
// held, and its handlers wait for that mutex. A ConfigurationObservation may be destroyed on any
// thread, also inside its own handler (when the handler drops the provider's last reference).
class FilterFramework {
  public:
    virtual ~FilterFramework() = default;

    // The provider configuration in force; never null.
    virtual std::shared_ptr<const NEFilterProviderConfiguration> filterConfiguration() = 0;
    // Calls `handler` with the new configuration on every change after this call (the current
    // one is not delivered).
    virtual std::unique_ptr<ConfigurationObservation> observeFilterConfiguration(
        ConfigurationChangeHandler handler) = 0;
    // Installs `settings`, replacing what was installed; calls `completion` once, later, with
    // the installation's error or none.
    virtual void apply(NEFilterSettings settings, SettingsCompletion completion) = 0;
};

// The base class of a content-filter provider. The framework creates the provider, attaches
// itself and then calls the overridable callbacks, possibly from several threads at once.
class NEFilterDataProvider {
  public:
    virtual ~NEFilterDataProvider() = default;

    // Called once at start; `completionHandler` is called once with the start's error or none.
    virtual void startFilter(SettingsCompletion completionHandler) = 0;
    // Called once at stop; `completionHandler` is called once at the end.
    virtual void stopFilter(NEProviderStopReason reason,
                            std::function<void()> completionHandler) = 0;
    // The verdict for a new flow.
    virtual NEFilterNewFlowVerdict handleNewFlow(const NEFilterFlow& flow) = 0;
    // Outbound bytes of a flow under inspection: `readBytes` begins at `readBytesStartOffset`
    // of the flow's outbound stream.
    virtual NEFilterDataVerdict handleOutboundData(const NEFilterFlow& flow,
                                                   std::size_t readBytesStartOffset,
                                                   std::span<const std::uint8_t> readBytes) = 0;
    // The flow's outbound data ended.
    virtual NEFilterDataVerdict handleOutboundDataComplete(const NEFilterFlow& flow) = 0;

    // Connects the provider to the framework hosting it; called by the framework before start.
    void attachFramework(std::shared_ptr<FilterFramework> framework);

  protected:
    // The provider configuration in force (an empty configuration when no framework is attached).
    std::shared_ptr<const NEFilterProviderConfiguration> filterConfiguration() const;
    // Watches `filterConfiguration`; nothing when no framework is attached.
    std::unique_ptr<ConfigurationObservation> observeFilterConfiguration(
        ConfigurationChangeHandler handler) const;
    // `applySettings:completionHandler:`. Without a framework the completion is never called.
    void apply(NEFilterSettings settings, SettingsCompletion completion) const;

  private:
    std::shared_ptr<FilterFramework> attachedFramework() const;

    mutable std::mutex frameworkMutex;
    std::shared_ptr<FilterFramework> framework;
};

}  // namespace filter

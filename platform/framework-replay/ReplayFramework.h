#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filter/framework/NEFilterDataProvider.h"

namespace platform {

// A content-filter framework whose events come from a script. Nothing happens by itself: the
// script replaces the configuration (which reports the change to the watches at once) and decides
// when installations complete. Installations asked for wait until completeInstallations() or
// completeOldestInstallation() is called, never inside apply(); each completion is first shown
// to the reporter, then handed to the provider. Everything runs on the thread that drives it.
class ReplayFramework final : public filter::FilterFramework {
  public:
    // Told of every installation as it completes: its settings and its error, if any.
    using InstallationReporter =
        std::function<void(const filter::NEFilterSettings&, const std::optional<std::string>&)>;

    explicit ReplayFramework(InstallationReporter reporter);
    ~ReplayFramework() override;

    // Replaces the provider configuration and reports the change to every watch.
    void replaceVendorConfiguration(std::optional<base::Value> vendorConfiguration);

    // While a failure text is set, installations completed by completeInstallations() fail with
    // it.
    void setFailureText(std::optional<std::string> text);
    // Completes every waiting installation, oldest first, also those asked for meanwhile.
    void completeInstallations();
    // Completes the oldest waiting installation with `error`, or successfully; false when none
    // waits.
    bool completeOldestInstallation(std::optional<std::string> error);
    // Forgets the waiting installations without completing them.
    void dropInstallations();

    // The settings of the last installation that completed successfully; nothing before.
    const std::optional<filter::NEFilterSettings>& installedSettings() const { return installed; }

    std::shared_ptr<const filter::NEFilterProviderConfiguration> filterConfiguration() override;
    std::unique_ptr<filter::ConfigurationObservation> observeFilterConfiguration(
        filter::ConfigurationChangeHandler handler) override;
    void apply(filter::NEFilterSettings settings, filter::SettingsCompletion completion) override;

  private:
    struct Installation {
        filter::NEFilterSettings settings;
        filter::SettingsCompletion completion;
    };
    struct Watch {
        filter::ConfigurationChangeHandler handler;
        bool isActive = true;
    };
    class Observation;

    InstallationReporter reporter;
    std::shared_ptr<const filter::NEFilterProviderConfiguration> configuration;
    std::vector<std::shared_ptr<Watch>> watches;
    std::deque<Installation> waiting;
    std::optional<std::string> failureText;
    std::optional<filter::NEFilterSettings> installed;
};

}  // namespace platform

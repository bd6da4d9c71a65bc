#include "platform/framework-replay/ReplayFramework.h"

#include <utility>

namespace platform {

class ReplayFramework::Observation final : public filter::ConfigurationObservation {
  public:
    explicit Observation(std::shared_ptr<Watch> watch) : watch(std::move(watch)) {}
    ~Observation() override { watch->isActive = false; }

  private:
    std::shared_ptr<Watch> watch;
};

ReplayFramework::ReplayFramework(InstallationReporter reporter)
    : reporter(std::move(reporter)),
      configuration(std::make_shared<filter::NEFilterProviderConfiguration>()) {}

ReplayFramework::~ReplayFramework() = default;

void ReplayFramework::replaceVendorConfiguration(std::optional<base::Value> vendorConfiguration) {
    configuration = std::make_shared<filter::NEFilterProviderConfiguration>(
        filter::NEFilterProviderConfiguration{std::move(vendorConfiguration)});
    std::erase_if(watches, [](const auto& watch) { return !watch->isActive; });
    // A handler may end its own watch or another one; the copy keeps each alive until told.
    const auto current = watches;
    const auto changed = configuration;
    for (const auto& watch : current) {
        if (watch->isActive) {
            watch->handler(changed);
        }
    }
}

void ReplayFramework::setFailureText(std::optional<std::string> text) {
    failureText = std::move(text);
}

void ReplayFramework::completeInstallations() {
    while (!waiting.empty()) {
        completeOldestInstallation(failureText);
    }
}

bool ReplayFramework::completeOldestInstallation(std::optional<std::string> error) {
    if (waiting.empty()) {
        return false;
    }
    auto installation = std::move(waiting.front());
    waiting.pop_front();
    if (!error) {
        installed = installation.settings;
    }
    reporter(installation.settings, error);
    std::optional<base::Error> reported;
    if (error) {
        reported = base::Error{*error};
    }
    installation.completion(std::move(reported));
    return true;
}

void ReplayFramework::dropInstallations() {
    waiting.clear();
}

std::shared_ptr<const filter::NEFilterProviderConfiguration>
ReplayFramework::filterConfiguration() {
    return configuration;
}

std::unique_ptr<filter::ConfigurationObservation> ReplayFramework::observeFilterConfiguration(
    filter::ConfigurationChangeHandler handler) {
    auto watch = std::make_shared<Watch>(Watch{std::move(handler)});
    watches.push_back(watch);
    return std::make_unique<Observation>(std::move(watch));
}

void ReplayFramework::apply(filter::NEFilterSettings settings,
                            filter::SettingsCompletion completion) {
    waiting.push_back({std::move(settings), std::move(completion)});
}

}  // namespace platform

#include "filter/framework/NEFilterDataProvider.h"

namespace filter {

void NEFilterDataProvider::attachFramework(std::shared_ptr<FilterFramework> newFramework) {
    std::lock_guard lock(frameworkMutex);
    framework = std::move(newFramework);
}

std::shared_ptr<FilterFramework> NEFilterDataProvider::attachedFramework() const {
    std::lock_guard lock(frameworkMutex);
    return framework;
}

std::shared_ptr<const NEFilterProviderConfiguration> NEFilterDataProvider::filterConfiguration()
    const {
    if (auto current = attachedFramework()) {
        return current->filterConfiguration();
    }
    static const auto none = std::make_shared<const NEFilterProviderConfiguration>();
    return none;
}

std::unique_ptr<ConfigurationObservation> NEFilterDataProvider::observeFilterConfiguration(
    ConfigurationChangeHandler handler) const {
    if (auto current = attachedFramework()) {
        return current->observeFilterConfiguration(std::move(handler));
    }
    return nullptr;
}

void NEFilterDataProvider::apply(NEFilterSettings settings, SettingsCompletion completion) const {
    if (auto current = attachedFramework()) {
        current->apply(std::move(settings), std::move(completion));
    }
}

}  // namespace filter

#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filter/framework/NEFilterDataProvider.h"

namespace fakes {

// An in-memory content-filter framework. Installations wait until the test completes them, each
// on the thread the test chooses and never inside apply(); configuration changes are reported to
// the watches when the test says so. It holds no reference to the provider, so a test can release
// the provider while an installation or a watch is outstanding. Safe to use from several threads.
class FakeFilterFramework final : public filter::FilterFramework {
  public:
    using Configuration = filter::NEFilterProviderConfiguration;

    // Replaces the provider configuration without reporting the change.
    void setVendorConfiguration(std::optional<base::Value> vendorConfiguration) {
        setConfiguration(
            std::make_shared<Configuration>(Configuration{std::move(vendorConfiguration)}));
    }
    // Replaces it with a configuration made beforehand, which may have been in force before.
    void setConfiguration(std::shared_ptr<const Configuration> replacement) {
        std::lock_guard lock(mutex);
        configuration = std::move(replacement);
    }
    // Replaces it and reports the change to every watch, one after the other, on this thread.
    void changeVendorConfiguration(std::optional<base::Value> vendorConfiguration) {
        setVendorConfiguration(std::move(vendorConfiguration));
        std::unique_lock lock(mutex);
        std::erase_if(watches, [](const auto& watch) { return !watch->active; });
        const auto current = watches;
        const auto changed = configuration;
        lock.unlock();
        for (const auto& watch : current) {
            watch->deliver(changed);
        }
    }
    std::size_t activeWatchCount() const {
        std::lock_guard lock(mutex);
        return std::count_if(watches.begin(), watches.end(),
                             [](const auto& watch) { return watch->active.load(); });
    }

    // Completes the oldest outstanding installation on the calling thread, with `error` or
    // successfully; a successful one becomes the installed settings. False when none waits.
    bool completeInstallation(std::optional<std::string> error = std::nullopt) {
        std::unique_lock lock(mutex);
        if (outstanding.empty()) {
            return false;
        }
        auto installation = std::move(outstanding.front());
        outstanding.pop_front();
        if (!error) {
            installed = installation.first;
        }
        lock.unlock();
        installation.second(error ? std::optional(base::Error{*error}) : std::nullopt);
        return true;
    }
    // Completes installations successfully until none waits, also those the completions ask for.
    void completeAllInstallations() {
        while (completeInstallation()) {
        }
    }
    std::optional<filter::NEFilterSettings> installedSettings() const {
        std::lock_guard lock(mutex);
        return installed;
    }
    // Forgets the installed settings, as if nothing had been installed yet.
    void forgetInstalledSettings() {
        std::lock_guard lock(mutex);
        installed.reset();
    }

    std::shared_ptr<const Configuration> filterConfiguration() override {
        std::lock_guard lock(mutex);
        return configuration;
    }
    std::unique_ptr<filter::ConfigurationObservation> observeFilterConfiguration(
        filter::ConfigurationChangeHandler handler) override {
        auto watch = std::make_shared<Watch>(std::move(handler));
        std::lock_guard lock(mutex);
        // Ended watches go here too, so that a provider started again and again does not pile
        // them up.
        std::erase_if(watches, [](const auto& ended) { return !ended->active; });
        watches.push_back(watch);
        return std::make_unique<Observation>(std::move(watch));
    }
    void apply(filter::NEFilterSettings settings, filter::SettingsCompletion completion) override {
        std::lock_guard lock(mutex);
        outstanding.emplace_back(std::move(settings), std::move(completion));
    }

  private:
    // One watch. Once ended, its handler is not called again, and ending it waits for calls
    // running on other threads (not for one on the ending thread itself, which happens when the
    // handler releases the provider's last reference).
    struct Watch {
        explicit Watch(filter::ConfigurationChangeHandler handler) : handler(std::move(handler)) {}
        void deliver(const std::shared_ptr<const Configuration>& changed) {
            std::lock_guard lock(calling);
            if (active) {
                handler(changed);
            }
        }
        void end() {
            std::lock_guard lock(calling);
            active = false;
        }

        const filter::ConfigurationChangeHandler handler;
        std::recursive_mutex calling;
        std::atomic<bool> active = true;
    };

    struct Observation final : filter::ConfigurationObservation {
        explicit Observation(std::shared_ptr<Watch> watch) : watch(std::move(watch)) {}
        ~Observation() override { watch->end(); }
        std::shared_ptr<Watch> watch;
    };

    mutable std::mutex mutex;
    std::shared_ptr<const Configuration> configuration = std::make_shared<Configuration>();
    std::vector<std::shared_ptr<Watch>> watches;
    std::deque<std::pair<filter::NEFilterSettings, filter::SettingsCompletion>> outstanding;
    std::optional<filter::NEFilterSettings> installed;
};

}  // namespace fakes

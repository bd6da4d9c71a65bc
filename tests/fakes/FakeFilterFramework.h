#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
    FakeFilterFramework()
        : configuration(std::make_shared<filter::NEFilterProviderConfiguration>()) {}

    // Replaces the provider configuration without reporting the change.
    void setVendorConfiguration(std::optional<base::Value> vendorConfiguration) {
        auto replacement = std::make_shared<filter::NEFilterProviderConfiguration>(
            filter::NEFilterProviderConfiguration{std::move(vendorConfiguration)});
        std::lock_guard lock(mutex);
        configuration = std::move(replacement);
    }

    // Replaces it and reports the change to every watch, one after the other, on this thread.
    void changeVendorConfiguration(std::optional<base::Value> vendorConfiguration) {
        setVendorConfiguration(std::move(vendorConfiguration));
        reportConfigurationChange();
    }

    // Reports the configuration in force as changed to every watch, on the calling thread.
    void reportConfigurationChange() {
        std::vector<std::shared_ptr<Watch>> current;
        std::shared_ptr<const filter::NEFilterProviderConfiguration> changed;
        {
            std::lock_guard lock(mutex);
            std::erase_if(watches, [](const auto& watch) { return !watch->isActive(); });
            current = watches;
            changed = configuration;
        }
        for (const auto& watch : current) {
            watch->deliver(changed);
        }
    }

    std::size_t activeWatchCount() const {
        std::lock_guard lock(mutex);
        return std::count_if(watches.begin(), watches.end(),
                             [](const auto& watch) { return watch->isActive(); });
    }

    std::size_t installationRequestCount() const {
        std::lock_guard lock(mutex);
        return requests;
    }
    std::size_t outstandingInstallationCount() const {
        std::lock_guard lock(mutex);
        return outstanding.size();
    }

    // Completes the oldest outstanding installation on the calling thread, with `error` or
    // successfully; a successful one becomes the installed settings. False when none waits.
    bool completeInstallation(std::optional<std::string> error = std::nullopt) {
        Outstanding installation;
        {
            std::lock_guard lock(mutex);
            if (outstanding.empty()) {
                return false;
            }
            installation = std::move(outstanding.front());
            outstanding.pop_front();
            if (!error) {
                installed = installation.settings;
            }
        }
        installation.completion(error ? std::optional(base::Error{*error}) : std::nullopt);
        return true;
    }

    // The same, on a thread of its own; returns once the completion has run.
    bool completeInstallationOnAnotherThread(std::optional<std::string> error = std::nullopt) {
        bool completed = false;
        std::thread([&] { completed = completeInstallation(std::move(error)); }).join();
        return completed;
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

    std::shared_ptr<const filter::NEFilterProviderConfiguration> filterConfiguration() override {
        std::lock_guard lock(mutex);
        return configuration;
    }

    std::unique_ptr<filter::ConfigurationObservation> observeFilterConfiguration(
        filter::ConfigurationChangeHandler handler) override {
        auto watch = std::make_shared<Watch>(std::move(handler));
        {
            std::lock_guard lock(mutex);
            watches.push_back(watch);
        }
        return std::make_unique<Observation>(std::move(watch));
    }

    void apply(filter::NEFilterSettings settings, filter::SettingsCompletion completion) override {
        std::lock_guard lock(mutex);
        ++requests;
        outstanding.push_back({std::move(settings), std::move(completion)});
    }

  private:
    struct Outstanding {
        filter::NEFilterSettings settings;
        filter::SettingsCompletion completion;
    };

    // One watch. Once ended, its handler is not called again, and ending it waits for calls
    // running on other threads (a call on the ending thread itself, which happens when the
    // handler releases the provider's last reference, is not waited for).
    class Watch {
      public:
        explicit Watch(filter::ConfigurationChangeHandler handler) : handler(std::move(handler)) {}

        bool isActive() const {
            std::lock_guard lock(mutex);
            return active;
        }

        void deliver(const std::shared_ptr<const filter::NEFilterProviderConfiguration>& changed) {
            {
                std::lock_guard lock(mutex);
                if (!active) {
                    return;
                }
                callers.push_back(std::this_thread::get_id());
            }
            handler(changed);
            std::lock_guard lock(mutex);
            callers.erase(std::find(callers.begin(), callers.end(), std::this_thread::get_id()));
            idle.notify_all();
        }

        void end() {
            std::unique_lock lock(mutex);
            active = false;
            idle.wait(lock, [this] {
                return std::all_of(callers.begin(), callers.end(), [](const auto& caller) {
                    return caller == std::this_thread::get_id();
                });
            });
        }

      private:
        const filter::ConfigurationChangeHandler handler;
        mutable std::mutex mutex;
        std::condition_variable idle;
        bool active = true;
        std::vector<std::thread::id> callers;
    };

    class Observation final : public filter::ConfigurationObservation {
      public:
        explicit Observation(std::shared_ptr<Watch> watch) : watch(std::move(watch)) {}
        ~Observation() override { watch->end(); }

      private:
        std::shared_ptr<Watch> watch;
    };

    mutable std::mutex mutex;
    std::shared_ptr<const filter::NEFilterProviderConfiguration> configuration;
    std::vector<std::shared_ptr<Watch>> watches;
    std::deque<Outstanding> outstanding;
    std::optional<filter::NEFilterSettings> installed;
    std::size_t requests = 0;
};

}  // namespace fakes

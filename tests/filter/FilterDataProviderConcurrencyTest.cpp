#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

constexpr int iterations = 300;

// A flow to a.com named by its URL, or a hostless one that goes to inspection under enforcement.
NEFilterSocketFlow webFlow(const base::UUID& identifier, bool hasURL) {
    return NEFilterSocketFlow(
        identifier, hasURL ? base::URL::fromString("https://www.a.com/") : std::nullopt,
        std::nullopt, NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), 1);
}

using FilterDataProviderConcurrencyTest = ProviderTest;

// Callbacks, configuration changes, blob updates, installation completions and start/stop cycles
// on threads of their own: the run must end (no deadlock), every start handler must be called
// exactly once, and ThreadSanitizer must find no race.
TEST_F(FilterDataProviderConcurrencyTest, CallbacksWatchAndCompletionsRace) {
    auto provider = makeProvider();
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    std::atomic<int> startsAsked{1};
    std::atomic<int> startsAnswered{0};
    std::atomic<int> stopsAnswered{0};
    std::atomic<bool> running{true};
    auto countStart = [&](std::optional<base::Error>) { ++startsAnswered; };
    provider->startFilter(countStart);

    std::vector<std::thread> threads;
    for (int flowThread = 0; flowThread < 2; ++flowThread) {
        threads.emplace_back([&, flowThread] {
            const base::UUID shared;
            for (int index = 0; index < iterations; ++index) {
                const auto flow = webFlow(index % 2 == 0 ? shared : base::UUID(), flowThread == 0);
                provider->handleNewFlow(flow);
                const std::uint8_t bytes[] = {0x16, 0x03, 0x01};
                provider->handleOutboundData(flow, 0, bytes);
                provider->handleOutboundDataComplete(flow);
            }
        });
    }
    threads.emplace_back([&] {
        for (int index = 0; index < iterations; ++index) {
            publishBlob({"c.com"}, true, index);
            framework->changeVendorConfiguration(
                index % 3 == 0 ? std::nullopt
                               : std::optional(vendorConfiguration({"a.com", "b.com"},
                                                                   index % 2 == 0, index)));
        }
    });
    std::thread completer([&] {
        for (int index = 0; running; ++index, std::this_thread::yield()) {
            framework->completeInstallation(index % 5 == 0 ? std::optional<std::string>("busy")
                                                           : std::nullopt);
        }
    });
    threads.emplace_back([&] {
        for (int index = 0; index < iterations / 10; ++index) {
            provider->stopFilter(index, [&] { ++stopsAnswered; });
            ++startsAsked;
            provider->startFilter(countStart);
        }
    });

    for (auto& thread : threads) {
        thread.join();
    }
    running = false;
    completer.join();
    framework->completeAllInstallations();

    EXPECT_EQ(startsAnswered, startsAsked);
    EXPECT_EQ(stopsAnswered, iterations / 10);
    EXPECT_EQ(store.integer(common::keys::contentFilterProviderStartCount), startsAsked.load());
    EXPECT_EQ(framework->activeWatchCount(), 1u);
}

// The provider is released while the watch fires and installations complete on other threads:
// nothing crashes or hangs, and the start handler is still called once.
TEST_F(FilterDataProviderConcurrencyTest, ReleaseWhileTheWatchAndInstallationsAreOutstanding) {
    for (int round = 0; round < 20; ++round) {
        auto provider = makeProvider();
        StartOutcome outcome;
        provider->startFilter(outcome.handler());
        std::atomic<bool> running{true};
        std::thread watcher([&] {
            for (int index = 0; running && index < iterations; ++index) {
                framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, index));
            }
        });
        std::thread completer([&] {
            for (; running; std::this_thread::yield()) {
                framework->completeInstallation();
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        provider.reset();
        running = false;
        watcher.join();
        completer.join();
        framework->completeAllInstallations();

        EXPECT_EQ(outcome.callCount(), 1);
        EXPECT_EQ(framework->activeWatchCount(), 0u);
    }
}

}  // namespace
}  // namespace filter::testing

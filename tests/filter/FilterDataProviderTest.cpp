#include "filter/FilterDataProvider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using Rules = std::vector<std::string>;

Rules hostRulesThenCatchAll(const std::vector<std::string>& domains) {
    Rules rules;
    for (const auto& domain : domains) {
        rules.push_back("host " + domain + ":0 any");
    }
    for (const char* network : {"0.0.0.0/0:80", "0.0.0.0/0:443", "::/0:80", "::/0:443"}) {
        rules.push_back("network " + std::string(network) + " tcp");
    }
    return rules;
}

NEFilterSocketFlow anyFlow() {
    return NEFilterSocketFlow(base::UUID(), std::nullopt, std::nullopt, nullptr, 1);
}

class FilterDataProviderTest : public ProviderTest {
  protected:
    void start() { provider->startFilter(startOutcome.handler()); }
    Rules installedRules() const {
        auto settings = framework->installedSettings();
        return settings ? describeRules(*settings) : Rules{"<nothing installed>"};
    }

    std::shared_ptr<FilterDataProvider> provider = makeProvider();
    StartOutcome startOutcome;
};

TEST_F(FilterDataProviderTest, FirstStartWithoutAnySourceRunsTheEmptyPolicy) {
    start();

    EXPECT_EQ(store.integer(common::keys::contentFilterProviderStartCount), 1);
    EXPECT_EQ(summary(), "v0 monitoring []");
    // Nothing is reported before the installation completes.
    EXPECT_FALSE(state());
    EXPECT_EQ(startOutcome.callCount(), 0);

    ASSERT_TRUE(framework->completeInstallationOnAnotherThread());
    EXPECT_EQ(state(), "running");
    EXPECT_FALSE(store.contains(common::keys::contentFilterExtensionError));
    EXPECT_EQ(installedRules(), Rules{});
    EXPECT_EQ(framework->installedSettings()->defaultAction, NEFilterAction::allow);
    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(startOutcome.error(), std::nullopt);
}

TEST_F(FilterDataProviderTest, BlobIsReadWithoutAVendorDictionary) {
    store.setData(common::keys::contentFilterPolicyBlob, R"({"blockedDomains":["a.com"]})");
    makeProvider()->startFilter(nullptr);
    EXPECT_EQ(summary(), "v0 monitoring []") << "an undecodable blob is the empty policy";

    publishBlob({"b.com", " Upper.COM"}, true, 4);
    start();
    framework->completeAllInstallations();
    // Blob domains are kept as stored: not normalised, not sorted.
    EXPECT_EQ(summary(), "v4 blocking [b.com,  Upper.COM]");
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"b.com", " Upper.COM"}));
}

TEST_F(FilterDataProviderTest, VendorDictionaryIsReadLeniently) {
    using base::Array;
    using base::Dictionary;
    using base::Value;
    struct Case {
        const char* name;
        Value vendorConfiguration;
        const char* expectedSummary;
    } cases[] = {
        {"empty", Dictionary{}, "v0 monitoring []"},
        {"negative version", Dictionary{{"policyVersion", -4}}, "v-4 monitoring []"},
        // Kinds other than those stored by the host application are ignored.
        {"normalised, deduplicated, empty entries dropped",
         Dictionary{{"blockedDomains", Array{" WWW.Example.COM:443 ", "example.com", "", "..."}},
                    {"enforcementEnabled", true},
                    {"policyVersion", 2}},
         "v2 blocking [example.com]"},
        {"sorted", Dictionary{{"blockedDomains", Array{"b.com", "a.com"}}},
         "v0 monitoring [a.com, b.com]"},
        // Enforcing an empty list installs no rule at all, not even the catch-all ones.
        {"one element not a text empties the list",
         Dictionary{{"blockedDomains", Array{"a.com", 7}}, {"enforcementEnabled", true}},
         "v0 blocking []"},
        {"list of another type", Dictionary{{"blockedDomains", "a.com"}}, "v0 monitoring []"},
        {"version as text", Dictionary{{"policyVersion", "3"}}, "v0 monitoring []"},
        {"version as real", Dictionary{{"policyVersion", 3.0}}, "v0 monitoring []"},
        {"enforcement as text", Dictionary{{"enforcementEnabled", "true"}}, "v0 monitoring []"},
        {"enforcement as integer", Dictionary{{"enforcementEnabled", 1}}, "v0 monitoring []"},
    };
    // A vendor dictionary, even an empty one, wins over a valid blob.
    publishBlob({"a.com"}, true, 5);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        framework->setVendorConfiguration(testCase.vendorConfiguration);
        makeProvider()->startFilter(nullptr);
        framework->completeAllInstallations();
        EXPECT_EQ(summary(), testCase.expectedSummary);
        EXPECT_EQ(installedRules().size(),
                  std::string(testCase.expectedSummary) == "v2 blocking [example.com]" ? 5u : 0u);
    }
}

TEST_F(FilterDataProviderTest, UnforcedRefreshComparesOnlyTheVersion) {
    publishBlob({"a.com"}, true, 1);
    start();
    framework->completeInstallation();

    publishBlob({"b.com"}, true, 1);
    provider->handleNewFlow(anyFlow());
    EXPECT_EQ(summary(), "v1 blocking [a.com]");
    EXPECT_EQ(framework->installationRequestCount(), 1u);

    // A configuration change reloads with force and takes the new domains.
    framework->reportConfigurationChange();
    EXPECT_EQ(summary(), "v1 blocking [b.com]");
    framework->completeInstallation();
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"b.com"}));
    EXPECT_EQ(state(), "reconfigured blocking");
}

TEST_F(FilterDataProviderTest, AnyChangeOfVersionReinstalls) {
    struct Case {
        std::int64_t first;
        std::int64_t second;
    } cases[] = {{5, 6}, {5, 3}, {-1, 2}, {0, -1}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::to_string(testCase.first) + " -> " + std::to_string(testCase.second));
        auto fresh = makeProvider();
        publishBlob({"a.com"}, true, testCase.first);
        fresh->startFilter(nullptr);
        framework->completeInstallation();
        const auto requestsBefore = framework->installationRequestCount();

        // The same version again is not a change, whatever its value.
        fresh->handleNewFlow(anyFlow());
        EXPECT_EQ(framework->installationRequestCount(), requestsBefore);

        publishBlob({"b.com"}, false, testCase.second);
        fresh->handleNewFlow(anyFlow());
        EXPECT_EQ(framework->installationRequestCount(), requestsBefore + 1);
        framework->completeInstallation();
        EXPECT_EQ(state(), "reconfigured monitoring");
        EXPECT_EQ(summary(), "v" + std::to_string(testCase.second) + " monitoring [b.com]");
        EXPECT_EQ(installedRules(), Rules{});
        fresh->stopFilter(0, nullptr);
    }
}

class FirstInstallationOutstandingTest : public FilterDataProviderTest {
  protected:
    void SetUp() override {
        framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
        start();
    }
};

TEST_F(FirstInstallationOutstandingTest, ChangeIsInstalledOnceTheFirstInstallationCompletes) {
    framework->changeVendorConfiguration(vendorConfiguration({"b.com"}, true, 2));
    EXPECT_EQ(summary(), "v2 blocking [b.com]");
    EXPECT_EQ(framework->installationRequestCount(), 1u);

    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "running");
    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"a.com"}));
    ASSERT_EQ(framework->installationRequestCount(), 2u);

    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "reconfigured blocking");
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"b.com"}));
    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);
}

// Failures are reported and not retried; the next installation that succeeds, or a stop,
// clears them.
TEST_F(FirstInstallationOutstandingTest, FailuresAreReportedUntilASuccessOrAStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, false, 1));
    ASSERT_TRUE(framework->completeInstallation("no permission"));
    EXPECT_EQ(state(), "failed to apply settings");
    EXPECT_EQ(store.text(common::keys::contentFilterExtensionError), "no permission");
    EXPECT_EQ(startOutcome.error(), "no permission");

    // The change to monitoring is installed even after the failure.
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "reconfigured monitoring");
    EXPECT_FALSE(store.contains(common::keys::contentFilterExtensionError));
    EXPECT_EQ(installedRules(), Rules{});

    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 2));
    ASSERT_TRUE(framework->completeInstallation("busy"));
    EXPECT_EQ(store.text(common::keys::contentFilterExtensionError), "busy");
    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);

    // Stopping records the reason, removes the error and ends the watch.
    bool stopped = false;
    provider->stopFilter(5, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(state(), "stopped (5)");
    EXPECT_FALSE(store.contains(common::keys::contentFilterExtensionError));
    EXPECT_EQ(framework->activeWatchCount(), 0u);
}

// The configuration form is dated at every load; only what the settings are built from counts.
TEST_F(FirstInstallationOutstandingTest, NothingMoreIsInstalledWithoutAChangeOrAfterStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "running");
    EXPECT_EQ(framework->installationRequestCount(), 1u);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);

    provider->stopFilter(1, nullptr);
    start();
    framework->changeVendorConfiguration(vendorConfiguration({"b.com"}, true, 2));
    provider->stopFilter(5, nullptr);
    framework->completeInstallation();
    EXPECT_EQ(framework->installationRequestCount(), 2u);
}

TEST_F(FilterDataProviderTest, SecondStartCountsAndInstallsAgain) {
    publishBlob({"a.com"}, true, 3);
    start();
    framework->completeInstallation();
    provider->stopFilter(1, nullptr);

    StartOutcome secondOutcome;
    provider->startFilter(secondOutcome.handler());
    // The start's own forced refresh installs nothing besides the start's installation.
    EXPECT_EQ(framework->installationRequestCount(), 2u);
    framework->completeInstallation();

    EXPECT_EQ(store.integer(common::keys::contentFilterProviderStartCount), 2);
    EXPECT_EQ(state(), "running");
    EXPECT_EQ(secondOutcome.callCount(), 1);
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"a.com"}));
    EXPECT_EQ(framework->activeWatchCount(), 1u);
}

TEST_F(FilterDataProviderTest, CompletionAfterTheProviderIsGoneOnlyCallsTheHandler) {
    start();
    provider.reset();
    EXPECT_EQ(framework->activeWatchCount(), 0u);

    ASSERT_TRUE(framework->completeInstallationOnAnotherThread("late"));
    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(startOutcome.error(), "late");
    EXPECT_FALSE(state());
}

TEST_F(FilterDataProviderTest, WithoutSuiteFiltersOnWithoutWritingAnything) {
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    auto unwritten = makeProvider(false);
    unwritten->startFilter(startOutcome.handler());
    framework->completeInstallation();
    unwritten->stopFilter(5, nullptr);

    EXPECT_EQ(startOutcome.callCount(), 1);
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"a.com"}));
    EXPECT_EQ(store.synchronizeCount(), 0);
}

// The blob standing in for a missing vendor dictionary is said when a policy is taken or the
// dictionary goes, never once per flow.
TEST_F(FilterDataProviderTest, MissingDictionaryIsSaidPerTakenPolicyNotPerFlow) {
    base::LogCapture logs{common::filterLogSubsystem, "provider"};
    const auto saidAfter = [&](int flows) {
        for (int index = 0; index < flows; ++index) {
            provider->handleNewFlow(
                NEFilterSocketFlow(base::UUID(), std::nullopt, "x.b.com", nullptr, 1));
        }
        const auto messages = logs.messages();
        return std::count(messages.begin(), messages.end(),
                          "filterConfiguration.vendorConfiguration missing");
    };
    publishBlob({"a.com"}, true, 1);
    start();
    EXPECT_EQ(saidAfter(0), 1);
    EXPECT_EQ(saidAfter(50), 1);
    publishBlob({"b.com"}, true, 2);
    EXPECT_EQ(saidAfter(20), 2) << "a new blob version";
    framework->changeVendorConfiguration(vendorConfiguration({"c.com"}, true, 5));
    EXPECT_EQ(saidAfter(20), 2) << "a dictionary arrives";
    framework->changeVendorConfiguration(std::nullopt);
    EXPECT_EQ(saidAfter(20), 3) << "the dictionary goes";
    provider->refreshPolicyIfNeededForTesting(true);
    EXPECT_EQ(saidAfter(0), 4) << "forced reload";
}

// A flow to a.com named by its URL, or a hostless one that goes to inspection under enforcement.
NEFilterSocketFlow webFlow(const base::UUID& identifier, bool hasURL) {
    return NEFilterSocketFlow(
        identifier, hasURL ? base::URL::fromString("https://www.a.com/") : std::nullopt,
        std::nullopt, NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), 1);
}

constexpr int iterations = 300;
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

// The provider hosted by the fake framework, writing to the fake suite: policies, installations,
// verdicts, inspection of hostless flows, races, and the blob cache it reads through.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log/Log.h"
#include "common/ContentFilterPolicy.h"
#include "common/SharedDefaultsKeys.h"
#include "common/VendorConfiguration.h"
#include "fakes/ClientHelloBuilder.h"
#include "fakes/FakeFilterFramework.h"
#include "fakes/FakeUserDefaults.h"
#include "filter/FilterDataProvider.h"
#include "filter/PolicyBlobCache.h"

namespace filter::testing {
namespace {

using namespace common::keys;

// A vendor dictionary as the host application writes it.
base::Value vendorConfiguration(const std::vector<std::string>& domains,
                                bool enforcementEnabled,
                                std::int64_t policyVersion) {
    return common::vendorConfiguration(
        common::ContentFilterPolicy(domains, enforcementEnabled, policyVersion, base::Date{}));
}

// One line per rule: "host a.com:0 any" or "network /0 0.0.0.0:80 tcp"; "!" marks an action
// other than filterData.
std::vector<std::string> describeRules(const NEFilterSettings& settings) {
    const char* protocols[] = {" any", " tcp", " udp"};
    std::vector<std::string> lines;
    for (const auto& [network, action] : settings.rules) {
        const bool isHost = network.kind() == NENetworkRule::Kind::destinationHost;
        lines.push_back((isHost ? "host " : "network /" + std::to_string(network.prefix()) + " ") +
                        network.endpoint()->description() +
                        protocols[static_cast<int>(network.protocol())] +
                        (action == NEFilterAction::filterData ? "" : " !"));
    }
    return lines;
}

// Records the calls of a start completion handler; read it once the calls are joined.
struct StartOutcome {
    SettingsCompletion handler() {
        return [this](std::optional<base::Error> error) {
            ++calls;
            lastError = error ? std::optional(error->description) : std::nullopt;
        };
    }

    std::atomic<int> calls = 0;
    std::optional<std::string> lastError;
};

// A provider hosted by the fake framework, writing to the fake suite, its log captured.
class ProviderTest : public ::testing::Test {
  protected:
    ProviderTest() { base::setLogOutputToStandardError(false); }
    ~ProviderTest() override { base::setLogOutputToStandardError(true); }

    std::shared_ptr<FilterDataProvider> makeProvider(bool suiteAvailable = true) {
        auto made = std::make_shared<FilterDataProvider>(store.opener(suiteAvailable));
        made->attachFramework(framework);
        return made;
    }

    void publishBlob(const std::vector<std::string>& domains,
                     bool enforcementEnabled,
                     std::int64_t policyVersion) {
        store.set(contentFilterPolicyBlob, common::ContentFilterPolicy(domains, enforcementEnabled,
                                                                       policyVersion, base::Date{})
                                               .encode());
    }

    std::optional<std::string> state() const { return store.text(contentFilterExtensionState); }
    std::optional<std::string> summary() const {
        return store.text(contentFilterLastPolicySummary);
    }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<fakes::FakeFilterFramework> framework =
        std::make_shared<fakes::FakeFilterFramework>();
};

using Rules = std::vector<std::string>;

Rules hostRulesThenCatchAll(const std::vector<std::string>& domains) {
    Rules rules;
    for (const auto& domain : domains) {
        rules.push_back("host " + domain + ":0 any");
    }
    for (const char* network : {"0.0.0.0:80", "0.0.0.0:443", "[::]:80", "[::]:443"}) {
        rules.push_back("network /0 " + std::string(network) + " tcp");
    }
    return rules;
}

// A flow described by its parts; a socket flow unless `socket` is false.
struct FlowShape {
    std::optional<std::string> url = std::nullopt;
    bool socket = true;
    std::optional<std::string> remoteHostname = std::nullopt;
    std::optional<std::string> endpointHost = std::nullopt;
    std::string endpointPort = "443";
    std::optional<std::string> opaqueEndpoint = std::nullopt;
    int socketType = SOCK_STREAM;

    std::shared_ptr<NEFilterFlow> build(base::UUID identifier = base::UUID()) const {
        auto parsed = url ? base::URL::fromString(*url) : std::nullopt;
        if (!socket) {
            return std::make_shared<NEFilterFlow>(identifier, parsed);
        }
        std::shared_ptr<const NWEndpoint> endpoint;
        if (endpointHost) {
            endpoint = NWHostEndpoint::endpointWithHostname(*endpointHost, endpointPort);
        } else if (opaqueEndpoint) {
            endpoint = std::make_shared<NWOpaqueEndpoint>(*opaqueEndpoint);
        }
        return std::make_shared<NEFilterSocketFlow>(identifier, parsed, remoteHostname, endpoint,
                                                    socketType);
    }
};

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
    EXPECT_EQ(summary(), "v0 monitoring []");
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "running");
    EXPECT_EQ(framework->installedSettings()->defaultAction, NEFilterAction::allow);
    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(startOutcome.lastError, std::nullopt);
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

// At a flow only a change of version is taken, whatever the versions; a reported configuration
// change takes the policy with force.
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

        publishBlob({"b.com"}, true, testCase.first);
        fresh->handleNewFlow(*FlowShape{}.build());
        EXPECT_EQ(framework->installationRequestCount(), requestsBefore);
        framework->reportConfigurationChange();
        ASSERT_TRUE(framework->completeInstallation());
        EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"b.com"}));

        publishBlob({"c.com"}, false, testCase.second);
        fresh->handleNewFlow(*FlowShape{}.build());
        EXPECT_EQ(framework->installationRequestCount(), requestsBefore + 2);
        framework->completeInstallation();
        EXPECT_EQ(state(), "reconfigured monitoring");
        EXPECT_EQ(summary(), "v" + std::to_string(testCase.second) + " monitoring [c.com]");
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
    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"a.com"}));
    ASSERT_EQ(framework->installationRequestCount(), 2u);

    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "reconfigured blocking");
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"b.com"}));
    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);
}

// Failures are reported and not retried; the next installation that succeeds, or a stop,
// clears them.
TEST_F(FirstInstallationOutstandingTest, FailuresAreReportedUntilASuccessOrAStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, false, 1));
    ASSERT_TRUE(framework->completeInstallation("no permission"));
    EXPECT_EQ(state(), "failed to apply settings");
    EXPECT_EQ(store.text(contentFilterExtensionError), "no permission");
    EXPECT_EQ(startOutcome.lastError, "no permission");

    // The change to monitoring is installed even after the failure.
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "reconfigured monitoring");
    EXPECT_FALSE(store.contains(contentFilterExtensionError));
    EXPECT_EQ(installedRules(), Rules{});

    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 2));
    ASSERT_TRUE(framework->completeInstallation("busy"));
    EXPECT_EQ(store.text(contentFilterExtensionError), "busy");
    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);

    // Stopping records the reason, removes the error and ends the watch.
    bool stopped = false;
    provider->stopFilter(5, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(state(), "stopped (5)");
    EXPECT_FALSE(store.contains(contentFilterExtensionError));
    EXPECT_EQ(framework->activeWatchCount(), 0u);
}

// The configuration form is dated at every load; only what the settings are built from counts.
TEST_F(FirstInstallationOutstandingTest, NothingMoreIsInstalledWithoutAChangeOrAfterStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "running");
    EXPECT_EQ(framework->installationRequestCount(), 1u);
    EXPECT_EQ(framework->outstandingInstallationCount(), 0u);

    // A second start counts, and its own forced refresh installs nothing besides its installation.
    provider->stopFilter(1, nullptr);
    start();
    EXPECT_EQ(store.integer(contentFilterProviderStartCount), 2);
    EXPECT_EQ(framework->activeWatchCount(), 1u);
    framework->changeVendorConfiguration(vendorConfiguration({"b.com"}, true, 2));
    provider->stopFilter(5, nullptr);
    framework->completeInstallation();
    EXPECT_EQ(framework->installationRequestCount(), 2u);
    EXPECT_EQ(startOutcome.calls.load(), 2);
}

// Nothing is reported before the installation completes, and a completion after the provider is
// gone reports nothing either.
TEST_F(FilterDataProviderTest, CompletionAfterTheProviderIsGoneOnlyCallsTheHandler) {
    start();
    provider.reset();
    EXPECT_EQ(framework->activeWatchCount(), 0u);

    ASSERT_TRUE(framework->completeInstallationOnAnotherThread("late"));
    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(startOutcome.lastError, "late");
    EXPECT_FALSE(state());
}

TEST_F(FilterDataProviderTest, WithoutSuiteFiltersOnWithoutWritingAnything) {
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    auto unwritten = makeProvider(false);
    unwritten->startFilter(startOutcome.handler());
    framework->completeInstallation();
    unwritten->stopFilter(5, nullptr);

    EXPECT_EQ(startOutcome.calls.load(), 1);
    EXPECT_EQ(installedRules(), hostRulesThenCatchAll({"a.com"}));
    EXPECT_EQ(store.synchronizeCount(), 0);
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
    // A flow to a.com named by its URL, and a hostless one sent to inspection.
    for (const FlowShape& shape :
         {FlowShape{.url = "https://www.a.com/", .endpointHost = "192.0.2.10"},
          FlowShape{.endpointHost = "192.0.2.10"}}) {
        threads.emplace_back([&, shape] {
            const base::UUID shared;
            for (int index = 0; index < iterations; ++index) {
                const auto flow = shape.build(index % 2 == 0 ? shared : base::UUID());
                provider->handleNewFlow(*flow);
                const std::uint8_t bytes[] = {0x16, 0x03, 0x01};
                provider->handleOutboundData(*flow, 0, bytes);
                provider->handleOutboundDataComplete(*flow);
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
    EXPECT_EQ(store.integer(contentFilterProviderStartCount), startsAsked.load());
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

        EXPECT_EQ(outcome.calls.load(), 1);
        EXPECT_EQ(framework->activeWatchCount(), 0u);
    }
}

using fakes::Bytes;
using fakes::bytesOf;
using fakes::ClientHelloBuilder;

std::string describe(const NEFilterDataVerdict& verdict) {
    using Kind = NEFilterDataVerdict::Kind;
    return verdict.kind == Kind::allow  ? "allow"
           : verdict.kind == Kind::drop ? "drop"
                                        : "pass(" + std::to_string(verdict.passBytes) + ", " +
                                              std::to_string(verdict.peekBytes) + ")";
}

std::string pass(std::size_t count) {
    return describe(NEFilterDataVerdict::pass(count, 1024));
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to = std::string::npos) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

// The start of a handshake record that declares 16 KB, so that it never completes within the
// inspection limit.
Bytes largeRecordStart(std::size_t size) {
    Bytes bytes = {0x16, 0x03, 0x01, 0x40, 0x00, 0x01};
    bytes.resize(size, 0xA5);
    return bytes;
}

// A started provider enforcing a policy from the provider configuration, and one hostless web
// flow that its new-flow decision sent to inspection.
class InspectionTest : public ProviderTest {
  protected:
    void SetUp() override {
        framework->setVendorConfiguration(vendorConfiguration({"example.com"}, true, 1));
        provider->startFilter(nullptr);
        framework->completeAllInstallations();
        ASSERT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::filterData);
    }

    // The same flow as the platform describes it once it knows the remote host's name.
    std::shared_ptr<NEFilterFlow> flowNamed(std::optional<std::string> remoteHostname) const {
        return std::make_shared<NEFilterSocketFlow>(
            identifier, std::nullopt, std::move(remoteHostname),
            NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_STREAM);
    }

    std::vector<std::string> send(const NEFilterFlow& sent, const std::vector<Bytes>& chunks) {
        std::vector<std::string> verdicts;
        for (const auto& chunk : chunks) {
            verdicts.push_back(describe(provider->handleOutboundData(sent, 0, chunk)));
        }
        return verdicts;
    }

    std::shared_ptr<FilterDataProvider> provider = makeProvider();
    const base::UUID identifier;
    const std::shared_ptr<NEFilterFlow> flow = flowNamed(std::nullopt);
};

const Bytes newsHello = ClientHelloBuilder().withServerName("news.org").build();
const Bytes exampleHello = ClientHelloBuilder().withServerName("api.example.com").build();
// A complete ClientHello of about 4200 bytes, its server name at the end, followed by more bytes.
const Bytes paddedHello = [] {
    auto bytes = ClientHelloBuilder()
                     .withExtension({21, Bytes(4100, 0x00), std::nullopt})
                     .withServerName("example.com")
                     .build();
    bytes.resize(5000, 0x17);
    return bytes;
}();
const std::string openHost = "GET / HTTP/1.1\r\nHost: ";
const std::string p50 = pass(50);

using Verdicts = std::vector<std::string>;
struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    Verdicts verdicts;  // one for each chunk
};

const Case cases[] = {
    {"blocked server name", {exampleHello}, {"drop"}},
    {"clean server name", {newsHello}, {"allow"}},
    {"HTTP Host is decided on the first chunk",
     {bytesOf(openHost + "www.Example.com:8080\r\nAccept: */*\r\n\r\n")},
     {"drop"}},
    {"SSH banner is allowed at once", {bytesOf("SSH-2.0-OpenSSH_9.6\r\n")}, {"allow"}},
    {"split ClientHello: pass, then decide",
     {slice(exampleHello, 0, 50), slice(exampleHello, 50)},
     {p50, "drop"}},
    {"Host value cut off waits for its line end",
     {bytesOf(openHost + "www.exam"), bytesOf("ple.com\r\n\r\n")},
     {pass(openHost.size() + 8), "drop"}},
    {"empty chunk leaves the buffer as it was",
     {slice(newsHello, 0, 50), {}, slice(newsHello, 50)},
     {p50, pass(0), "allow"}},
    {"5000-byte chunk cut to 4096: a name past it is not read", {paddedHello}, {"allow"}},
    {"4095 bytes are passed; one more ends it",
     {largeRecordStart(4095), {0x00}},
     {pass(4095), "allow"}},
};

TEST_F(InspectionTest, OutcomeTable) {
    const auto initialObservations = store.integer(contentFilterObservedFlowCount).value_or(0);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // Each case begins with the flow pending and nothing blocked yet.
        ASSERT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::filterData);
        store.remove(contentFilterLastBlockedHost);
        store.setText(contentFilterExtensionState, "running");
        store.set(contentFilterObservedFlowCount, initialObservations);

        EXPECT_EQ(send(*flow, testCase.chunks), testCase.verdicts);
        // One observation per call, never with the sniffed host.
        EXPECT_EQ(store.integer(contentFilterObservedFlowCount),
                  initialObservations + static_cast<std::int64_t>(testCase.chunks.size()));
        EXPECT_EQ(store.text(contentFilterLastObservedHost), "<unavailable>");
        const bool blocked = testCase.verdicts.back() == "drop";
        EXPECT_EQ(store.text(contentFilterLastBlockedHost),
                  blocked ? std::optional<std::string>("example.com") : std::nullopt);
        EXPECT_EQ(state(), blocked ? "blocked example.com" : "running");
        EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
        provider->handleOutboundDataComplete(*flow);
    }
}

TEST_F(InspectionTest, FlowThatGainedAHostIsDecidedOnTheHostNotTheBytes) {
    EXPECT_EQ(send(*flowNamed("news.org"), {exampleHello}), Verdicts{"allow"});
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);

    provider->handleNewFlow(*flow);
    EXPECT_EQ(send(*flowNamed("WWW.Example.com"), {newsHello}), Verdicts{"drop"});
    EXPECT_EQ(store.text(contentFilterLastMatchedDomain), "example.com");
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

TEST_F(InspectionTest, EnforcementSwitchedOffMidFlowAllowsWithoutInspecting) {
    EXPECT_EQ(send(*flow, {slice(exampleHello, 0, 50)}), std::vector{pass(50)});

    // The chunk itself loads the new policy, and then only observes the flow.
    framework->setVendorConfiguration(vendorConfiguration({"example.com"}, false, 2));
    EXPECT_EQ(send(*flow, {slice(exampleHello, 50)}), Verdicts{"allow"});

    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);

    // Nor is a flow that has gained a blocked host dropped.
    EXPECT_EQ(send(*flowNamed("example.com"), {newsHello}), Verdicts{"allow"});
    EXPECT_FALSE(store.contains(contentFilterLastBlockedHost));
}

TEST_F(InspectionTest, LostEntryIsMadeAgainFromTheFlow) {
    send(*flow, {slice(newsHello, 0, 50)});
    provider->stopFilter(0, nullptr);
    provider->startFilter(nullptr);
    framework->completeAllInstallations();
    ASSERT_EQ(provider->pendingInspectionCountForTesting(), 0u);

    // The earlier bytes are gone with the entry: the ClientHello is read from its start again.
    EXPECT_EQ(send(*flow, {slice(newsHello, 0, 50)}), std::vector{pass(50)});
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 1u);
    EXPECT_EQ(send(*flow, {slice(newsHello, 50)}), Verdicts{"allow"});
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

TEST_F(InspectionTest, OutboundCompleteForgetsTheFlowAndDoesNothingElse) {
    send(*flow, {slice(exampleHello, 0, 50)});
    // A new policy version is not loaded by the completion.
    framework->setVendorConfiguration(vendorConfiguration({"news.org"}, true, 2));
    const auto synchronizations = store.synchronizeCount();

    EXPECT_EQ(describe(provider->handleOutboundDataComplete(*flow)), "allow");
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
    EXPECT_EQ(describe(provider->handleOutboundDataComplete(*flow)), "allow");

    EXPECT_EQ(store.synchronizeCount(), synchronizations);
}

// A flow offered again under the same identifier keeps one entry, the later one.
TEST_F(InspectionTest, SameIdentifierKeepsOneEntryTheLaterOne) {
    provider->handleNewFlow(
        *FlowShape{.endpointHost = "198.51.100.7", .endpointPort = "80"}.build(identifier));
    provider->handleNewFlow(*FlowShape{.endpointHost = "198.51.100.7"}.build());
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 2u);
    EXPECT_EQ(provider->pendingInspectionForTesting(identifier)->endpointSummary,
              "198.51.100.7:80");
}

const auto inspectFlow = NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
const auto dropFlow = NEFilterNewFlowVerdict::dropVerdict();

struct VerdictCase {
    const char* name = "";
    std::vector<std::string> domains = {"example.com"};
    bool enforcementEnabled = true;
    FlowShape flow;
    NEFilterNewFlowVerdict verdict = NEFilterNewFlowVerdict::allowVerdict();
    // The host, URL and endpoint last observed, "|" between them.
    std::optional<std::string> observed = std::nullopt;
    // The domain reported by the block decision, if any.
    std::optional<std::string> matchedDomain = std::nullopt;
    // The summary of the pending inspection, if any.
    std::optional<std::string> pendingSummary = std::nullopt;
};

const VerdictCase verdictCases[] = {
    {.name = "empty list allows everything and records nothing",
     .domains = {},
     .flow = {.url = "https://example.com/", .endpointHost = "192.0.2.10"}},
    {.name = "enforcement off records a blocked host but allows it",
     .enforcementEnabled = false,
     .flow = {.url = "https://example.com/a"},
     .observed = "example.com|https://example.com/a|<unavailable>"},
    {.name = "enforcement off does not inspect a hostless web flow",
     .enforcementEnabled = false,
     .flow = {.endpointHost = "192.0.2.10"},
     .observed = "<unavailable>|<unavailable>|192.0.2.10:443"},
    {.name = "host from the URL, normalised",
     .flow = {.url = "https://WWW.Example.COM./path", .remoteHostname = "other.org"},
     .verdict = dropFlow,
     .observed = "example.com|https://WWW.Example.COM./path|other.org",
     .matchedDomain = "example.com"},
    {.name = "host from remoteHostname, normalised",
     .flow = {.remoteHostname = " www.example.com ", .endpointHost = "192.0.2.10"},
     .verdict = dropFlow,
     .observed = "example.com|<unavailable>| www.example.com ",
     .matchedDomain = "example.com"},
    {.name = "URL without a host falls back to remoteHostname",
     .flow = {.url = "example.com/path", .remoteHostname = "example.com"},
     .verdict = dropFlow,
     .observed = "example.com|example.com/path|example.com",
     .matchedDomain = "example.com"},
    {.name = "host from a host endpoint's name",
     .flow = {.endpointHost = "Example.com", .endpointPort = "8443"},
     .verdict = dropFlow,
     .observed = "example.com|<unavailable>|Example.com:8443",
     .matchedDomain = "example.com"},
    {.name = "IPv4 endpoint gives no host: a stream to 443 is inspected",
     .flow = {.endpointHost = "192.0.2.10"},
     .verdict = inspectFlow,
     .observed = "<unavailable>|<unavailable>|192.0.2.10:443",
     .pendingSummary = "192.0.2.10:443"},
    {.name = "IPv6 endpoint gives no host: a stream to 80 is inspected",
     .flow = {.endpointHost = "2001:db8::1", .endpointPort = "80"},
     .verdict = inspectFlow,
     .observed = "<unavailable>|<unavailable>|[2001:db8::1]:80",
     .pendingSummary = "[2001:db8::1]:80"},
    {.name = "hostless datagram flow is allowed",
     .flow = {.endpointHost = "192.0.2.10", .socketType = SOCK_DGRAM},
     .observed = "<unavailable>|<unavailable>|192.0.2.10:443"},
    {.name = "hostless stream to port 444 is allowed",
     .flow = {.endpointHost = "2001:db8::1", .endpointPort = "444"},
     .observed = "<unavailable>|<unavailable>|[2001:db8::1]:444"},
    {.name = "endpoint that is not a host endpoint is neither a host nor inspected",
     .flow = {.opaqueEndpoint = "/var/run/socket"},
     .observed = "<unavailable>|<unavailable>|/var/run/socket"},
    {.name = "plain flow without URL",
     .flow = {.socket = false},
     .observed = "<unavailable>|<unavailable>|<unavailable>"},
    {.name = "address literal in the URL is matched like a name",
     .domains = {"192.0.2.10"},
     .flow = {.url = "http://192.0.2.10/", .endpointHost = "192.0.2.10", .endpointPort = "80"},
     .verdict = dropFlow,
     .observed = "192.0.2.10|http://192.0.2.10/|192.0.2.10:80",
     .matchedDomain = "192.0.2.10"},
    {.name = "host normalised to the empty text counts as found",
     .flow = {.remoteHostname = "www.", .endpointHost = "192.0.2.10"},
     .observed = "|<unavailable>|www."},
    {.name = "blob entries are compared as stored",
     .domains = {"Example.COM", " example.com"},
     .flow = {.remoteHostname = "example.com"},
     .observed = "example.com|<unavailable>|example.com"},
};

TEST_F(ProviderTest, VerdictsAndDiagnostics) {
    for (const auto& testCase : verdictCases) {
        SCOPED_TRACE(testCase.name);
        store.clear();
        publishBlob(testCase.domains, testCase.enforcementEnabled, 1);
        auto provider = makeProvider();
        provider->startFilter(nullptr);
        framework->completeInstallation();
        const base::UUID identifier;
        const auto before = base::Date::now();

        EXPECT_EQ(provider->handleNewFlow(*testCase.flow.build(identifier)), testCase.verdict);
        const auto pending = provider->pendingInspectionForTesting(identifier);
        EXPECT_EQ(pending ? std::optional(pending->endpointSummary) : std::nullopt,
                  testCase.pendingSummary);
        EXPECT_EQ(provider->pendingInspectionCountForTesting(), pending ? 1u : 0u);
        if (testCase.observed) {
            EXPECT_EQ(store.integer(contentFilterObservedFlowCount), 1);
            EXPECT_EQ(store.text(contentFilterLastObservedHost).value_or("?") + "|" +
                          store.text(contentFilterLastObservedURL).value_or("?") + "|" +
                          store.text(contentFilterLastObservedEndpoint).value_or("?"),
                      testCase.observed);
        } else {
            EXPECT_FALSE(store.contains(contentFilterObservedFlowCount));
            EXPECT_FALSE(store.contains(contentFilterLastObservedHost));
        }
        if (testCase.matchedDomain) {
            EXPECT_EQ(store.text(contentFilterLastBlockedHost),
                      testCase.observed->substr(0, testCase.observed->find('|')));
            EXPECT_EQ(store.text(contentFilterLastMatchedDomain), testCase.matchedDomain);
            const auto blockedAt = store.date(contentFilterLastBlockedAt);
            ASSERT_TRUE(blockedAt) << "the time is stored as a date";
            EXPECT_GE(*blockedAt, before);
            EXPECT_LE(*blockedAt, base::Date::now());
            EXPECT_EQ(store.text(contentFilterExtensionState),
                      "blocked " + *testCase.matchedDomain);
            EXPECT_FALSE(store.contains(contentFilterExtensionError));
        } else {
            EXPECT_FALSE(store.contains(contentFilterLastBlockedHost));
            EXPECT_EQ(store.text(contentFilterExtensionState), "running");
        }
    }
}

// Run once with a suite that tells when another handle wrote and once with one that cannot
// tell: the answers must be the same.
class PolicyBlobCacheTest : public ProviderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PolicyBlobCacheTest, FollowsEveryChangeOfTheBlob) {
    store.setReportsExternalChanges(GetParam());
    PolicyBlobCache cache(store.opener()("suite"));
    const std::string key = contentFilterPolicyBlob;
    using Domains = std::vector<std::string>;
    struct Step {
        const char* name;
        std::function<void()> change;
        std::optional<Domains> expected;
    } steps[] = {
        {"no blob yet", [] {}, std::nullopt},
        {"first blob", [&] { publishBlob({"a.com"}, true, 1); }, Domains{"a.com"}},
        {"same version, other domains", [&] { publishBlob({"b.com"}, true, 1); }, Domains{"b.com"}},
        {"undecodable", [&] { store.setData(key, R"({"blockedDomains":[]})"); }, std::nullopt},
        {"valid again", [&] { publishBlob({"c.com"}, true, 2); }, Domains{"c.com"}},
        {"removed", [&] { store.remove(key); }, std::nullopt},
        {"back", [&] { publishBlob({"c.com"}, true, 2); }, Domains{"c.com"}},
        {"a text under the key is no blob",
         [&] {
             const auto bytes = common::ContentFilterPolicy({"a.com"}, true, 3, {}).encode();
             store.setText(key, std::string(bytes.begin(), bytes.end()));
         },
         std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        const auto policy = cache.policy();
        ASSERT_EQ(policy.has_value(), step.expected.has_value());
        if (policy) {
            EXPECT_EQ(policy->blockedDomains(), *step.expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ExternalChanges,
                         PolicyBlobCacheTest,
                         ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reported" : "Unknown"; });

}  // namespace
}  // namespace filter::testing

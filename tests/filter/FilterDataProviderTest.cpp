// The provider hosted by the fake framework, writing to the fake suite: policies, installations,
// verdicts, inspection of hostless flows, races, and the blob cache it reads through. What the
// inspection passes, keeps and forgets is the provider fuzz target's to check.

#include <gtest/gtest.h>
#include <sys/socket.h>

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
using Strings = std::vector<std::string>;

common::ContentFilterPolicy policy(const Strings& domains, bool enforcing, std::int64_t version) {
    return common::ContentFilterPolicy(domains, enforcing, version, base::Date{});
}

// A vendor dictionary as the host application writes it.
base::Value vendorConfiguration(const Strings& domains, bool enforcing, std::int64_t version) {
    return common::vendorConfiguration(policy(domains, enforcing, version));
}

// The four rules that send every web flow to the provider, as installedRules() describes them.
const std::string webCatchAll =
    " /0 0.0.0.0:80 tcp /0 0.0.0.0:443 tcp /0 [::]:80 tcp /0 [::]:443 tcp";

// A flow described by its parts; a socket flow unless `socket` is false.
struct FlowShape {
    std::optional<std::string> url = std::nullopt;
    bool socket = true;
    std::optional<std::string> remoteHostname = std::nullopt;
    std::optional<std::string> endpointHost = std::nullopt;
    std::string endpointPort = "443";
    int socketType = SOCK_STREAM;

    std::shared_ptr<NEFilterFlow> build(base::UUID identifier = base::UUID()) const {
        auto parsed = url ? base::URL::fromString(*url) : std::nullopt;
        if (!socket) {
            return std::make_shared<NEFilterFlow>(identifier, parsed);
        }
        return std::make_shared<NEFilterSocketFlow>(
            identifier, parsed, remoteHostname,
            endpointHost ? NWHostEndpoint::endpointWithHostname(*endpointHost, endpointPort)
                         : nullptr,
            socketType);
    }
};

// A provider hosted by the fake framework, writing to the fake suite, its log kept off standard
// error.
class ProviderTest : public ::testing::Test {
  protected:
    ProviderTest() { base::setLogOutputToStandardError(false); }

    std::shared_ptr<FilterDataProvider> makeProvider(bool suiteAvailable = true) {
        auto made = std::make_shared<FilterDataProvider>(store.opener(suiteAvailable));
        made->attachFramework(framework);
        return made;
    }
    // Starts `provider`, recording the calls of its completion handler.
    void start() {
        provider->startFilter([this](std::optional<base::Error> error) {
            ++startCalls;
            startError = error ? std::optional(error->description) : std::nullopt;
        });
    }
    void publishBlob(const Strings& domains, bool enforcing, std::int64_t version) {
        store.set(contentFilterPolicyBlob, policy(domains, enforcing, version).encode());
    }
    // The text stored under `key`, "-" when there is none.
    std::string text(const std::string& key) const { return store.text(key).value_or("-"); }
    std::string state() const { return text(contentFilterExtensionState); }
    // The installed rules: " a.com:0 any" for a host rule, " /0 [::]:80 tcp" for a network rule,
    // " !" after an action other than filterData.
    std::string installedRules() const {
        const char* protocols[] = {" any", " tcp", " udp"};
        const auto settings = framework->installedSettings().value();
        std::string rules;
        for (const auto& [network, action] : settings.rules) {
            const bool isHost = network.kind() == NENetworkRule::Kind::destinationHost;
            rules += (isHost ? " " : " /" + std::to_string(network.prefix()) + " ") +
                     network.endpoint()->description() +
                     protocols[static_cast<int>(network.protocol())] +
                     (action == NEFilterAction::filterData ? "" : " !");
        }
        return rules;
    }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<fakes::FakeFilterFramework> framework =
        std::make_shared<fakes::FakeFilterFramework>();
    std::shared_ptr<FilterDataProvider> provider = makeProvider();
    int startCalls = 0;
    std::optional<std::string> startError;
};

TEST_F(ProviderTest, FirstStartWithoutAnySourceRunsTheEmptyPolicy) {
    start();
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(text(contentFilterLastPolicySummary) + " / " + state(), "v0 monitoring [] / running");
    EXPECT_EQ(framework->installedSettings()->defaultAction, NEFilterAction::allow);
    EXPECT_EQ(startCalls, 1);
    EXPECT_EQ(startError, std::nullopt);
}

TEST_F(ProviderTest, VendorDictionaryIsReadLeniently) {
    using base::Array;
    using base::Dictionary;
    struct Case {
        const char* name;
        base::Value vendorConfiguration;
        std::string expected;  // the policy summary, then the installed rules
    } cases[] = {
        {"empty", Dictionary{}, "v0 monitoring []"},
        {"normalised, deduplicated, empty entries dropped",
         Dictionary{{"blockedDomains", Array{" WWW.Example.COM:443 ", "example.com", "", "..."}},
                    {"enforcementEnabled", true},
                    {"policyVersion", 2}},
         "v2 blocking [example.com] example.com:0 any" + webCatchAll},
        {"sorted", Dictionary{{"blockedDomains", Array{"b.com", "a.com"}}},
         "v0 monitoring [a.com, b.com]"},
        // Enforcing an empty list installs no rule at all, not even the catch-all ones.
        {"one element not a text empties the list",
         Dictionary{{"blockedDomains", Array{"a.com", 7}}, {"enforcementEnabled", true}},
         "v0 blocking []"},
        {"list of another type", Dictionary{{"blockedDomains", "a.com"}}, "v0 monitoring []"},
        // Kinds other than those stored by the host application are ignored.
        {"version as real", Dictionary{{"policyVersion", 3.0}}, "v0 monitoring []"},
        {"enforcement as integer", Dictionary{{"enforcementEnabled", 1}}, "v0 monitoring []"},
    };
    // A vendor dictionary, even an empty one, wins over a valid blob.
    publishBlob({"a.com"}, true, 5);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        framework->setVendorConfiguration(testCase.vendorConfiguration);
        makeProvider()->startFilter(nullptr);
        framework->completeAllInstallations();
        EXPECT_EQ(text(contentFilterLastPolicySummary) + installedRules(), testCase.expected);
    }
}

// At a flow only a change of version is taken, even down; a reported configuration change takes
// the policy with force.
TEST_F(ProviderTest, AnyChangeOfVersionReinstalls) {
    publishBlob({"a.com"}, true, 5);
    provider->startFilter(nullptr);
    framework->completeInstallation();

    publishBlob({"b.com"}, true, 5);
    provider->handleNewFlow(*FlowShape{}.build());
    EXPECT_FALSE(framework->completeInstallation());
    framework->changeVendorConfiguration(std::nullopt);
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(installedRules(), " b.com:0 any" + webCatchAll);

    publishBlob({"c.com"}, false, 3);
    provider->handleNewFlow(*FlowShape{}.build());
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_FALSE(framework->completeInstallation());
    EXPECT_EQ(text(contentFilterLastPolicySummary) + " / " + state() + installedRules(),
              "v3 monitoring [c.com] / reconfigured monitoring");
}

struct FirstInstallationOutstandingTest : ProviderTest {
    void SetUp() override {
        framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
        start();
    }
};

TEST_F(FirstInstallationOutstandingTest, ChangeIsInstalledOnceTheFirstInstallationCompletes) {
    framework->changeVendorConfiguration(vendorConfiguration({"b.com"}, true, 2));
    EXPECT_EQ(text(contentFilterLastPolicySummary), "v2 blocking [b.com]");

    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state() + installedRules(), "running a.com:0 any" + webCatchAll);
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state() + installedRules(), "reconfigured blocking b.com:0 any" + webCatchAll);
    EXPECT_FALSE(framework->completeInstallation());
    EXPECT_EQ(startCalls, 1);
}

// Failures are reported and not retried; the next installation that succeeds, or a stop,
// clears them.
TEST_F(FirstInstallationOutstandingTest, FailuresAreReportedUntilASuccessOrAStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, false, 1));
    ASSERT_TRUE(framework->completeInstallation("no permission"));
    EXPECT_EQ(state() + " / " + text(contentFilterExtensionError),
              "failed to apply settings / no permission");
    EXPECT_EQ(startError, "no permission");

    // The change to monitoring is installed even after the failure.
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state() + " / " + text(contentFilterExtensionError) + installedRules(),
              "reconfigured monitoring / -");

    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 2));
    ASSERT_TRUE(framework->completeInstallation("busy"));
    EXPECT_EQ(text(contentFilterExtensionError), "busy");
    EXPECT_FALSE(framework->completeInstallation());
    EXPECT_EQ(startCalls, 1);

    // Stopping records the reason, removes the error and ends the watch.
    bool stopped = false;
    provider->stopFilter(5, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(state() + " / " + text(contentFilterExtensionError), "stopped (5) / -");
    EXPECT_EQ(framework->activeWatchCount(), 0u);
}

// The configuration form is dated at every load; only what the settings are built from counts.
TEST_F(FirstInstallationOutstandingTest, NothingMoreIsInstalledWithoutAChangeOrAfterStop) {
    framework->changeVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_EQ(state(), "running");
    EXPECT_FALSE(framework->completeInstallation());

    // A second start counts, and its own forced refresh installs nothing besides its installation.
    provider->stopFilter(1, nullptr);
    start();
    EXPECT_EQ(store.integer(contentFilterProviderStartCount), 2);
    EXPECT_EQ(framework->activeWatchCount(), 1u);
    framework->changeVendorConfiguration(vendorConfiguration({"b.com"}, true, 2));
    provider->stopFilter(5, nullptr);
    ASSERT_TRUE(framework->completeInstallation());
    EXPECT_FALSE(framework->completeInstallation());
    EXPECT_EQ(startCalls, 2);
}

// Nothing is reported before the installation completes, and a completion after the provider is
// gone reports nothing either.
TEST_F(ProviderTest, CompletionAfterTheProviderIsGoneOnlyCallsTheHandler) {
    start();
    provider.reset();
    std::thread([&] { EXPECT_TRUE(framework->completeInstallation("late")); }).join();
    EXPECT_EQ(startCalls, 1);
    EXPECT_EQ(startError, "late");
    EXPECT_FALSE(store.contains(contentFilterExtensionState));
}

TEST_F(ProviderTest, WithoutSuiteFiltersOnWithoutWritingAnything) {
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    auto unwritten = makeProvider(false);
    unwritten->startFilter(nullptr);
    framework->completeInstallation();
    unwritten->stopFilter(5, nullptr);

    EXPECT_EQ(installedRules(), " a.com:0 any" + webCatchAll);
    EXPECT_EQ(store.synchronizeCount(), 0);
}

// Callbacks, configuration changes, blob updates, installation completions and start/stop cycles
// on threads of their own, then the provider's release while the watch fires and installations
// complete: the run must end (no deadlock), every start handler must be called exactly once, and
// ThreadSanitizer must find no race.
TEST_F(ProviderTest, CallbacksWatchCompletionsAndReleaseRace) {
    constexpr int iterations = 300;
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    std::atomic<int> startsAnswered{0};
    std::atomic<bool> running{true};
    auto countStart = [&](std::optional<base::Error>) { ++startsAnswered; };
    provider->startFilter(countStart);

    std::thread watcher([&] {
        for (int index = 0; running; ++index) {
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
    std::vector<std::thread> callers;
    // A flow to a.com named by its URL, and a hostless one sent to inspection.
    for (const FlowShape& shape :
         {FlowShape{.url = "https://www.a.com/", .endpointHost = "192.0.2.10"},
          FlowShape{.endpointHost = "192.0.2.10"}}) {
        callers.emplace_back([&, shape] {
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
    callers.emplace_back([&] {
        for (int index = 0; index < iterations / 10; ++index) {
            provider->stopFilter(index, nullptr);
            provider->startFilter(countStart);
        }
    });
    for (auto& thread : callers) {
        thread.join();
    }
    provider.reset();
    running = false;
    watcher.join();
    completer.join();
    framework->completeAllInstallations();

    EXPECT_EQ(startsAnswered, 1 + iterations / 10);
    EXPECT_EQ(framework->activeWatchCount(), 0u);
}

const auto inspectFlow = NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
const auto dropFlow = NEFilterNewFlowVerdict::dropVerdict();
const auto allowFlow = NEFilterNewFlowVerdict::allowVerdict();

struct VerdictCase {
    FlowShape flow;
    // The verdict, then the host, URL and endpoint last observed, "|" between them.
    std::string expected;
    Strings domains = {"example.com"};
    bool enforcementEnabled = true;
};

const VerdictCase verdictCases[] = {
    // An empty list allows everything and records nothing.
    {{.url = "https://example.com/", .endpointHost = "192.0.2.10"}, "allow", {}},
    // Without enforcement a blocked host is recorded but allowed, and a hostless web flow is not
    // inspected.
    {{.url = "https://example.com/a"},
     "allow example.com|https://example.com/a|<unavailable>",
     {"example.com"},
     false},
    {{.endpointHost = "192.0.2.10"},
     "allow <unavailable>|<unavailable>|192.0.2.10:443",
     {"example.com"},
     false},
    // The host comes from the URL, else remoteHostname, else a host endpoint's name, normalised.
    {{.url = "https://WWW.Example.COM./path", .remoteHostname = "other.org"},
     "drop example.com|https://WWW.Example.COM./path|other.org"},
    {{.url = "example.com/path", .remoteHostname = " www.example.com "},
     "drop example.com|example.com/path| www.example.com "},
    {{.endpointHost = "Example.com", .endpointPort = "8443"},
     "drop example.com|<unavailable>|Example.com:8443"},
    // An address endpoint gives no host: only a stream to port 80 or 443 is inspected.
    {{.endpointHost = "2001:db8::1", .endpointPort = "80"},
     "inspect <unavailable>|<unavailable>|[2001:db8::1]:80"},
    {{.endpointHost = "192.0.2.10", .socketType = SOCK_DGRAM},
     "allow <unavailable>|<unavailable>|192.0.2.10:443"},
    {{.endpointHost = "2001:db8::1", .endpointPort = "444"},
     "allow <unavailable>|<unavailable>|[2001:db8::1]:444"},
    // A flow that is no socket flow has no host.
    {{.socket = false}, "allow <unavailable>|<unavailable>|<unavailable>"},
    // An address literal in the URL is matched like a name.
    {{.url = "http://192.0.2.10/", .endpointHost = "192.0.2.10", .endpointPort = "80"},
     "drop 192.0.2.10|http://192.0.2.10/|192.0.2.10:80",
     {"192.0.2.10"}},
    // The blob's entries are compared as stored.
    {{.remoteHostname = "example.com"},
     "allow example.com|<unavailable>|example.com",
     {"Example.COM", " example.com"}},
};

TEST_F(ProviderTest, VerdictsAndDiagnostics) {
    for (const auto& testCase : verdictCases) {
        SCOPED_TRACE(testCase.expected);
        store.clear();
        publishBlob(testCase.domains, testCase.enforcementEnabled, 1);
        auto fresh = makeProvider();
        fresh->startFilter(nullptr);
        framework->completeInstallation();
        const auto before = base::Date::now();

        const auto verdict = fresh->handleNewFlow(*testCase.flow.build());
        const bool isDropped = verdict == dropFlow;
        const std::string verdictText = isDropped                ? "drop"
                                        : verdict == inspectFlow ? "inspect"
                                        : verdict == allowFlow   ? "allow"
                                                                 : "other";
        EXPECT_EQ(store.integer(contentFilterObservedFlowCount) == 1
                      ? verdictText + " " + text(contentFilterLastObservedHost) + "|" +
                            text(contentFilterLastObservedURL) + "|" +
                            text(contentFilterLastObservedEndpoint)
                      : verdictText,
                  testCase.expected);
        EXPECT_EQ(fresh->pendingInspectionCountForTesting(), verdict == inspectFlow);
        // A block records the host, the entry that matched it, and the time as a date.
        const std::string matched = isDropped ? testCase.domains.front() : "-";
        EXPECT_EQ(state(), isDropped ? "blocked " + matched : "running");
        EXPECT_EQ(text(contentFilterLastBlockedHost) + " " + text(contentFilterLastMatchedDomain),
                  (isDropped ? text(contentFilterLastObservedHost) : "-") + " " + matched);
        EXPECT_EQ(store.date(contentFilterLastBlockedAt).value_or(base::Date{}) >= before,
                  isDropped);
    }
}

using fakes::Bytes;
using Verdicts = std::vector<NEFilterDataVerdict>;
const auto allow = NEFilterDataVerdict::allow();
const auto drop = NEFilterDataVerdict::drop();

const Bytes newsHello = fakes::ClientHelloBuilder().withServerName("news.org").build();
const Bytes exampleHello = fakes::ClientHelloBuilder().withServerName("api.example.com").build();

// A started provider enforcing a policy from the provider configuration, and one hostless web
// flow.
struct InspectionTest : ProviderTest {
    void SetUp() override {
        framework->setVendorConfiguration(vendorConfiguration({"example.com"}, true, 1));
        provider->startFilter(nullptr);
        framework->completeAllInstallations();
    }

    // The flow, named once the platform knows the remote host's name.
    std::shared_ptr<NEFilterFlow> flowNamed(std::optional<std::string> name = std::nullopt) {
        return FlowShape{.remoteHostname = name, .endpointHost = "192.0.2.10"}.build(identifier);
    }

    Verdicts send(const NEFilterFlow& sent, const std::vector<Bytes>& chunks) {
        Verdicts verdicts;
        for (const auto& chunk : chunks) {
            verdicts.push_back(provider->handleOutboundData(sent, 0, chunk));
        }
        return verdicts;
    }

    const base::UUID identifier;
};

TEST_F(InspectionTest, OutcomeTable) {
    // A complete ClientHello of about 4200 bytes, its server name at the end, then more bytes.
    auto paddedHello = fakes::ClientHelloBuilder()
                           .withExtension({21, Bytes(4100, 0x00), std::nullopt})
                           .withServerName("example.com")
                           .build();
    paddedHello.resize(5000, 0x17);
    const struct {
        const char* name;
        std::vector<Bytes> chunks;
        Verdicts verdicts;  // one for each chunk
    } cases[] = {
        {"blocked server name", {exampleHello}, {drop}},
        {"clean server name", {newsHello}, {allow}},
        {"HTTP Host is decided on the first chunk",
         {fakes::bytesOf("GET / HTTP/1.1\r\nHost: www.Example.com:8080\r\nAccept: */*\r\n\r\n")},
         {drop}},
        {"split ClientHello: pass, then decide on the whole",
         {Bytes(exampleHello.begin(), exampleHello.begin() + 50),
          Bytes(exampleHello.begin() + 50, exampleHello.end())},
         {NEFilterDataVerdict::pass(50, 1024), drop}},
        {"neither HTTP nor TLS: allowed at once",
         {fakes::bytesOf("SSH-2.0-OpenSSH_9.2\r\n")},
         {allow}},
        {"5000-byte chunk cut to 4096: a name past it is not read", {paddedHello}, {allow}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_EQ(provider->handleNewFlow(*flowNamed()), inspectFlow);
        store.clear();
        EXPECT_EQ(send(*flowNamed(), testCase.chunks), testCase.verdicts);
        // The sniffed host is never recorded as observed.
        EXPECT_EQ(text(contentFilterLastObservedHost), "<unavailable>");
        EXPECT_EQ(text(contentFilterLastBlockedHost) + " / " + state(),
                  testCase.verdicts.back() == drop ? "example.com / blocked example.com" : "- / -");
    }
}

TEST_F(InspectionTest, FlowThatGainedAHostIsDecidedOnTheHostNotTheBytes) {
    provider->handleNewFlow(*flowNamed());
    EXPECT_EQ(send(*flowNamed("news.org"), {exampleHello}), Verdicts{allow});
    provider->handleNewFlow(*flowNamed());
    EXPECT_EQ(send(*flowNamed("WWW.Example.com"), {newsHello}), Verdicts{drop});
    EXPECT_EQ(text(contentFilterLastMatchedDomain), "example.com");
}

// Run once with a suite that tells when another handle wrote and once with one that cannot
// tell: the answers must be the same.
class PolicyBlobCacheTest : public ProviderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PolicyBlobCacheTest, FollowsEveryChangeOfTheBlob) {
    store.setReportsExternalChanges(GetParam());
    PolicyBlobCache cache(store.opener()("suite"));
    const std::string key = contentFilterPolicyBlob;
    const auto validText = R"({"blockedDomains":["a.com"],"enforcementEnabled":true,)"
                           R"("policyVersion":3,"updatedAt":0})";
    const struct {
        const char* name;
        std::function<void()> change;
        std::optional<Strings> expected;
    } steps[] = {
        {"no blob yet", [] {}, std::nullopt},
        {"first blob", [&] { publishBlob({"a.com"}, true, 1); }, Strings{"a.com"}},
        {"same version, other domains", [&] { publishBlob({"b.com"}, true, 1); }, Strings{"b.com"}},
        {"undecodable", [&] { store.setData(key, R"({"blockedDomains":[]})"); }, std::nullopt},
        {"valid again", [&] { publishBlob({"c.com"}, true, 2); }, Strings{"c.com"}},
        {"removed", [&] { store.remove(key); }, std::nullopt},
        {"a text under the key is no blob", [&] { store.setText(key, validText); }, std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        const auto policy = cache.policy();
        EXPECT_EQ(policy ? std::optional(policy->blockedDomains()) : std::nullopt, step.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(ExternalChanges,
                         PolicyBlobCacheTest,
                         ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reported" : "Unknown"; });

}  // namespace
}  // namespace filter::testing

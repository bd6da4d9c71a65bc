#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "common/HostNormalization.h"
#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using common::keys::contentFilterLastBlockedAt;
using common::keys::contentFilterLastBlockedHost;
using common::keys::contentFilterLastMatchedDomain;
using common::keys::contentFilterLastObservedEndpoint;
using common::keys::contentFilterLastObservedHost;
using common::keys::contentFilterLastObservedURL;
using common::keys::contentFilterObservedFlowCount;

constexpr char unavailable[] = "<unavailable>";

// A flow described by its parts; a socket flow unless `socket` is false.
struct FlowSpec {
    std::optional<std::string> url = std::nullopt;
    bool socket = true;
    std::optional<std::string> remoteHostname = std::nullopt;
    std::optional<std::string> endpointHost = std::nullopt;
    std::string endpointPort = "443";
    std::optional<std::string> opaqueEndpoint = std::nullopt;
    int socketType = SOCK_STREAM;

    std::shared_ptr<NEFilterFlow> build(platform::UUID identifier = platform::UUID()) const {
        std::optional<platform::URL> parsed;
        if (url) {
            parsed = platform::URL::fromString(*url);
        }
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

const auto inspectVerdict = NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);

// A started provider whose policy is the blob `domains` (kept as listed), on a suite of its own.
class Harness {
  public:
    Harness(const std::vector<std::string>& domains, bool enforcementEnabled, bool suite = true) {
        store.install(suite);
        store.set(
            common::keys::contentFilterPolicyBlob,
            common::ContentFilterPolicy(domains, enforcementEnabled, 1, platform::Date{}).encode());
        provider = std::make_shared<FilterDataProvider>();
        provider->attachFramework(framework);
        provider->startFilter(nullptr);
        framework->completeInstallation();
        logs.clear();
    }
    ~Harness() { fakes::FakeUserDefaultsStore::uninstall(); }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<fakes::FakeFilterFramework> framework =
        std::make_shared<fakes::FakeFilterFramework>();
    platform::LogCapture logs{common::filterLogSubsystem, "provider"};
    std::shared_ptr<FilterDataProvider> provider;
};

struct Case {
    const char* name = "";
    std::vector<std::string> domains = {};
    bool enforcementEnabled = true;
    FlowSpec flow;
    NEFilterNewFlowVerdict verdict = NEFilterNewFlowVerdict::allowVerdict();
    // The observation recorded, if any: host, URL text and endpoint summary.
    std::optional<std::string> observedHost = std::nullopt;
    std::string observedURL = unavailable;
    std::string observedEndpoint = unavailable;
    // The domain reported by the block decision, if any.
    std::optional<std::string> matchedDomain = std::nullopt;
    // The summary of the pending inspection, if any.
    std::optional<std::string> pendingSummary = std::nullopt;
};

const std::vector<std::string> example = {"example.com"};

const Case cases[] = {
    {.name = "empty list allows everything and records nothing",
     .domains = {},
     .flow = {.url = "https://example.com/", .endpointHost = "192.0.2.10"}},
    {.name = "enforcement off records a blocked host but allows it",
     .domains = example,
     .enforcementEnabled = false,
     .flow = {.url = "https://example.com/a"},
     .observedHost = "example.com",
     .observedURL = "https://example.com/a"},
    {.name = "enforcement off does not inspect a hostless web flow",
     .domains = example,
     .enforcementEnabled = false,
     .flow = {.endpointHost = "192.0.2.10"},
     .observedHost = unavailable,
     .observedEndpoint = "192.0.2.10:443"},
    {.name = "host from the URL, normalised",
     .domains = example,
     .flow = {.url = "https://WWW.Example.COM./path", .remoteHostname = "other.org"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "example.com",
     .observedURL = "https://WWW.Example.COM./path",
     .observedEndpoint = "other.org",
     .matchedDomain = "example.com"},
    {.name = "host from remoteHostname, normalised",
     .domains = example,
     .flow = {.remoteHostname = " www.example.com ", .endpointHost = "192.0.2.10"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "example.com",
     .observedEndpoint = " www.example.com ",
     .matchedDomain = "example.com"},
    {.name = "remoteHostname loses an inner www. and the port",
     .domains = example,
     .flow = {.remoteHostname = "sub.www.example.com:444"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "sub.example.com",
     .observedEndpoint = "sub.www.example.com:444",
     .matchedDomain = "example.com"},
    {.name = "URL without a host falls back to remoteHostname",
     .domains = example,
     .flow = {.url = "example.com/path", .remoteHostname = "example.com"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "example.com",
     .observedURL = "example.com/path",
     .observedEndpoint = "example.com",
     .matchedDomain = "example.com"},
    {.name = "host from a host endpoint's name",
     .domains = example,
     .flow = {.endpointHost = "Example.com", .endpointPort = "8443"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "example.com",
     .observedEndpoint = "Example.com:8443",
     .matchedDomain = "example.com"},
    {.name = "IPv4 endpoint gives no host: a stream to 443 is inspected",
     .domains = example,
     .flow = {.endpointHost = "192.0.2.10"},
     .verdict = inspectVerdict,
     .observedHost = unavailable,
     .observedEndpoint = "192.0.2.10:443",
     .pendingSummary = "192.0.2.10:443"},
    {.name = "IPv6 endpoint gives no host: a stream to 80 is inspected",
     .domains = example,
     .flow = {.endpointHost = "2001:db8::1", .endpointPort = "80"},
     .verdict = inspectVerdict,
     .observedHost = unavailable,
     .observedEndpoint = "[2001:db8::1]:80",
     .pendingSummary = "[2001:db8::1]:80"},
    {.name = "hostless datagram flow is allowed",
     .domains = example,
     .flow = {.endpointHost = "192.0.2.10", .socketType = SOCK_DGRAM},
     .observedHost = unavailable,
     .observedEndpoint = "192.0.2.10:443"},
    {.name = "hostless stream to port 444 is allowed",
     .domains = example,
     .flow = {.endpointHost = "2001:db8::1", .endpointPort = "444"},
     .observedHost = unavailable,
     .observedEndpoint = "[2001:db8::1]:444"},
    {.name = "endpoint that is not a host endpoint is neither a host nor inspected",
     .domains = example,
     .flow = {.opaqueEndpoint = "/var/run/socket"},
     .observedHost = unavailable,
     .observedEndpoint = "/var/run/socket"},
    {.name = "plain flow without URL",
     .domains = example,
     .flow = {.socket = false},
     .observedHost = unavailable},
    {.name = "address literal in the URL is matched like a name",
     .domains = {"192.0.2.10"},
     .flow = {.url = "http://192.0.2.10/", .endpointHost = "192.0.2.10", .endpointPort = "80"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "192.0.2.10",
     .observedURL = "http://192.0.2.10/",
     .observedEndpoint = "192.0.2.10:80",
     .matchedDomain = "192.0.2.10"},
    {.name = "host normalised to the empty text counts as found",
     .domains = example,
     .flow = {.remoteHostname = "www.", .endpointHost = "192.0.2.10"},
     .observedHost = "",
     .observedEndpoint = "www."},
    {.name = "the empty host matches an empty entry",
     .domains = {""},
     .flow = {.url = "https://:443/"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "",
     .observedURL = "https://:443/",
     .matchedDomain = ""},
    {.name = "first covering entry wins",
     .domains = {"ads.example.com", "example.com"},
     .flow = {.url = "https://x.ads.example.com/"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "x.ads.example.com",
     .observedURL = "https://x.ads.example.com/",
     .matchedDomain = "ads.example.com"},
    {.name = "first covering entry wins, reversed list",
     .domains = {"example.com", "ads.example.com"},
     .flow = {.url = "https://x.ads.example.com/"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "x.ads.example.com",
     .observedURL = "https://x.ads.example.com/",
     .matchedDomain = "example.com"},
    {.name = "a name below the domain is covered",
     .domains = example,
     .flow = {.remoteHostname = "a.b.example.com"},
     .verdict = NEFilterNewFlowVerdict::dropVerdict(),
     .observedHost = "a.b.example.com",
     .observedEndpoint = "a.b.example.com",
     .matchedDomain = "example.com"},
    {.name = "no match without a label boundary",
     .domains = example,
     .flow = {.remoteHostname = "badexample.com"},
     .observedHost = "badexample.com",
     .observedEndpoint = "badexample.com"},
    {.name = "no match for the domain followed by more labels",
     .domains = example,
     .flow = {.remoteHostname = "example.com.evil.net"},
     .observedHost = "example.com.evil.net",
     .observedEndpoint = "example.com.evil.net"},
    {.name = "blob entries are compared as stored",
     .domains = {"Example.COM", " example.com"},
     .flow = {.remoteHostname = "example.com"},
     .observedHost = "example.com",
     .observedEndpoint = "example.com"},
};

std::string describe(const NEFilterNewFlowVerdict& verdict) {
    switch (verdict.kind) {
        case NEFilterNewFlowVerdict::Kind::allow:
            return "allow";
        case NEFilterNewFlowVerdict::Kind::drop:
            return "drop";
        case NEFilterNewFlowVerdict::Kind::filterData:
            return "filterData(" + std::to_string(verdict.filterInbound) + "," +
                   std::to_string(verdict.peekInboundBytes) + "," +
                   std::to_string(verdict.filterOutbound) + "," +
                   std::to_string(verdict.peekOutboundBytes) + ")";
    }
    return "?";
}

// The lines a new flow logs; the refresh that comes first reports the missing dictionary when the
// policy is the blob.
std::vector<std::string> expectedLogLines(const Case& testCase, bool policyFromBlob) {
    std::vector<std::string> lines;
    if (policyFromBlob) {
        lines.push_back("filterConfiguration.vendorConfiguration missing");
    }
    if (testCase.pendingSummary) {
        lines.push_back("observed flow host=" + *testCase.observedHost +
                        " url=" + testCase.observedURL + " endpoint=" + testCase.observedEndpoint);
        lines.push_back("inspecting unresolved flow endpoint=" + *testCase.pendingSummary);
        return lines;
    }
    if (testCase.observedHost) {
        lines.push_back("observed flow host=" + *testCase.observedHost +
                        " url=" + testCase.observedURL + " endpoint=" + testCase.observedEndpoint);
    }
    if (testCase.matchedDomain) {
        lines.push_back("blocked flow host=" + *testCase.observedHost +
                        " domain=" + *testCase.matchedDomain);
    }
    return lines;
}

TEST(FilterDataProviderVerdictsTest, VerdictsAndDiagnostics) {
    platform::setLogOutputToStandardError(false);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Harness harness(testCase.domains, testCase.enforcementEnabled);
        const platform::UUID identifier;
        const auto before = platform::Date::now();

        const auto verdict = harness.provider->handleNewFlow(*testCase.flow.build(identifier));

        EXPECT_EQ(describe(verdict), describe(testCase.verdict));
        EXPECT_EQ(harness.logs.messages(), expectedLogLines(testCase, true));
        const auto& store = harness.store;
        if (testCase.observedHost) {
            EXPECT_EQ(store.integer(contentFilterObservedFlowCount), 1);
            EXPECT_EQ(store.text(contentFilterLastObservedHost), testCase.observedHost);
            EXPECT_EQ(store.text(contentFilterLastObservedURL), testCase.observedURL);
            EXPECT_EQ(store.text(contentFilterLastObservedEndpoint), testCase.observedEndpoint);
        } else {
            EXPECT_FALSE(store.contains(contentFilterObservedFlowCount));
            EXPECT_FALSE(store.contains(contentFilterLastObservedHost));
        }
        if (testCase.matchedDomain) {
            EXPECT_EQ(store.text(contentFilterLastBlockedHost), testCase.observedHost);
            EXPECT_EQ(store.text(contentFilterLastMatchedDomain), testCase.matchedDomain);
            const auto blockedAt = store.date(contentFilterLastBlockedAt);
            ASSERT_TRUE(blockedAt) << "the time is stored as a date";
            EXPECT_GE(*blockedAt, before);
            EXPECT_LE(*blockedAt, platform::Date::now());
            EXPECT_EQ(store.text(common::keys::contentFilterExtensionState),
                      "blocked " + *testCase.matchedDomain);
            EXPECT_FALSE(store.contains(common::keys::contentFilterExtensionError));
        } else {
            EXPECT_FALSE(store.contains(contentFilterLastBlockedHost));
            EXPECT_FALSE(store.contains(contentFilterLastBlockedAt));
            EXPECT_EQ(store.text(common::keys::contentFilterExtensionState), "running");
        }
        const auto pending = harness.provider->pendingInspectionForTesting(identifier);
        EXPECT_EQ(pending ? std::optional(pending->endpointSummary) : std::nullopt,
                  testCase.pendingSummary);
        if (pending) {
            EXPECT_TRUE(pending->bufferedOutboundData.empty());
        }
        EXPECT_EQ(harness.provider->pendingInspectionCountForTesting(),
                  testCase.pendingSummary ? 1u : 0u);
    }
    platform::setLogOutputToStandardError(true);
}

TEST(FilterDataProviderVerdictsTest, WithoutTheSuiteVerdictsAndLogLinesAreUnchanged) {
    platform::setLogOutputToStandardError(false);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // Without a suite there is no blob: the same policy comes from the configuration form,
        // which sorts and normalises, so only cases whose list it keeps as it is are replayed.
        auto sorted = testCase.domains;
        std::sort(sorted.begin(), sorted.end());
        if (sorted != testCase.domains ||
            std::any_of(sorted.begin(), sorted.end(), [](const auto& domain) {
                return domain.empty() || common::normalizedHostText(domain) != domain;
            })) {
            continue;
        }
        Harness harness(testCase.domains, testCase.enforcementEnabled, false);
        harness.framework->changeVendorConfiguration(
            vendorConfiguration(testCase.domains, testCase.enforcementEnabled, 1));
        harness.logs.clear();

        const auto verdict = harness.provider->handleNewFlow(*testCase.flow.build());

        EXPECT_EQ(describe(verdict), describe(testCase.verdict));
        EXPECT_EQ(harness.logs.messages(), expectedLogLines(testCase, false));
        EXPECT_EQ(harness.store.synchronizeCount(), 0);
    }
    platform::setLogOutputToStandardError(true);
}

class PendingInspectionTest : public ProviderTest {
  protected:
    void SetUp() override {
        publishBlob({"example.com"}, true, 1);
        provider->startFilter(nullptr);
        framework->completeInstallation();
    }
    std::shared_ptr<FilterDataProvider> provider = makeProvider();
};

TEST_F(PendingInspectionTest, SameIdentifierKeepsOneEntryTheLaterOne) {
    const platform::UUID identifier;
    provider->handleNewFlow(*FlowSpec{.endpointHost = "192.0.2.10"}.build(identifier));
    provider->handleNewFlow(
        *FlowSpec{.endpointHost = "198.51.100.7", .endpointPort = "80"}.build(identifier));
    provider->handleNewFlow(*FlowSpec{.endpointHost = "192.0.2.99"}.build());

    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 2u);
    EXPECT_EQ(provider->pendingInspectionForTesting(identifier)->endpointSummary,
              "198.51.100.7:80");
    EXPECT_EQ(store.integer(contentFilterObservedFlowCount), 3);

    provider->stopFilter(0, nullptr);
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

TEST_F(PendingInspectionTest, PublishedPolicyDecidesTheNextFlow) {
    const auto flow = FlowSpec{.remoteHostname = "news.org"}.build();
    EXPECT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::allow);

    publishBlob({"news.org"}, true, 2);
    logs.clear();
    EXPECT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::drop);
    // The refresh comes first; the flow is decided under the policy it loaded.
    const auto messages = logs.messages();
    const std::vector<std::string> expected = {
        "filterConfiguration.vendorConfiguration missing",
        "loaded policy version=2 enforcement=true domains=news.org",
        "observed flow host=news.org url=<unavailable> endpoint=news.org",
        "blocked flow host=news.org domain=news.org",
    };
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(store.integer(contentFilterObservedFlowCount), 2);
}

}  // namespace
}  // namespace filter::testing

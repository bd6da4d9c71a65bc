#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using namespace common::keys;

// A flow described by its parts; a socket flow unless `socket` is false.
struct FlowSpec {
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

const auto inspect = NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
const auto drop = NEFilterNewFlowVerdict::dropVerdict();

struct Case {
    const char* name = "";
    std::vector<std::string> domains = {"example.com"};
    bool enforcementEnabled = true;
    FlowSpec flow;
    NEFilterNewFlowVerdict verdict = NEFilterNewFlowVerdict::allowVerdict();
    // The host, URL and endpoint last observed, "|" between them.
    std::optional<std::string> observed = std::nullopt;
    // The domain reported by the block decision, if any.
    std::optional<std::string> matchedDomain = std::nullopt;
    // The summary of the pending inspection, if any.
    std::optional<std::string> pendingSummary = std::nullopt;
};

const Case cases[] = {
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
     .verdict = drop,
     .observed = "example.com|https://WWW.Example.COM./path|other.org",
     .matchedDomain = "example.com"},
    {.name = "host from remoteHostname, normalised",
     .flow = {.remoteHostname = " www.example.com ", .endpointHost = "192.0.2.10"},
     .verdict = drop,
     .observed = "example.com|<unavailable>| www.example.com ",
     .matchedDomain = "example.com"},
    {.name = "URL without a host falls back to remoteHostname",
     .flow = {.url = "example.com/path", .remoteHostname = "example.com"},
     .verdict = drop,
     .observed = "example.com|example.com/path|example.com",
     .matchedDomain = "example.com"},
    {.name = "host from a host endpoint's name",
     .flow = {.endpointHost = "Example.com", .endpointPort = "8443"},
     .verdict = drop,
     .observed = "example.com|<unavailable>|Example.com:8443",
     .matchedDomain = "example.com"},
    {.name = "IPv4 endpoint gives no host: a stream to 443 is inspected",
     .flow = {.endpointHost = "192.0.2.10"},
     .verdict = inspect,
     .observed = "<unavailable>|<unavailable>|192.0.2.10:443",
     .pendingSummary = "192.0.2.10:443"},
    {.name = "IPv6 endpoint gives no host: a stream to 80 is inspected",
     .flow = {.endpointHost = "2001:db8::1", .endpointPort = "80"},
     .verdict = inspect,
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
     .verdict = drop,
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

TEST(FilterDataProviderVerdictsTest, VerdictsAndDiagnostics) {
    base::setLogOutputToStandardError(false);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fakes::FakeUserDefaultsStore store;
        store.set(contentFilterPolicyBlob,
                  common::ContentFilterPolicy(testCase.domains, testCase.enforcementEnabled, 1, {})
                      .encode());
        auto framework = std::make_shared<fakes::FakeFilterFramework>();
        auto provider = std::make_shared<FilterDataProvider>(store.opener());
        provider->attachFramework(framework);
        provider->startFilter(nullptr);
        framework->completeInstallation();
        const base::UUID identifier;
        const auto before = base::Date::now();

        EXPECT_EQ(provider->handleNewFlow(*testCase.flow.build(identifier)), testCase.verdict);
        const auto pending = provider->pendingInspectionForTesting(identifier);
        EXPECT_EQ(pending ? std::optional(pending->endpointSummary) : std::nullopt,
                  testCase.pendingSummary);
        EXPECT_TRUE(!pending || pending->bufferedOutboundData.empty());
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
            EXPECT_FALSE(store.contains(contentFilterLastBlockedAt));
            EXPECT_EQ(store.text(contentFilterExtensionState), "running");
        }
    }
    base::setLogOutputToStandardError(true);
}

}  // namespace
}  // namespace filter::testing

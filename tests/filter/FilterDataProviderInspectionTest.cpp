#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/ClientHelloBuilder.h"
#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using namespace common::keys;
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
    {"Host line still open at 4096 bytes",
     {bytesOf(openHost + std::string(4000 - openHost.size(), 'a')), bytesOf(std::string(96, 'a'))},
     {pass(4000), "allow"}},
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

    // A flow the provider never saw as new is inspected the same way.
    const auto unseen = std::make_shared<NEFilterSocketFlow>(
        base::UUID(), std::nullopt, std::nullopt,
        NWHostEndpoint::endpointWithHostname("2001:db8::1", "80"), SOCK_STREAM);
    EXPECT_EQ(send(*unseen, {bytesOf(openHost + "blocked.example.com\r\n")}), Verdicts{"drop"});

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
    const auto hostless = [](base::UUID id, const char* port) {
        return NEFilterSocketFlow(id, std::nullopt, std::nullopt,
                                  NWHostEndpoint::endpointWithHostname("198.51.100.7", port),
                                  SOCK_STREAM);
    };
    provider->handleNewFlow(hostless(identifier, "80"));
    provider->handleNewFlow(hostless(base::UUID(), "443"));
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 2u);
    EXPECT_EQ(provider->pendingInspectionForTesting(identifier)->endpointSummary,
              "198.51.100.7:80");
    provider->stopFilter(0, nullptr);
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

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

const auto inspectFlow = NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
const auto dropFlow = NEFilterNewFlowVerdict::dropVerdict();

struct VerdictCase {
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

TEST(FilterDataProviderVerdictsTest, VerdictsAndDiagnostics) {
    base::setLogOutputToStandardError(false);
    for (const auto& testCase : verdictCases) {
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

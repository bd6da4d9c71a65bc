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

}  // namespace
}  // namespace filter::testing

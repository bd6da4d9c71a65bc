#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ClientHelloBuilder.h"
#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using common::keys::contentFilterExtensionState;
using common::keys::contentFilterLastBlockedHost;
using common::keys::contentFilterLastMatchedDomain;
using common::keys::contentFilterLastObservedHost;
using common::keys::contentFilterObservedFlowCount;
using fakes::Bytes;
using fakes::bytesOf;
using fakes::ClientHelloBuilder;

std::string describe(const NEFilterDataVerdict& verdict) {
    switch (verdict.kind) {
        case NEFilterDataVerdict::Kind::allow:
            return "allow";
        case NEFilterDataVerdict::Kind::drop:
            return "drop";
        case NEFilterDataVerdict::Kind::pass:
            return "pass(" + std::to_string(verdict.passBytes) + ", " +
                   std::to_string(verdict.peekBytes) + ")";
    }
    return "?";
}

std::string pass(std::size_t count) {
    return describe(NEFilterDataVerdict::pass(count, 1024));
}

Bytes clientHello(std::string_view serverName) {
    return ClientHelloBuilder().withServerName(serverName).build();
}

Bytes firstBytes(const Bytes& bytes, std::size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

Bytes bytesAfter(const Bytes& bytes, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(count), bytes.end());
}

// The start of a handshake record that declares 16 KB, so that it never completes within the
// inspection limit.
Bytes largeRecordStart(std::size_t size) {
    Bytes bytes = {0x16, 0x03, 0x01, 0x40, 0x00, 0x01};
    bytes.resize(size, 0xA5);
    return bytes;
}

constexpr char endpoint[] = "192.0.2.10:443";
const std::string withoutHostname =
    std::string("allowing unresolved flow without hostname endpoint=") + endpoint;
const std::string afterMaxBytes =
    std::string("allowing unresolved flow after max inspection bytes endpoint=") + endpoint;
const std::string blockedExample = "blocked flow host=example.com domain=example.com";

std::string allowedHost(const std::string& host) {
    return "allowed inspected flow host=" + host + " endpoint=" + endpoint;
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
        logs.clear();
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

    // The lines logged since the last clear, leaving out the observations.
    std::vector<std::string> decisionLines() const {
        auto lines = logs.messages();
        std::erase_if(lines, [](const auto& line) { return line.starts_with("observed flow "); });
        return lines;
    }

    std::shared_ptr<FilterDataProvider> provider = makeProvider();
    const platform::UUID identifier;
    const std::shared_ptr<NEFilterFlow> flow = flowNamed(std::nullopt);
};

struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    // One for each chunk.
    std::vector<std::string> verdicts;
    std::vector<std::string> lines = {};
    // The name the platform gives the flow by the time its bytes arrive, if any.
    std::optional<std::string> remoteHostname = std::nullopt;
    // The host recorded by a block decision; the matched domain is always example.com.
    std::optional<std::string> blockedHost = std::nullopt;
};

const Bytes newsHello = clientHello("news.org");
const Bytes exampleHello = clientHello("api.example.com");
// A complete ClientHello of about 4200 bytes, its server name at the end, followed by more bytes.
const Bytes paddedHello = [] {
    auto bytes = ClientHelloBuilder()
                     .withExtension({21, Bytes(4100, 0x00), std::nullopt})
                     .withServerName("example.com")
                     .build();
    bytes.resize(5000, 0x17);
    return bytes;
}();
const std::string requestLine = "GET / HTTP/1.1\r\n";
const std::string openHost = requestLine + "Host: ";

const Case cases[] = {
    {.name = "flow that gained a blocked host is dropped on the host, not the bytes",
     .chunks = {newsHello},
     .verdicts = {"drop"},
     .lines = {blockedExample},
     .remoteHostname = "WWW.Example.com",
     .blockedHost = "example.com"},
    {.name = "flow that gained a clean host is allowed on the host, not the bytes",
     .chunks = {exampleHello},
     .verdicts = {"allow"},
     .remoteHostname = "news.org"},
    {.name = "server name under a blocked domain: the domain stands for the host",
     .chunks = {exampleHello},
     .verdicts = {"drop"},
     .lines = {blockedExample},
     .blockedHost = "example.com"},
    {.name = "clean server name, normalised",
     .chunks = {clientHello("WWW.News.org.")},
     .verdicts = {"allow"},
     .lines = {allowedHost("news.org")}},
    {.name = "HTTP Host under a blocked domain is decided on the first chunk",
     .chunks = {bytesOf(requestLine + "Host: www.Example.com:8080\r\nAccept: */*\r\n\r\n")},
     .verdicts = {"drop"},
     .lines = {blockedExample},
     .blockedHost = "example.com"},
    {.name = "clean HTTP Host, header name in any case",
     .chunks = {bytesOf("POST /form HTTP/1.1\r\nhOST: news.org\r\n")},
     .verdicts = {"allow"},
     .lines = {allowedHost("news.org")}},
    {.name = "empty HTTP Host is a host",
     .chunks = {bytesOf(requestLine + "Host:\r\n")},
     .verdicts = {"allow"},
     .lines = {allowedHost("")}},
    {.name = "SSH banner is allowed at once",
     .chunks = {bytesOf("SSH-2.0-OpenSSH_9.6\r\n")},
     .verdicts = {"allow"},
     .lines = {withoutHostname}},
    {.name = "HTTP request that ends before its Host line is not waited for",
     .chunks = {bytesOf(requestLine + "User-Agent: x\r\n")},
     .verdicts = {"allow"},
     .lines = {withoutHostname}},
    {.name = "complete ClientHello without a server name",
     .chunks = {ClientHelloBuilder().build()},
     .verdicts = {"allow"},
     .lines = {withoutHostname}},
    {.name = "ClientHello split in two: pass, then decide",
     .chunks = {firstBytes(exampleHello, 50), bytesAfter(exampleHello, 50)},
     .verdicts = {pass(50), "drop"},
     .lines = {blockedExample},
     .blockedHost = "example.com"},
    {.name = "ClientHello over three chunks",
     .chunks = {firstBytes(newsHello, 10), bytesAfter(firstBytes(newsHello, 60), 10),
                bytesAfter(newsHello, 60)},
     .verdicts = {pass(10), pass(50), "allow"},
     .lines = {allowedHost("news.org")}},
    {.name = "Host value cut off by the end of the chunk waits for its line end",
     .chunks = {bytesOf(openHost + "www.exam"), bytesOf("ple.com\r\n\r\n")},
     .verdicts = {pass(openHost.size() + 8), "drop"},
     .lines = {blockedExample},
     .blockedHost = "example.com"},
    {.name = "Host header name cut off waits too",
     .chunks = {bytesOf(requestLine + "Ho"), bytesOf("st: news.org\r\n")},
     .verdicts = {pass(requestLine.size() + 2), "allow"},
     .lines = {allowedHost("news.org")}},
    {.name = "Host line still open at 4096 bytes",
     .chunks = {bytesOf(openHost + std::string(4000 - openHost.size(), 'a')),
                bytesOf(std::string(96, 'a'))},
     .verdicts = {pass(4000), "allow"},
     .lines = {afterMaxBytes}},
    {.name = "fewer than 5 bytes of a record are passed",
     .chunks = {{0x16, 0x03, 0x01, 0x00}},
     .verdicts = {pass(4)}},
    {.name = "fewer than 5 bytes of anything are passed",
     .chunks = {bytesOf("SSH")},
     .verdicts = {pass(3)}},
    {.name = "empty first chunk", .chunks = {{}}, .verdicts = {pass(0)}},
    {.name = "empty chunk leaves the buffer as it was",
     .chunks = {firstBytes(newsHello, 50), {}, bytesAfter(newsHello, 50)},
     .verdicts = {pass(50), pass(0), "allow"},
     .lines = {allowedHost("news.org")}},
    {.name = "5000-byte chunk is cut to 4096: a server name past the limit is not read",
     .chunks = {paddedHello},
     .verdicts = {"allow"},
     .lines = {afterMaxBytes}},
    {.name = "exactly 4096 bytes end the inspection",
     .chunks = {largeRecordStart(4096)},
     .verdicts = {"allow"},
     .lines = {afterMaxBytes}},
    {.name = "4095 bytes are passed; one more ends the inspection",
     .chunks = {largeRecordStart(4095), {0x00}},
     .verdicts = {pass(4095), "allow"},
     .lines = {afterMaxBytes}},
    {.name = "a chunk past the limit is looked at only up to it",
     .chunks = {largeRecordStart(4000), Bytes(200, 0x00)},
     .verdicts = {pass(4000), "allow"},
     .lines = {afterMaxBytes}},
};

TEST_F(InspectionTest, OutcomeTable) {
    const auto initialObservations = store.integer(contentFilterObservedFlowCount).value_or(0);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // Each case begins with the flow pending and nothing blocked yet.
        ASSERT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::filterData);
        store.remove(contentFilterLastBlockedHost);
        store.remove(contentFilterLastMatchedDomain);
        store.setText(contentFilterExtensionState, "running");
        store.set(contentFilterObservedFlowCount, initialObservations);
        logs.clear();

        const auto sent = testCase.remoteHostname ? flowNamed(*testCase.remoteHostname) : flow;
        EXPECT_EQ(send(*sent, testCase.chunks), testCase.verdicts);

        EXPECT_EQ(decisionLines(), testCase.lines);
        // One observation per call, never with the sniffed host.
        EXPECT_EQ(store.integer(contentFilterObservedFlowCount),
                  initialObservations + static_cast<std::int64_t>(testCase.chunks.size()));
        if (!testCase.remoteHostname) {
            EXPECT_EQ(store.text(contentFilterLastObservedHost), "<unavailable>");
        }
        EXPECT_EQ(store.text(contentFilterLastBlockedHost), testCase.blockedHost);
        if (testCase.blockedHost) {
            EXPECT_EQ(store.text(contentFilterLastMatchedDomain), "example.com");
            EXPECT_EQ(state(), "blocked example.com");
        } else {
            EXPECT_EQ(state(), "running");
        }
        const bool isPending = testCase.verdicts.back().starts_with("pass");
        EXPECT_EQ(provider->pendingInspectionCountForTesting(), isPending ? 1u : 0u);
        provider->handleOutboundDataComplete(*flow);
    }
}

TEST_F(InspectionTest, BufferHoldsTheChunksInArrivalOrder) {
    const Bytes first = largeRecordStart(3000);
    const Bytes second(1000, 0x01);
    send(*flow, {first, second});

    auto pending = provider->pendingInspectionForTesting(identifier);
    ASSERT_TRUE(pending);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(pending->bufferedOutboundData, expected);
    EXPECT_EQ(pending->endpointSummary, endpoint);
}

TEST_F(InspectionTest, EnforcementSwitchedOffMidFlowAllowsWithoutInspecting) {
    EXPECT_EQ(send(*flow, {firstBytes(exampleHello, 50)}), std::vector{pass(50)});

    framework->setVendorConfiguration(vendorConfiguration({"example.com"}, false, 2));
    logs.clear();
    EXPECT_EQ(send(*flow, {bytesAfter(exampleHello, 50)}), std::vector<std::string>{"allow"});

    // The chunk itself loaded the new policy, and then only observed the flow.
    const std::vector<std::string> expected = {
        "loaded policy version=2 enforcement=false domains=example.com",
        std::string("observed flow host=<unavailable> url=<unavailable> endpoint=") + endpoint,
    };
    EXPECT_EQ(logs.messages(), expected);
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);

    // Nor is a flow that has gained a blocked host dropped.
    EXPECT_EQ(send(*flowNamed("example.com"), {newsHello}), std::vector<std::string>{"allow"});
    EXPECT_FALSE(store.contains(contentFilterLastBlockedHost));
}

TEST_F(InspectionTest, LostEntryIsMadeAgainFromTheFlow) {
    send(*flow, {firstBytes(newsHello, 50)});
    provider->stopFilter(0, nullptr);
    provider->startFilter(nullptr);
    framework->completeAllInstallations();
    ASSERT_EQ(provider->pendingInspectionCountForTesting(), 0u);

    // The earlier bytes are gone with the entry: the ClientHello is read from its start again.
    EXPECT_EQ(send(*flow, {firstBytes(newsHello, 50)}), std::vector{pass(50)});
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 1u);

    // A flow the provider never saw as new is inspected the same way.
    const auto unseen = std::make_shared<NEFilterSocketFlow>(
        platform::UUID(), std::nullopt, std::nullopt,
        NWHostEndpoint::endpointWithHostname("2001:db8::1", "80"), SOCK_STREAM);
    logs.clear();
    EXPECT_EQ(send(*unseen, {bytesOf(requestLine + "Host: news.org\r\n")}),
              std::vector<std::string>{"allow"});
    EXPECT_EQ(
        decisionLines(),
        std::vector<std::string>{"allowed inspected flow host=news.org endpoint=[2001:db8::1]:80"});

    EXPECT_EQ(send(*flow, {bytesAfter(newsHello, 50)}), std::vector<std::string>{"allow"});
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

TEST_F(InspectionTest, OutboundCompleteForgetsTheFlowAndDoesNothingElse) {
    send(*flow, {firstBytes(exampleHello, 50)});
    const auto other = flowNamed("news.org");
    // A new policy version is not loaded by the completion.
    framework->setVendorConfiguration(vendorConfiguration({"news.org"}, true, 2));
    const auto synchronizations = store.synchronizeCount();
    logs.clear();

    EXPECT_EQ(describe(provider->handleOutboundDataComplete(*flow)), "allow");
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
    EXPECT_EQ(describe(provider->handleOutboundDataComplete(*other)), "allow");
    EXPECT_EQ(describe(provider->handleOutboundDataComplete(*flow)), "allow");

    EXPECT_TRUE(logs.messages().empty());
    EXPECT_EQ(store.synchronizeCount(), synchronizations);
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
}

// Flows inspected on two threads while the policy is reloaded on a third: every callback runs
// whole, so each flow still reads its own bytes.
TEST_F(InspectionTest, ConcurrentFlowsKeepTheirOwnBytes) {
    constexpr int flowsPerThread = 40;
    auto inspectFlows = [this](const Bytes& hello, NEFilterDataVerdict::Kind expected) {
        for (int index = 0; index < flowsPerThread; ++index) {
            const auto own = std::make_shared<NEFilterSocketFlow>(
                platform::UUID(), std::nullopt, std::nullopt,
                NWHostEndpoint::endpointWithHostname("192.0.2.20", "443"), SOCK_STREAM);
            provider->handleNewFlow(*own);
            const auto first = provider->handleOutboundData(*own, 0, firstBytes(hello, 40));
            EXPECT_EQ(describe(first), pass(40));
            const auto second = provider->handleOutboundData(*own, 40, bytesAfter(hello, 40));
            EXPECT_EQ(second.kind, expected);
        }
    };
    std::thread blocked(inspectFlows, exampleHello, NEFilterDataVerdict::Kind::drop);
    std::thread allowed(inspectFlows, newsHello, NEFilterDataVerdict::Kind::allow);
    for (int version = 2; version < 12; ++version) {
        framework->changeVendorConfiguration(vendorConfiguration({"example.com"}, true, version));
        framework->completeAllInstallations();
    }
    blocked.join();
    allowed.join();
    framework->completeAllInstallations();
    EXPECT_EQ(provider->pendingInspectionCountForTesting(), 1u) << "only the fixture's own flow";
}

}  // namespace
}  // namespace filter::testing

// Packets as the queue hands them over: their headers read, the refusal sent for a datagram, and
// the flows they are tracked in.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/FlowTracker.h"
#include "platform/netfilter/ICMPUnreachablePacket.h"
#include "platform/netfilter/PacketHeaders.h"
#include "platform/netfilter/PacketMarks.h"
#include "support/TestData.h"

namespace platform::netfilter {
namespace {

using D = PacketDisposition;
using filter::NEFilterDataVerdict;
using filter::NEFilterNewFlowVerdict;

// A provider whose verdicts the test scripts, and which records every call.
class ScriptedProvider final : public filter::NEFilterDataProvider {
  public:
    struct Delivery {
        std::size_t offset = 0;
        std::string bytes;
    };

    std::function<NEFilterNewFlowVerdict()> newFlowVerdict = [] {
        return NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
    };
    std::function<NEFilterDataVerdict(const Delivery&)> dataVerdict = [](const auto& delivery) {
        return NEFilterDataVerdict::pass(delivery.bytes.size(), 1024);
    };
    NEFilterDataVerdict completeVerdict = NEFilterDataVerdict::allow();
    bool throwsOnNewFlow = false;
    // Each new flow as "<hostname or -> <address>:<port> <tcp or udp>", and its identifier.
    std::vector<std::string> newFlows;
    std::vector<base::UUID> identifiers;
    std::vector<Delivery> deliveries;
    std::size_t completions = 0;

    void startFilter(filter::SettingsCompletion) override {}
    void stopFilter(filter::NEProviderStopReason, std::function<void()>) override {}

    NEFilterNewFlowVerdict handleNewFlow(const filter::NEFilterFlow& flow) override {
        if (throwsOnNewFlow) {
            throw std::runtime_error("scripted failure");
        }
        const auto& socketFlow = dynamic_cast<const filter::NEFilterSocketFlow&>(flow);
        const auto& host =
            dynamic_cast<const filter::NWHostEndpoint&>(*socketFlow.remoteEndpoint());
        newFlows.push_back((flow.URL() ? "URL " : "") + socketFlow.remoteHostname().value_or("-") +
                           " " + host.hostname() + ":" + host.port() +
                           (socketFlow.socketType() == SOCK_DGRAM ? " udp" : " tcp"));
        identifiers.push_back(flow.identifier());
        return newFlowVerdict();
    }
    NEFilterDataVerdict handleOutboundData(const filter::NEFilterFlow&,
                                           std::size_t offset,
                                           std::span<const std::uint8_t> bytes) override {
        deliveries.push_back({offset, std::string(bytes.begin(), bytes.end())});
        return dataVerdict(deliveries.back());
    }
    NEFilterDataVerdict handleOutboundDataComplete(const filter::NEFilterFlow&) override {
        ++completions;
        return completeVerdict;
    }
};

class RecordingSink final : public PacketVerdictSink {
  public:
    std::vector<std::pair<std::uint32_t, D>> verdicts;
    std::vector<ResetSegment> resets;
    std::vector<RefusedDatagram> refusals;

    void setVerdict(const QueuedPacket& packet, D disposition) override {
        verdicts.emplace_back(packet.identifier, disposition);
    }
    void sendReset(const ResetSegment& segment) override { resets.push_back(segment); }
    void sendUnreachable(const RefusedDatagram& datagram) override { refusals.push_back(datagram); }
};

// One flow's outbound packets: 10.0.0.2 (or ::1):localPort to remote:remotePort.
class FlowPackets {
  public:
    static constexpr std::uint32_t initialSequence = 1000;

    explicit FlowPackets(std::uint8_t protocol = IPPROTO_TCP,
                         std::string remote = "192.0.2.7",
                         std::uint16_t remotePort = 443,
                         std::uint16_t localPort = 40000) {
        headers.destination = *IPAddress::fromText(remote);
        headers.source =
            *IPAddress::fromText(headers.destination.family == AF_INET6 ? "::1" : "10.0.0.2");
        headers.protocol = protocol;
        headers.sourcePort = localPort;
        headers.destinationPort = remotePort;
    }

    PacketHeaders syn(std::uint32_t sequence = initialSequence) {
        return packet(sequence, TH_SYN, "");
    }
    // Bytes at `offset` of the outbound data, with ACK set.
    PacketHeaders data(std::size_t offset, std::string bytes, std::uint8_t extraFlags = 0) {
        return packet(initialSequence + 1 + static_cast<std::uint32_t>(offset), TH_ACK | extraFlags,
                      std::move(bytes));
    }
    PacketHeaders datagram(std::string bytes) { return packet(0, 0, std::move(bytes)); }
    // The flow's first packet: a SYN, or a datagram.
    PacketHeaders first() { return headers.protocol == IPPROTO_UDP ? datagram("query") : syn(); }

  private:
    PacketHeaders packet(std::uint32_t sequence, std::uint8_t flags, std::string bytes) {
        auto result = headers;
        result.sequence = sequence;
        result.acknowledgment = 5000;
        result.tcpFlags = flags;
        const auto& kept = payloads.emplace_back(std::move(bytes));
        result.payload = {reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size()};
        return result;
    }

    PacketHeaders headers;
    std::deque<std::string> payloads;
};

class FlowTrackerTest : public ::testing::Test {
  protected:
    FlowTrackerTest() { recreate({}); }

    void recreate(FlowTrackerLimits limits, std::shared_ptr<NamedFlowRouting> routing = nullptr) {
        provider = std::make_shared<ScriptedProvider>();
        sink = {};
        tracker = std::make_unique<FlowTracker>(provider, sink, limits, std::move(routing));
    }
    void send(std::uint32_t identifier, const PacketHeaders& headers, std::uint32_t mark = 0x5) {
        tracker->handlePacket({identifier, mark}, headers, now);
    }
    // The verdict of packet `identifier`; nothing when it has none or more than one.
    std::optional<D> verdict(std::uint32_t identifier) const {
        std::vector<D> found;
        for (const auto& [packet, disposition] : sink.verdicts) {
            if (packet == identifier) {
                found.push_back(disposition);
            }
        }
        return found.size() == 1 ? std::optional(found[0]) : std::nullopt;
    }

    std::shared_ptr<ScriptedProvider> provider;
    RecordingSink sink;
    std::unique_ptr<FlowTracker> tracker;
    FlowTracker::Clock::time_point now = FlowTracker::Clock::now();
    FlowPackets flow;
};

TEST_F(FlowTrackerTest, OffersANewFlowAsASocketFlowAndAppliesItsVerdict) {
    const auto inspect = [](bool outbound, std::size_t peek) {
        return NEFilterNewFlowVerdict::filterDataVerdict(!outbound, 1024, outbound, peek);
    };
    struct Case {
        const char* name;
        NEFilterNewFlowVerdict verdict;
        D disposition;
        std::uint8_t protocol = IPPROTO_TCP;
    } cases[] = {
        {"allow", NEFilterNewFlowVerdict::allowVerdict(), D::allowFlow},
        {"inspect", inspect(true, 1024), D::inspectFlow},
        {"inbound only", inspect(false, 0), D::allowFlow},
        {"peek nothing", inspect(true, 0), D::allowFlow},
        {"datagram", NEFilterNewFlowVerdict::allowVerdict(), D::allowFlow, IPPROTO_UDP},
    };
    std::uint32_t identifier = 1;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        provider->newFlowVerdict = [&] { return testCase.verdict; };
        FlowPackets packets(testCase.protocol, "192.0.2.7", 443,
                            static_cast<std::uint16_t>(41000 + identifier));
        send(identifier, packets.first());
        EXPECT_EQ(verdict(identifier), testCase.disposition);
        ASSERT_EQ(provider->newFlows.size(), identifier++);
        EXPECT_EQ(provider->newFlows.back(),
                  testCase.protocol == IPPROTO_UDP ? "- 192.0.2.7:443 udp" : "- 192.0.2.7:443 tcp");
    }
}

TEST_F(FlowTrackerTest, UnseenStartsThrowingCallbacksAndReusedPorts) {
    send(1, flow.data(0, "GET / HTTP/1.1\r\n"));  // began before the tracker: allowed unseen
    EXPECT_EQ(verdict(1), D::allowFlow);
    EXPECT_TRUE(provider->newFlows.empty());
    // A new connection on the same ports is a new flow, and the old one is completed.
    send(2, flow.syn());
    send(3, flow.syn(900000));
    ASSERT_EQ(provider->identifiers.size(), 2u);
    EXPECT_NE(provider->identifiers[0], provider->identifiers[1]);
    EXPECT_EQ(provider->completions, 1u);
    provider->throwsOnNewFlow = true;
    send(4, FlowPackets(IPPROTO_TCP, "192.0.2.7", 443, 41000).syn());
    EXPECT_EQ(verdict(4), D::allowFlow);
}

// Each case scripts one flow's packets and the provider's verdicts, then checks what every packet
// got and what the provider was shown ("|" between calls).
TEST_F(FlowTrackerTest, FiltersAFlowsOutboundData) {
    using DataVerdict = std::function<NEFilterDataVerdict(const ScriptedProvider::Delivery&)>;
    const auto passFirst = [](std::size_t length, NEFilterDataVerdict then) -> DataVerdict {
        return [=](const auto& delivery) {
            return delivery.offset == 0 ? NEFilterDataVerdict::pass(length, 1024) : then;
        };
    };
    const DataVerdict allowAll = [](const auto&) { return NEFilterDataVerdict::allow(); };
    const DataVerdict dropAll = [](const auto&) { return NEFilterDataVerdict::drop(); };
    struct Step {
        std::uint32_t packet;
        std::size_t offset = 0;
        std::string bytes = "";
        std::uint8_t flags = 0;
        bool isTruncated = false;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::pair<std::uint32_t, D>> verdicts;
        const char* shown = "";
        std::size_t completions = 0;
        DataVerdict dataVerdict = nullptr;
        std::size_t resets = 0;
        std::size_t peekSize = 1024;
        FlowTrackerLimits limits = {};
    } cases[] = {
        {"later packets of a dropped flow are dropped without the provider",
         {{2, 0, "", TH_SYN}, {3, 0, "late"}},
         {{2, D::dropFlow}, {3, D::dropFlow}}},
        {"bytes in order, each packet released once passed; a bare ACK is accepted",
         {{2, 0, "", TH_ACK}, {3, 0, "\x16\x03\x01"}, {4, 3, "rest"}},
         {{2, D::accept}, {3, D::inspectFlow}, {4, D::inspectFlow}},
         "\x16\x03\x01|rest"},
        {"a missing segment is waited for and no byte is shown twice",
         {{2, 5, "world"}, {3, 5, "world"}, {4, 0, "hello"}, {5, 0, "helloworld"}, {6, 8, "ld!"}},
         {{2, D::inspectFlow}, {3, D::discard}, {4, D::inspectFlow}, {5, D::inspectFlow}},
         "helloworld|!"},
        {.name = "at most the peek size per call",
         .steps = {{2, 0, "0123456789"}},
         .verdicts = {{2, D::inspectFlow}},
         .shown = "0123|4567|89",
         .dataVerdict =
             [](const auto& delivery) {
                 return NEFilterDataVerdict::pass(delivery.bytes.size(), 4);
             },
         .peekSize = 4},
        {.name = "bytes shown but not passed are shown again from the pass point",
         .steps = {{2, 0, "abcd"}, {3, 4, "ef"}},
         .verdicts = {{2, D::allowFlow}, {3, D::allowFlow}},
         .shown = "abcd|cdef",
         .dataVerdict = passFirst(2, NEFilterDataVerdict::allow())},
        {.name = "an allow settles every held packet",
         .steps = {{3, 4, "tail"}, {2, 0, "head"}},
         .verdicts = {{2, D::allowFlow}, {3, D::allowFlow}},
         .shown = "headtail",
         .dataVerdict = allowAll},
        {.name = "a drop settles every held packet",
         .steps = {{3, 4, "tail"}, {2, 0, "head"}},
         .verdicts = {{2, D::dropFlow}, {3, D::discard}},
         .shown = "headtail",
         .dataVerdict = dropAll,
         .resets = 1},
        {.name = "a drop during inspection resets the remote end",
         .steps = {{2, 0, "first"}, {3, 5, "second"}},
         .verdicts = {{2, D::inspectFlow}, {3, D::dropFlow}},
         .shown = "first|second",
         .dataVerdict = passFirst(5, NEFilterDataVerdict::drop()),
         .resets = 1},
        {"a FIN without data ends the data", {{2, 0, "", TH_FIN}}, {{2, D::allowFlow}}, "", 1},
        {"a FIN with data ends the data", {{2, 0, "bye", TH_FIN}}, {{2, D::allowFlow}}, "bye", 1},
        {"an RST ends the data", {{2, 0, "", TH_RST}}, {{2, D::accept}}, "", 1},
        {"a FIN is held until the bytes before it arrive",
         {{2, 3, "", TH_FIN}, {3, 3, "", TH_FIN}, {4, 0, "abc"}},
         {{2, D::allowFlow}, {3, D::discard}},
         "abc",
         1},
        {.name = "a flow holding too many bytes is allowed",
         .steps = {{2, 1, "12345"}, {3, 6, "6789"}},
         .verdicts = {{2, D::allowFlow}, {3, D::allowFlow}},
         .completions = 1,
         .limits = {.maximumHeldBytesPerFlow = 8}},
        {"a packet not wholly captured ends the inspection",
         {{2, 0, "GET", 0, true}},
         {{2, D::allowFlow}},
         "",
         1},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        recreate(testCase.limits);
        const bool isDrop = std::string(testCase.name).starts_with("later packets");
        provider->newFlowVerdict = [&] {
            return isDrop ? NEFilterNewFlowVerdict::dropVerdict()
                          : NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true,
                                                                      testCase.peekSize);
        };
        if (testCase.dataVerdict) {
            provider->dataVerdict = testCase.dataVerdict;
        }
        FlowPackets packets;
        send(1, packets.syn());
        for (const auto& step : testCase.steps) {
            auto headers = step.flags == TH_SYN ? packets.syn()
                                                : packets.data(step.offset, step.bytes, step.flags);
            headers.isTruncated = step.isTruncated;
            send(step.packet, headers);
        }
        for (const auto& [packet, disposition] : testCase.verdicts) {
            EXPECT_EQ(verdict(packet), disposition) << "packet " << packet;
        }
        std::string shown;
        for (const auto& delivery : provider->deliveries) {
            shown += (shown.empty() ? "" : "|") + delivery.bytes;
        }
        EXPECT_EQ(shown, testCase.shown);
        EXPECT_EQ(provider->newFlows.size(), 1u);
        EXPECT_EQ(provider->completions, testCase.completions);
        EXPECT_EQ(sink.resets.size(), testCase.resets);
        EXPECT_EQ(tracker->heldBytes(), 0u);
    }
}

TEST_F(FlowTrackerTest, HeldPacketsGoAtTheWatchdogOrARelease) {
    send(1, flow.syn());
    send(2, flow.data(10, "after a gap"));
    ASSERT_TRUE(tracker->nextDeadline().has_value());
    EXPECT_LE(*tracker->nextDeadline(), now + FlowTrackerLimits{}.heldPacketTimeout);
    tracker->expire(now + std::chrono::milliseconds(1999));
    EXPECT_FALSE(verdict(2).has_value());
    tracker->expire(now + std::chrono::milliseconds(2000));
    EXPECT_EQ(verdict(2), D::allowFlow);
    EXPECT_EQ(provider->completions, 1u);
    EXPECT_EQ(tracker->heldBytes(), 0u);

    recreate({});
    send(1, flow.syn());
    send(2, flow.data(4, "held"));
    tracker->releaseAll();
    EXPECT_EQ(verdict(2), D::accept);
    EXPECT_EQ(provider->completions, 0u);
    EXPECT_EQ(tracker->flowCount(), 0u);
}

TEST_F(FlowTrackerTest, AnIdleFlowIsCompletedThenForgotten) {
    provider->completeVerdict = NEFilterDataVerdict::drop();
    send(1, flow.syn());
    send(2, flow.data(0, ""));
    const auto idle = FlowTrackerLimits{}.flowIdleTimeout;
    tracker->expire(now + idle);
    EXPECT_EQ(provider->completions, 1u);
    EXPECT_EQ(sink.resets.size(), 2u);  // both ends, as no packet is held to reject

    now += idle + std::chrono::seconds(1);
    send(3, flow.data(0, "late"));
    EXPECT_EQ(verdict(3), D::dropFlow);
    tracker->expire(now + idle);
    EXPECT_EQ(tracker->flowCount(), 0u);
}

TEST_F(FlowTrackerTest, TheFlowTableIsBoundedAndForgetsTheLeastRecentlyActive) {
    recreate({.maximumFlows = 3});
    for (std::uint16_t index = 0; index < 50; ++index) {
        send(index + 1u,
             FlowPackets(IPPROTO_TCP, "192.0.2.7", 443, static_cast<std::uint16_t>(44000 + index))
                 .syn());
        EXPECT_LE(tracker->flowCount(), 3u);
    }
    // Each flow forgotten while under inspection was told its data ended.
    EXPECT_EQ(provider->completions, 47u);
    EXPECT_EQ(provider->newFlows.size(), 50u);
}

TEST_F(FlowTrackerTest, DatagramsOfAnInspectedFlowAreShownInArrivalOrder) {
    FlowPackets udp(IPPROTO_UDP, "192.0.2.53", 443);
    provider->dataVerdict = [](const auto& delivery) {
        return delivery.offset == 0 ? NEFilterDataVerdict::pass(delivery.bytes.size(), 1024)
                                    : NEFilterDataVerdict::drop();
    };
    send(1, udp.datagram("one"));
    send(2, udp.datagram("two"));
    send(3, udp.datagram("three"));
    ASSERT_EQ(provider->deliveries.size(), 2u);
    EXPECT_EQ(provider->deliveries[1].offset, 3u);
    EXPECT_EQ(verdict(1), D::inspectFlow);
    EXPECT_EQ(verdict(2), D::dropFlow);
    EXPECT_EQ(verdict(3), D::dropFlow);
    EXPECT_TRUE(sink.resets.empty());
}

TEST_F(FlowTrackerTest, NamesNewFlowsFromDNSExceptWebFlowsAndDNSItself) {
    std::vector<std::string> lookedUp;
    tracker = std::make_unique<FlowTracker>(provider, sink, FlowTrackerLimits{}, nullptr,
                                            [&](const IPAddress& address) {
                                                lookedUp.push_back(address.text());
                                                return std::optional<std::string>("learnt.example");
                                            });
    struct Case {
        std::uint8_t protocol;
        std::uint16_t port;
        bool isNamed;
    } cases[] = {
        {IPPROTO_TCP, 8080, true}, {IPPROTO_UDP, 9000, true}, {IPPROTO_UDP, 80, true},
        {IPPROTO_TCP, 443, false}, {IPPROTO_TCP, 80, false},  {IPPROTO_UDP, 443, false},
        {IPPROTO_UDP, 53, false},  {IPPROTO_TCP, 53, false},  {IPPROTO_TCP, 853, true},
    };
    provider->newFlowVerdict = [] { return NEFilterNewFlowVerdict::allowVerdict(); };
    std::uint32_t identifier = 1;
    for (const auto& testCase : cases) {
        const std::string port = std::to_string(testCase.port);
        const std::string udp = testCase.protocol == IPPROTO_UDP ? " udp" : " tcp";
        SCOPED_TRACE(port + udp);
        lookedUp.clear();
        send(identifier++, FlowPackets(testCase.protocol, "2001:db8::7", testCase.port).first());
        ASSERT_FALSE(provider->newFlows.empty());
        EXPECT_EQ(provider->newFlows.back(),
                  (testCase.isNamed ? "learnt.example" : "-") + (" 2001:db8::7:" + port) + udp);
        EXPECT_EQ(lookedUp.size(), testCase.isNamed ? 1u : 0u);
    }
}

// QUIC flows queued for naming, with the first flight of a real Chromium to blocked.example.
class NamedFlowTest : public FlowTrackerTest {
  protected:
    static constexpr std::uint32_t queuedForNaming =
        static_cast<std::uint32_t>(FlowMark::nameLookup) | 0x5;

    NamedFlowTest() {
        for (const auto& datagram :
             support::datagramsOf(support::testData("captures/quic-chromium-v4.bin"))) {
            chromium.emplace_back(datagram.begin(), datagram.end());
        }
        routing->replace({{"other.example", filter::NEFilterAction::drop},
                          {"blocked.example", filter::NEFilterAction::filterData}},
                         filter::NEFilterAction::allow);
        recreate({}, routing);
    }

    void sendNamed(std::uint32_t identifier, const std::string& bytes) {
        send(identifier, quic.datagram(bytes), queuedForNaming);
    }

    std::shared_ptr<NamedFlowRouting> routing = std::make_shared<NamedFlowRouting>();
    FlowPackets quic{IPPROTO_UDP, "192.0.2.80", 443};
    std::vector<std::string> chromium;
};

TEST_F(NamedFlowTest, AFlowWhoseNameARuleCoversIsOfferedWithThatName) {
    ASSERT_EQ(chromium.size(), 2u);
    struct Case {
        const char* name;
        NEFilterNewFlowVerdict verdict;
        D first;
        D second;
    } cases[] = {
        {"drop", NEFilterNewFlowVerdict::dropVerdict(), D::dropFlow, D::discard},
        {"allow", NEFilterNewFlowVerdict::allowVerdict(), D::allowFlow, D::allowFlow},
        {"filter data counts as allow",
         NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024), D::allowFlow,
         D::allowFlow},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        recreate({}, routing);
        provider->newFlowVerdict = [&] { return testCase.verdict; };

        sendNamed(1, chromium[1]);
        EXPECT_TRUE(sink.verdicts.empty());
        EXPECT_TRUE(provider->newFlows.empty());
        EXPECT_EQ(tracker->heldBytes(), chromium[1].size());
        sendNamed(2, chromium[0]);

        EXPECT_EQ(provider->newFlows,
                  std::vector<std::string>{"blocked.example 192.0.2.80:443 udp"});
        ASSERT_EQ(sink.verdicts.size(), 2u);
        EXPECT_EQ(sink.verdicts[0], std::make_pair(1u, testCase.first));
        EXPECT_EQ(sink.verdicts[1], std::make_pair(2u, testCase.second));
        EXPECT_EQ(tracker->heldBytes(), 0u);

        const bool dropped = testCase.first == D::dropFlow;
        ASSERT_EQ(sink.refusals.size(), dropped ? 1u : 0u);
        sendNamed(3, "a later datagram");
        EXPECT_EQ(verdict(3), dropped ? D::dropFlow : D::allowFlow);
        if (dropped) {
            ASSERT_EQ(sink.refusals.size(), 2u);
            const auto& refusal = sink.refusals[1];
            EXPECT_EQ(std::tuple(refusal.sender.text(), refusal.senderPort, refusal.receiver.text(),
                                 refusal.receiverPort),
                      std::tuple("10.0.0.2", 40000, "192.0.2.80", 443));
        }
    }
}

TEST_F(NamedFlowTest, OtherFlowsTakeARulesOrTheDefaultActionWithoutTheProvider) {
    using A = filter::NEFilterAction;
    struct Case {
        const char* name;
        NamedHostRule rule;
        A defaultAction;
        D expected;
    } cases[] = {
        {"no rule covers the name", {"elsewhere.example", A::filterData}, A::allow, D::allowFlow},
        {"a suffix that is no label", {"ed.example", A::filterData}, A::allow, D::allowFlow},
        {"a rule that drops", {"example", A::drop}, A::allow, D::dropFlow},
        {"a default that drops", {"elsewhere.example", A::filterData}, A::drop, D::dropFlow},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        routing->replace({testCase.rule}, testCase.defaultAction);
        recreate({}, routing);
        sendNamed(1, chromium[0]);
        sendNamed(2, chromium[1]);
        EXPECT_EQ(verdict(1), testCase.expected);
        EXPECT_TRUE(provider->newFlows.empty());
    }
}

TEST_F(NamedFlowTest, AFlowWithoutANameFailsOpen) {
    sendNamed(1, "not a QUIC packet");
    EXPECT_EQ(verdict(1), D::allowFlow);

    // A first Initial alone waits for the watchdog.
    FlowPackets alone(IPPROTO_UDP, "2001:db8::80", 443);
    send(2, alone.datagram(chromium[0]), queuedForNaming);
    EXPECT_FALSE(verdict(2).has_value());
    tracker->expire(now + FlowTrackerLimits{}.heldPacketTimeout);
    EXPECT_EQ(verdict(2), D::allowFlow);
    EXPECT_TRUE(provider->newFlows.empty());
    EXPECT_TRUE(sink.refusals.empty());
    EXPECT_EQ(tracker->heldBytes(), 0u);
}

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& bytes, std::uint32_t value, int size = 2) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// A packet as a capture shows it; checksums are left zero, since the parser does not read them.
struct PacketBuilder {
    std::string source = "10.0.0.2";
    std::string destination = "192.0.2.7";
    std::uint8_t protocol = IPPROTO_TCP;
    std::uint16_t fragment = 0x4000;  // don't fragment
    std::size_t tcpOptionsLength = 0;
    bool hasHopByHopHeader = false;
    std::string payload = "hello";

    Bytes build() const {
        const auto from = *IPAddress::fromText(source);
        const auto to = *IPAddress::fromText(destination);
        Bytes rest;
        if (hasHopByHopHeader) {
            rest = {protocol, 0, 1, 4, 0, 0, 0, 0};
        }
        put(rest, 40000);
        put(rest, 443);
        if (protocol == IPPROTO_UDP) {
            put(rest, static_cast<std::uint32_t>(8 + payload.size()) << 16, 4);
        } else {
            put(rest, 0x01020304, 4);
            put(rest, 0x0a0b0c0d, 4);
            put(rest, static_cast<std::uint32_t>((((20 + tcpOptionsLength) / 4) << 12) | TH_ACK |
                                                 TH_PUSH));
            put(rest, 65535u << 16, 4);
            put(rest, 0);
            rest.insert(rest.end(), tcpOptionsLength, 1);  // NOPs
        }
        rest.insert(rest.end(), payload.begin(), payload.end());
        Bytes packet;
        if (from.family == AF_INET) {
            put(packet, 0x4500);
            put(packet, static_cast<std::uint32_t>(20 + rest.size()));
            put(packet, fragment, 4);
            put(packet, 64u << 8 | protocol);
            put(packet, 0);
        } else {
            put(packet, 0x60000000, 4);
            put(packet, static_cast<std::uint32_t>(rest.size()));
            put(packet, hasHopByHopHeader ? std::uint8_t{IPPROTO_HOPOPTS} : protocol, 1);
            put(packet, 64, 1);
        }
        packet.insert(packet.end(), from.view().begin(), from.view().end());
        packet.insert(packet.end(), to.view().begin(), to.view().end());
        packet.insert(packet.end(), rest.begin(), rest.end());
        return packet;
    }
};

// The packet with its bytes from `length` on removed, or byte `index` set to `value`.
Bytes cut(Bytes bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}
Bytes patched(Bytes bytes, std::size_t index, std::uint8_t value) {
    bytes[index] = value;
    return bytes;
}

// "source:port > destination:port protocol", then "truncated" when the capture is short.
std::string describe(const PacketHeaders& headers) {
    return headers.source.text() + ":" + std::to_string(headers.sourcePort) + " > " +
           headers.destination.text() + ":" + std::to_string(headers.destinationPort) + " " +
           std::to_string(headers.protocol) + (headers.isTruncated ? " truncated" : "");
}

TEST(PacketHeadersTest, ReadsTheAddressesPortsAndPayload) {
    struct Case {
        const char* name;
        PacketBuilder packet;
        std::size_t missing = 0;  // bytes the capture leaves out
    } cases[] = {
        {"IPv4 TCP", {}},
        {"a capture shorter than the packet", {}, 2},
        {"IPv4 TCP with options", {.tcpOptionsLength = 12}},
        {"IPv6 TCP after a hop-by-hop header",
         {.source = "::1", .destination = "2001:db8::7", .hasHopByHopHeader = true}},
        {"IPv6 UDP", {.source = "::1", .destination = "2001:db8::7", .protocol = IPPROTO_UDP}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto whole = testCase.packet.build();
        const auto bytes = cut(whole, whole.size() - testCase.missing);  // the payload's view
        const auto headers = parsePacketHeaders(bytes);
        ASSERT_TRUE(headers.has_value());
        EXPECT_EQ(describe(*headers), testCase.packet.source + ":40000 > " +
                                          testCase.packet.destination + ":443 " +
                                          std::to_string(testCase.packet.protocol) +
                                          (testCase.missing > 0 ? " truncated" : ""));
        EXPECT_EQ(std::string(headers->payload.begin(), headers->payload.end()),
                  std::string("hello").substr(0, 5 - testCase.missing));
        if (testCase.packet.protocol == IPPROTO_TCP) {
            EXPECT_EQ(std::tuple(headers->sequence, headers->acknowledgment, headers->tcpFlags),
                      std::tuple(0x01020304u, 0x0a0b0c0du, std::uint8_t{TH_ACK | TH_PUSH}));
        }
    }
}

TEST(PacketHeadersTest, RejectsWhatItCannotRead) {
    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"ICMP", PacketBuilder{.protocol = IPPROTO_ICMP}.build()},
        {"a later fragment", PacketBuilder{.fragment = 0x0010}.build()},
        {"a first fragment", PacketBuilder{.fragment = 0x2000}.build()},
        {"cut inside the IP header", cut(PacketBuilder{}.build(), 19)},
        {"cut inside the TCP header", cut(PacketBuilder{}.build(), 30)},
        {"version 5", patched(PacketBuilder{}.build(), 0, 0x55)},
        {"a TCP data offset below 5", patched(PacketBuilder{}.build(), 20 + 12, 0x40)},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_FALSE(parsePacketHeaders(testCase.bytes).has_value());
    }
}

// The Internet checksum over `bytes` plus `sum`: zero when the checksum in them is right.
std::uint16_t verify(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0) {
    for (std::size_t index = 0; index + 1 < bytes.size(); index += 2) {
        sum += (std::uint32_t{bytes[index]} << 8) | bytes[index + 1];
    }
    if (bytes.size() % 2 != 0) {
        sum += std::uint32_t{bytes.back()} << 8;
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

TEST(ICMPUnreachablePacketTest, AnswersTheSenderAndQuotesTheRefusedDatagram) {
    const std::vector<std::uint8_t> payload(1200, 0xc3);
    struct Case {
        const char* sender;
        const char* receiver;
        std::size_t ipHeaderLength;
        std::uint8_t protocol;
        std::uint8_t type;
        std::uint8_t code;
    } cases[] = {
        {"10.0.0.1", "10.0.0.2", 20, IPPROTO_ICMP, 3, 3},
        {"fd00::1", "fd00::2", 40, IPPROTO_ICMPV6, 1, 4},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.sender);
        const RefusedDatagram datagram{*IPAddress::fromText(testCase.sender),
                                       *IPAddress::fromText(testCase.receiver), 40000, 443,
                                       payload};
        const auto packet = buildPortUnreachablePacket(datagram);
        const std::size_t header = testCase.ipHeaderLength;
        ASSERT_GT(packet.size(), header + 8 + header + 8);
        // Small enough for any link, whatever the datagram's size.
        EXPECT_LE(packet.size(), 576u);

        const std::span<const std::uint8_t> bytes(packet);
        const auto icmp = bytes.subspan(header);
        EXPECT_EQ(icmp[0], testCase.type);
        EXPECT_EQ(icmp[1], testCase.code);
        if (testCase.protocol == IPPROTO_ICMP) {
            EXPECT_EQ(packet[9], IPPROTO_ICMP);
            EXPECT_EQ(verify(bytes.first(20)), 0);
            EXPECT_EQ(verify(icmp), 0);
            EXPECT_EQ(IPAddress::fromBytes(AF_INET, bytes.subspan(12, 4)), datagram.receiver);
            EXPECT_EQ(IPAddress::fromBytes(AF_INET, bytes.subspan(16, 4)), datagram.sender);
        } else {
            EXPECT_EQ(packet[6], IPPROTO_ICMPV6);
            std::uint32_t pseudo = static_cast<std::uint32_t>(icmp.size()) + IPPROTO_ICMPV6;
            for (const auto& address : {datagram.receiver, datagram.sender}) {
                for (std::size_t index = 0; index < 16; index += 2) {
                    pseudo += (std::uint32_t{address.bytes[index]} << 8) | address.bytes[index + 1];
                }
            }
            EXPECT_EQ(verify(icmp, pseudo), 0);
            EXPECT_EQ(IPAddress::fromBytes(AF_INET6, bytes.subspan(8, 16)), datagram.receiver);
        }

        // The quoted datagram reads back as the sender's UDP datagram.
        const auto quoted = parsePacketHeaders(icmp.subspan(8));
        ASSERT_TRUE(quoted.has_value());
        EXPECT_EQ(describe(*quoted), std::string(testCase.sender) + ":40000 > " +
                                         testCase.receiver + ":443 17 truncated");
    }
}

}  // namespace
}  // namespace platform::netfilter

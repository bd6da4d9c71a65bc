// Packets as the queue hands them over: their headers read, the refusal sent for a datagram, and
// the flows they are tracked in.

#include <gmock/gmock.h>
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

#include "base/text/Hex.h"
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
using Bytes = support::Bytes;
using namespace std::literals;
// Given the offset and the length of the bytes shown.
using DataVerdict = std::function<NEFilterDataVerdict(std::size_t, std::size_t)>;

// Inspects the flow's outbound data, peeking at `peek` bytes, or its inbound data only.
NEFilterNewFlowVerdict inspect(bool outbound, std::size_t peek) {
    return NEFilterNewFlowVerdict::filterDataVerdict(!outbound, 1024, outbound, peek);
}

// Passes the first `length` bytes, then answers `then`.
DataVerdict passFirst(std::size_t length, NEFilterDataVerdict then) {
    return [=](std::size_t offset, std::size_t) {
        return offset == 0 ? NEFilterDataVerdict::pass(length, 1024) : then;
    };
}

// A provider whose verdicts the test scripts, and which records every call.
class ScriptedProvider final : public filter::NEFilterDataProvider {
  public:
    std::function<NEFilterNewFlowVerdict()> newFlowVerdict = [] { return inspect(true, 1024); };
    DataVerdict dataVerdict = [](std::size_t, std::size_t length) {
        return NEFilterDataVerdict::pass(length, 1024);
    };
    NEFilterDataVerdict completeVerdict = NEFilterDataVerdict::allow();
    // Each new flow as "<hostname or -> <address>:<port> <tcp or udp>".
    std::vector<std::string> newFlows;
    // The data calls as "<offset>:<bytes>", and "end" for each call of the end of the data.
    std::string calls;
    std::size_t completions = 0;

    void startFilter(filter::SettingsCompletion) override {}
    void stopFilter(filter::NEProviderStopReason, std::function<void()>) override {}

    NEFilterNewFlowVerdict handleNewFlow(const filter::NEFilterFlow& flow) override {
        const auto& socketFlow = dynamic_cast<const filter::NEFilterSocketFlow&>(flow);
        const auto& host =
            dynamic_cast<const filter::NWHostEndpoint&>(*socketFlow.remoteEndpoint());
        newFlows.push_back(socketFlow.remoteHostname().value_or("-") + " " + host.hostname() + ":" +
                           host.port() + (socketFlow.socketType() == SOCK_DGRAM ? " udp" : " tcp"));
        return newFlowVerdict();
    }
    NEFilterDataVerdict handleOutboundData(const filter::NEFilterFlow&,
                                           std::size_t offset,
                                           std::span<const std::uint8_t> bytes) override {
        calls += (calls.empty() ? "" : " ") + std::to_string(offset) + ":" +
                 std::string(bytes.begin(), bytes.end());
        return dataVerdict(offset, bytes.size());
    }
    NEFilterDataVerdict handleOutboundDataComplete(const filter::NEFilterFlow&) override {
        ++completions;
        calls += calls.empty() ? "end" : " end";
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

    PacketHeaders syn(std::uint32_t sequence = 1000) { return packet(sequence, TH_SYN, ""); }
    // Bytes at `offset` of the outbound data, with ACK set.
    PacketHeaders data(std::size_t offset, std::string bytes, std::uint8_t extraFlags = 0) {
        return packet(1001 + static_cast<std::uint32_t>(offset), TH_ACK | extraFlags,
                      std::move(bytes));
    }
    PacketHeaders datagram(std::string bytes) { return packet(0, 0, std::move(bytes)); }

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
    // The verdicts the packets got, in order: "1 allow, 2 drop".
    std::string verdicts() const {
        // In the order PacketDisposition declares them.
        static const char* const names[] = {"accept", "discard", "allow", "drop", "inspect"};
        std::string text;
        for (const auto& [packet, disposition] : sink.verdicts) {
            text += (text.empty() ? "" : ", ") + std::to_string(packet) + " " +
                    names[static_cast<int>(disposition)];
        }
        return text;
    }

    std::shared_ptr<ScriptedProvider> provider;
    RecordingSink sink;
    std::unique_ptr<FlowTracker> tracker;
    FlowTracker::Clock::time_point now = FlowTracker::Clock::now();
    FlowPackets flow;
};

TEST_F(FlowTrackerTest, UnseenStartsThrowingCallbacksAndReusedPorts) {
    send(1, flow.data(0, "GET / HTTP/1.1\r\n"));  // began before the tracker: allowed unseen
    EXPECT_EQ(verdicts(), "1 allow");
    EXPECT_TRUE(provider->newFlows.empty());
    // A new connection on the same ports is a new flow, and the old one is completed.
    send(2, flow.syn());
    send(3, flow.syn(900000));
    EXPECT_EQ(std::pair(provider->newFlows.size(), provider->calls), std::pair(2ul, "end"s));
    provider->newFlowVerdict = []() -> NEFilterNewFlowVerdict { throw std::runtime_error("no"); };
    send(4, FlowPackets(IPPROTO_TCP, "192.0.2.7", 443, 41000).syn());
    EXPECT_EQ(verdicts(), "1 allow, 2 inspect, 3 inspect, 4 allow");
}

// Each case scripts the verdicts and one flow's packets after its SYN (packet 1), then checks what
// the packets got, what the provider was shown and told, and the resets sent.
TEST_F(FlowTrackerTest, DecidesAFlowByItsVerdictsAndOutboundData) {
    const DataVerdict dropAll = [](std::size_t, std::size_t) {
        return NEFilterDataVerdict::drop();
    };
    const DataVerdict peekFour = [](std::size_t, std::size_t length) {
        return NEFilterDataVerdict::pass(length, 4);
    };
    struct Step {
        std::uint32_t packet;
        std::size_t offset = 0;
        std::string bytes = "";
        std::uint8_t flags = 0;
        bool isTruncated = false;
    };
    const auto drop = NEFilterNewFlowVerdict::dropVerdict();
    struct Case {
        std::vector<Step> steps;
        // "<the packets' verdicts> / <the provider's calls> / <the resets sent>"
        std::string outcome;
        DataVerdict dataVerdict = nullptr;
        NEFilterNewFlowVerdict newFlow = inspect(true, 1024);
        FlowTrackerLimits limits = {};
    } cases[] = {
        // A dropped flow's later packets are dropped without the provider.
        {{{2, 0, "", TH_SYN}, {3, 0, "late"}}, "1 drop, 2 drop, 3 drop /  / 0", nullptr, drop},
        // A verdict for inbound data only, or one that peeks at no byte, allows the flow.
        {{{2, 0, "data"}}, "1 allow, 2 allow /  / 0", nullptr, inspect(false, 1024)},
        {{{2, 0, "data"}}, "1 allow, 2 allow /  / 0", nullptr, inspect(true, 0)},
        // Bytes in order, each packet released once passed; a bare ACK is accepted.
        {{{2, 0, "", TH_ACK}, {3, 0, "\x16\x03\x01"}, {4, 3, "rest"}},
         "1 inspect, 2 accept, 3 inspect, 4 inspect / 0:\x16\x03\x01 3:rest / 0"},
        // A missing segment is waited for, and no byte is shown twice.
        {{{2, 5, "world"}, {3, 5, "world"}, {4, 0, "hello"}, {5, 0, "helloworld"}, {6, 8, "ld!"}},
         "1 inspect, 3 discard, 4 inspect, 2 inspect, 5 inspect, 6 inspect / 0:helloworld 10:! / "
         "0"},
        // At most the peek size per call.
        {{{2, 0, "0123456789"}},
         "1 inspect, 2 inspect / 0:0123 4:4567 8:89 / 0",
         peekFour,
         inspect(true, 4)},
        // Bytes shown but not passed are shown again from the pass point.
        {{{2, 0, "abcd"}, {3, 4, "ef"}},
         "1 inspect, 2 allow, 3 allow / 0:abcd 2:cdef / 0",
         passFirst(2, NEFilterDataVerdict::allow())},
        // A drop rejects the first held packet, discards the others and resets the remote end.
        {{{3, 4, "tail"}, {2, 0, "head"}},
         "1 inspect, 2 drop, 3 discard / 0:headtail / 1",
         dropAll},
        // A FIN or an RST ends the data; a FIN is held until the bytes before it arrive.
        {{{2, 0, "bye", TH_FIN}}, "1 inspect, 2 allow / 0:bye end / 0"},
        {{{2, 0, "", TH_RST}}, "1 inspect, 2 accept / end / 0"},
        {{{2, 3, "", TH_FIN}, {3, 3, "", TH_FIN}, {4, 0, "abc"}},
         "1 inspect, 3 discard, 4 inspect, 2 allow / 0:abc end / 0"},
        // A flow holding too many bytes, or a packet not wholly captured, ends the inspection.
        {{{2, 1, "12345"}, {3, 6, "6789"}},
         "1 inspect, 2 allow, 3 allow / end / 0",
         nullptr,
         inspect(true, 1024),
         {.maximumHeldBytesPerFlow = 8}},
        {{{2, 0, "GET", 0, true}}, "1 inspect, 2 allow / end / 0"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.outcome);
        recreate(testCase.limits);
        provider->newFlowVerdict = [&] { return testCase.newFlow; };
        if (testCase.dataVerdict) {
            provider->dataVerdict = testCase.dataVerdict;
        }
        send(1, flow.syn());
        for (const auto& step : testCase.steps) {
            auto headers =
                step.flags == TH_SYN ? flow.syn() : flow.data(step.offset, step.bytes, step.flags);
            headers.isTruncated = step.isTruncated;
            send(step.packet, headers);
        }
        EXPECT_EQ(verdicts() + " / " + provider->calls + " / " + std::to_string(sink.resets.size()),
                  testCase.outcome);
        EXPECT_EQ(std::pair(provider->newFlows.size(), tracker->heldBytes()), std::pair(1ul, 0ul));
    }
}

TEST_F(FlowTrackerTest, HeldPacketsGoAtTheWatchdogOrARelease) {
    send(1, flow.syn());
    send(2, flow.data(10, "after a gap"));
    EXPECT_LE(tracker->nextDeadline().value_or(now + 1h), now + 2s);
    tracker->expire(now + 1999ms);
    EXPECT_EQ(verdicts(), "1 inspect");
    tracker->expire(now + 2s);
    EXPECT_EQ(verdicts(), "1 inspect, 2 allow");
    EXPECT_EQ(std::pair(provider->completions, tracker->heldBytes()), std::pair(1ul, 0ul));

    recreate({});
    send(1, flow.syn());
    send(2, flow.data(4, "held"));
    tracker->releaseAll();
    EXPECT_EQ(verdicts(), "1 inspect, 2 accept");
    EXPECT_EQ(std::pair(provider->completions, tracker->flowCount()), std::pair(0ul, 0ul));
}

TEST_F(FlowTrackerTest, AnIdleFlowIsCompletedThenForgotten) {
    provider->completeVerdict = NEFilterDataVerdict::drop();
    send(1, flow.syn());
    send(2, flow.data(0, ""));
    const auto idle = FlowTrackerLimits{}.flowIdleTimeout;
    tracker->expire(now + idle);
    EXPECT_EQ(provider->completions, 1u);
    EXPECT_EQ(sink.resets.size(), 2u);  // both ends, as no packet is held to reject

    now += idle + 1s;
    send(3, flow.data(0, "late"));
    EXPECT_EQ(verdicts(), "1 inspect, 2 accept, 3 drop");
    tracker->expire(now + idle);
    EXPECT_EQ(tracker->flowCount(), 0u);
}

TEST_F(FlowTrackerTest, TheFlowTableIsBoundedAndForgetsTheLeastRecentlyActive) {
    recreate({.maximumFlows = 3});
    for (std::uint16_t index = 0; index < 50; ++index) {
        send(index + 1u, FlowPackets(IPPROTO_TCP, "192.0.2.7", 443, 44000 + index).syn());
        EXPECT_LE(tracker->flowCount(), 3u);
    }
    // Each flow forgotten while under inspection was told its data ended.
    EXPECT_EQ(std::pair(provider->newFlows.size(), provider->completions), std::pair(50ul, 47ul));
}

TEST_F(FlowTrackerTest, DatagramsOfAnInspectedFlowAreShownInArrivalOrder) {
    FlowPackets udp(IPPROTO_UDP, "192.0.2.53", 443);
    provider->dataVerdict = passFirst(3, NEFilterDataVerdict::drop());
    send(1, udp.datagram("one"));
    send(2, udp.datagram("two"));
    send(3, udp.datagram("three"));
    EXPECT_EQ(provider->calls, "0:one 3:two");
    EXPECT_EQ(verdicts(), "1 inspect, 2 drop, 3 drop");
    // The sender of a dropped datagram is refused, not reset.
    EXPECT_EQ(std::pair(sink.resets.size(), sink.refusals.size()), std::pair(0ul, 2ul));
}

TEST_F(FlowTrackerTest, NamesNewFlowsFromDNSExceptWebFlowsAndDNSItself) {
    tracker = std::make_unique<FlowTracker>(
        provider, sink, FlowTrackerLimits{}, nullptr,
        [](const IPAddress& address) { return std::optional("named-" + address.text()); });
    const std::tuple<std::uint8_t, std::uint16_t, bool> cases[] = {
        {IPPROTO_TCP, 8080, true}, {IPPROTO_UDP, 9000, true}, {IPPROTO_UDP, 80, true},
        {IPPROTO_TCP, 443, false}, {IPPROTO_TCP, 80, false},  {IPPROTO_UDP, 443, false},
        {IPPROTO_UDP, 53, false},  {IPPROTO_TCP, 53, false},  {IPPROTO_TCP, 853, true},
    };
    provider->newFlowVerdict = [] { return NEFilterNewFlowVerdict::allowVerdict(); };
    for (const auto& [protocol, port, isNamed] : cases) {
        const auto flowText = std::to_string(port) + (protocol == IPPROTO_UDP ? " udp" : " tcp");
        SCOPED_TRACE(flowText);
        sink = {};
        FlowPackets packets(protocol, "2001:db8::7", port);
        send(1, protocol == IPPROTO_UDP ? packets.datagram("query") : packets.syn());
        EXPECT_EQ(verdicts(), "1 allow");
        ASSERT_FALSE(provider->newFlows.empty());
        EXPECT_EQ(provider->newFlows.back(),
                  (isNamed ? "named-2001:db8::7" : "-") + (" 2001:db8::7:" + flowText));
    }
}

// QUIC flows queued for naming, with the first flight of a real Chromium to blocked.example.
class NamedFlowTest : public FlowTrackerTest {
  protected:
    void sendNamed(std::uint32_t identifier, const Bytes& bytes) {
        send(identifier, quic.datagram({bytes.begin(), bytes.end()}),
             static_cast<std::uint32_t>(FlowMark::nameLookup));
    }

    std::shared_ptr<NamedFlowRouting> routing = std::make_shared<NamedFlowRouting>();
    FlowPackets quic{IPPROTO_UDP, "192.0.2.80", 443};
    const std::vector<Bytes> chromium =
        support::datagramsOf(support::testData("captures/quic-chromium-v4.bin"));
};

// The flight's second datagram, then its first, then a later datagram; each case checks their
// verdicts, the flows offered to the provider, and the refusals sent.
TEST_F(NamedFlowTest, ANameARuleCoversTakesTheRuleOrTheProvidersVerdictElseTheDefault) {
    ASSERT_EQ(chromium.size(), 2u);
    using A = filter::NEFilterAction;
    const auto drop = NEFilterNewFlowVerdict::dropVerdict();
    const auto blocked =
        std::vector<NamedHostRule>{{"other.example", A::drop}, {"blocked.example", A::filterData}};
    struct Case {
        std::vector<NamedHostRule> rules;
        A defaultAction;
        NEFilterNewFlowVerdict newFlow;
        std::string outcome;
    } cases[] = {
        // A name a rule of the filter-data action covers is offered; only a drop drops.
        {blocked, A::allow, drop,
         "1 drop, 2 discard, 3 drop / blocked.example 192.0.2.80:443 udp / 2"},
        {blocked, A::allow, inspect(true, 1024),
         "1 allow, 2 allow, 3 allow / blocked.example 192.0.2.80:443 udp / 0"},
        // Other names take their rule's action, else the default, without the provider.
        {{{"else.example", A::filterData}}, A::allow, drop, "1 allow, 2 allow, 3 allow /  / 0"},
        {{{"ed.example", A::filterData}}, A::allow, drop, "1 allow, 2 allow, 3 allow /  / 0"},
        {{{"example", A::drop}}, A::allow, drop, "1 drop, 2 discard, 3 drop /  / 2"},
        {{{"else.example", A::filterData}}, A::drop, drop, "1 drop, 2 discard, 3 drop /  / 2"},
    };
    for (const auto& [rules, defaultAction, newFlow, outcome] : cases) {
        SCOPED_TRACE(outcome);
        routing->replace(rules, defaultAction);
        recreate({}, routing);
        provider->newFlowVerdict = [&] { return newFlow; };
        sendNamed(1, chromium[1]);
        EXPECT_EQ(std::pair(verdicts(), tracker->heldBytes()),
                  std::pair(std::string(), chromium[1].size()));
        sendNamed(2, chromium[0]);
        sendNamed(3, Bytes(16, 'x'));
        std::string offered;
        for (const auto& offeredFlow : provider->newFlows) {
            offered += offeredFlow;
        }
        EXPECT_EQ(verdicts() + " / " + offered + " / " + std::to_string(sink.refusals.size()),
                  outcome);
        EXPECT_EQ(tracker->heldBytes(), 0u);
    }
}

TEST_F(NamedFlowTest, AFlowWithoutANameFailsOpen) {
    sendNamed(1, Bytes(16, 'x'));  // a short header: no Initial, so no name
    EXPECT_EQ(verdicts(), "1 allow");

    // A first Initial alone waits for the watchdog.
    quic = FlowPackets(IPPROTO_UDP, "2001:db8::80", 443);
    sendNamed(2, chromium[0]);
    EXPECT_EQ(verdicts(), "1 allow");
    tracker->expire(now + FlowTrackerLimits{}.heldPacketTimeout);
    EXPECT_EQ(verdicts(), "1 allow, 2 allow");
    EXPECT_TRUE(provider->newFlows.empty() && sink.refusals.empty());
    EXPECT_EQ(tracker->heldBytes(), 0u);
}

// The bytes a text of hexadecimal digits gives, spaces left out.
Bytes fromHex(std::string hex) {
    std::erase(hex, ' ');
    return base::parseHex(hex).value();
}

// "source:port > destination:port protocol payload", then for TCP the sequence and acknowledgment
// numbers and the flags, then "truncated" when the capture is short.
std::string describe(std::span<const std::uint8_t> packet) {
    const auto headers = parsePacketHeaders(packet);
    if (!headers) {
        return "unreadable";
    }
    std::string text = headers->source.text() + ":" + std::to_string(headers->sourcePort) + " > " +
                       headers->destination.text() + ":" +
                       std::to_string(headers->destinationPort) + " " +
                       std::to_string(headers->protocol) + " " +
                       std::string(headers->payload.begin(), headers->payload.end());
    if (headers->protocol == IPPROTO_TCP) {
        text += " " + std::to_string(headers->sequence) + " " +
                std::to_string(headers->acknowledgment) + " " + std::to_string(headers->tcpFlags);
    }
    return text + (headers->isTruncated ? " truncated" : "");
}

TEST(PacketHeadersTest, ReadsTCPAndUDPOverIPv4AndIPv6AndRejectsWhatItCannotRead) {
    // IPv4, then TCP (sequence 1000, acknowledgment 5000, ACK and PSH), then "hello".
    const Bytes tcp = fromHex(
        "4500002d 00004000 40060000 0a000002 c0000207"
        "9c4001bb 000003e8 00001388 5018ffff 00000000 68656c6c6f");
    // IPv6, then a hop-by-hop header, then UDP, then "hello".
    const Bytes udp = fromHex(
        "60000000 00150040 00000000000000000000000000000001"
        "20010db8000000000000000000000007 11000104 00000000"
        "9c4001bb 000d0000 68656c6c6f");
    const auto cut = [&](std::size_t length) { return Bytes(tcp.begin(), tcp.begin() + length); };
    const auto patched = [&](std::size_t index, std::uint8_t value) {
        auto bytes = tcp;
        bytes[index] = value;
        return bytes;
    };
    const std::string tcpRead = "10.0.0.2:40000 > 192.0.2.7:443 6 hello 1000 5000 24";
    struct Case {
        const char* name;
        Bytes packet;
        std::string read;
    } cases[] = {
        {"IPv4 TCP", tcp, tcpRead},
        {"a capture shorter than the packet", cut(43),
         "10.0.0.2:40000 > 192.0.2.7:443 6 hel 1000 5000 24 truncated"},
        {"IPv6 UDP after a hop-by-hop header", udp, "::1:40000 > 2001:db8::7:443 17 hello"},
        {"empty", {}, "unreadable"},
        {"ICMP", patched(9, IPPROTO_ICMP), "unreadable"},
        {"a later fragment", patched(7, 0x10), "unreadable"},
        {"a first fragment", patched(6, 0x20), "unreadable"},
        {"cut inside the IP header", cut(19), "unreadable"},
        {"cut inside the TCP header", cut(30), "unreadable"},
        {"version 5", patched(0, 0x55), "unreadable"},
        {"a TCP data offset below 5", patched(20 + 12, 0x40), "unreadable"},
    };
    for (const auto& [name, packet, read] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(describe(packet), read);
    }
}

// Where the refusal goes and whether the sender's socket takes it (addresses, checksums, type and
// code, the quoted ports) is checked on live traffic, over IPv4 and IPv6, by content_filter_e2e.py.
// The one's-complement sum a receiver checks: 0 when the checksum inside `bytes` is right.
std::uint16_t checksumOf(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0) {
    for (std::size_t index = 0; index < bytes.size(); index += 2) {
        sum += std::uint32_t{bytes[index]} << 8 | (index + 1 < bytes.size() ? bytes[index + 1] : 0);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

TEST(ICMPUnreachablePacketTest, AnswersTheSenderSmallAndQuotesTheDatagramsHeaders) {
    const Bytes payload(1200, 'q');
    for (const auto& [sender, receiver, ipHeader, typeAndCode] :
         {std::tuple{"10.0.0.1", "10.0.0.2", 20u, Bytes{3, 3}},
          std::tuple{"fd00::1", "fd00::2", 40u, Bytes{1, 4}}}) {
        SCOPED_TRACE(sender);
        const auto from = *IPAddress::fromText(sender);
        const auto to = *IPAddress::fromText(receiver);
        const auto packet = buildPortUnreachablePacket({from, to, 40000, 443, payload});
        EXPECT_LE(packet.size(), 576u);  // small enough for any link
        ASSERT_GT(packet.size(), ipHeader + 8);
        const auto icmp = std::span(packet).subspan(ipHeader);
        EXPECT_EQ(Bytes(icmp.begin(), icmp.begin() + 2), typeAndCode);
        const bool v4 = ipHeader == 20;
        const auto destination = std::span(packet).subspan(v4 ? 16 : 24, v4 ? 4 : 16);
        EXPECT_EQ(IPAddress::fromBytes(v4 ? AF_INET : AF_INET6, destination), from);
        // IPv4 sums its header and the message; ICMPv6 sums a pseudo-header with the message.
        std::uint32_t pseudo = v4 ? 0 : static_cast<std::uint32_t>(icmp.size()) + IPPROTO_ICMPV6;
        for (std::size_t index = 0; !v4 && index < 32; index += 2) {
            pseudo += std::uint32_t{packet[8 + index]} << 8 | packet[9 + index];
        }
        EXPECT_EQ(checksumOf(icmp, pseudo), 0);
        if (v4) {
            EXPECT_EQ(checksumOf(std::span(packet).first(20)), 0);
        }
        EXPECT_THAT(describe(icmp.subspan(8)),
                    testing::MatchesRegex(std::string(sender) + ":40000 > " + receiver +
                                          ":443 17 q+ truncated"));
    }
}

}  // namespace
}  // namespace platform::netfilter

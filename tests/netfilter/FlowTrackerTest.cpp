#include "platform/netfilter/FlowTracker.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "netfilter/FlowTrackerTestSupport.h"

namespace platform::netfilter {
namespace {

using Disposition = PacketDisposition;
using filter::NEFilterDataVerdict;
using filter::NEFilterNewFlowVerdict;
using support::FlowPackets;

class FlowTrackerTest : public ::testing::Test {
  protected:
    FlowTrackerTest() { recreate({}); }

    void recreate(FlowTrackerLimits limits) {
        tracker = std::make_unique<FlowTracker>(provider, sink, limits);
    }

    // Hands the tracker packet number `identifier`.
    void send(std::uint32_t identifier, const PacketHeaders& headers) {
        tracker->handlePacket({identifier, 0x5}, headers, now);
    }
    std::optional<Disposition> verdict(std::uint32_t identifier) const {
        return sink.verdictFor(identifier);
    }

    std::shared_ptr<support::ScriptedProvider> provider =
        std::make_shared<support::ScriptedProvider>();
    support::RecordingSink sink;
    std::unique_ptr<FlowTracker> tracker;
    FlowTracker::Clock::time_point now = FlowTracker::Clock::now();
    FlowPackets flow;
};

TEST_F(FlowTrackerTest, OffersANewFlowAsASocketFlowAndAppliesItsVerdict) {
    struct Case {
        const char* name;
        NEFilterNewFlowVerdict verdict;
        Disposition disposition;
    } cases[] = {
        {"allow", NEFilterNewFlowVerdict::allowVerdict(), Disposition::allowFlow},
        {"drop", NEFilterNewFlowVerdict::dropVerdict(), Disposition::dropFlow},
        {"inspect", NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024),
         Disposition::inspectFlow},
        {"inbound only", NEFilterNewFlowVerdict::filterDataVerdict(true, 1024, false, 0),
         Disposition::allowFlow},
        {"peek nothing", NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 0),
         Disposition::allowFlow},
    };
    std::uint16_t localPort = 41000;
    std::uint32_t identifier = 1;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        provider->newFlowVerdict = [&] { return testCase.verdict; };
        FlowPackets packets(IPPROTO_TCP, "192.0.2.7", 443, localPort++);
        send(identifier, packets.syn());
        EXPECT_EQ(verdict(identifier), testCase.disposition);
        ++identifier;
    }
    ASSERT_EQ(provider->newFlows.size(), std::size(cases));
    const auto& first = provider->newFlows[0];
    EXPECT_FALSE(first.hasURL);
    EXPECT_FALSE(first.remoteHostname.has_value());
    EXPECT_EQ(first.remoteAddress, "192.0.2.7");
    EXPECT_EQ(first.remotePort, "443");
    EXPECT_EQ(first.socketType, SOCK_STREAM);
    EXPECT_NE(provider->newFlows[0].identifier, provider->newFlows[1].identifier);
}

TEST_F(FlowTrackerTest, DescribesIPv6AndDatagramFlows) {
    FlowPackets ipv6(IPPROTO_TCP, "::1", 80);
    send(1, ipv6.syn());
    FlowPackets udp(IPPROTO_UDP, "192.0.2.53", 53);
    provider->newFlowVerdict = [] { return NEFilterNewFlowVerdict::allowVerdict(); };
    send(2, udp.datagram("query"));
    ASSERT_EQ(provider->newFlows.size(), 2u);
    EXPECT_EQ(provider->newFlows[0].remoteAddress, "::1");
    EXPECT_EQ(provider->newFlows[0].remotePort, "80");
    EXPECT_EQ(provider->newFlows[1].socketType, SOCK_DGRAM);
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
}

TEST_F(FlowTrackerTest, LaterPacketsOfADecidedFlowTakeItsDecisionWithoutTheProvider) {
    provider->newFlowVerdict = [] { return NEFilterNewFlowVerdict::dropVerdict(); };
    send(1, flow.syn());
    send(2, flow.syn());  // retransmitted
    send(3, flow.data(0, "late"));
    EXPECT_EQ(verdict(2), Disposition::dropFlow);
    EXPECT_EQ(verdict(3), Disposition::dropFlow);
    EXPECT_EQ(provider->newFlows.size(), 1u);
}

TEST_F(FlowTrackerTest, APacketOfAFlowThatBeganUnseenIsAllowed) {
    send(1, flow.data(0, "GET / HTTP/1.1\r\n"));
    EXPECT_EQ(verdict(1), Disposition::allowFlow);
    EXPECT_TRUE(provider->newFlows.empty());
}

TEST_F(FlowTrackerTest, ANewConnectionOnTheSamePortsIsANewFlow) {
    send(1, flow.syn());
    send(2, flow.syn(900000));
    ASSERT_EQ(provider->newFlows.size(), 2u);
    EXPECT_NE(provider->newFlows[0].identifier, provider->newFlows[1].identifier);
    EXPECT_EQ(provider->completions.size(), 1u);
}

TEST_F(FlowTrackerTest, ShowsBytesInOrderAndReleasesEachPacketOncePassed) {
    send(1, flow.syn());
    send(2, flow.data(0, ""));  // the handshake's ACK
    send(3, flow.data(0, "\x16\x03\x01"));
    send(4, flow.data(3, "rest"));
    ASSERT_EQ(provider->deliveries.size(), 2u);
    EXPECT_EQ(provider->deliveries[0].offset, 0u);
    EXPECT_EQ(provider->deliveries[0].bytes, "\x16\x03\x01");
    EXPECT_EQ(provider->deliveries[1].offset, 3u);
    EXPECT_EQ(provider->deliveries[1].bytes, "rest");
    EXPECT_EQ(verdict(2), Disposition::accept);
    EXPECT_EQ(verdict(3), Disposition::inspectFlow);
    EXPECT_EQ(verdict(4), Disposition::inspectFlow);
}

TEST_F(FlowTrackerTest, WaitsForAMissingSegmentAndShowsNoByteTwice) {
    send(1, flow.syn());
    send(2, flow.data(5, "world"));  // arrives first
    EXPECT_TRUE(provider->deliveries.empty());
    EXPECT_FALSE(verdict(2).has_value());

    send(3, flow.data(5, "world"));  // a retransmission while the first copy is held
    EXPECT_EQ(verdict(3), Disposition::discard);

    send(4, flow.data(0, "hello"));
    ASSERT_EQ(provider->deliveries.size(), 1u);
    EXPECT_EQ(provider->deliveries[0].bytes, "helloworld");
    EXPECT_EQ(verdict(2), Disposition::inspectFlow);
    EXPECT_EQ(verdict(4), Disposition::inspectFlow);

    send(5, flow.data(0, "helloworld"));  // everything again, already passed
    EXPECT_EQ(verdict(5), Disposition::inspectFlow);
    send(6, flow.data(8, "ld!"));  // overlaps what was passed, adds one byte
    EXPECT_EQ(provider->deliveredText(), "helloworld!");
}

TEST_F(FlowTrackerTest, ShowsAtMostThePeekSizePerCallAndHoldsAPacketUntilAllItsBytesPass) {
    provider->newFlowVerdict = [] {
        return NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 4);
    };
    provider->dataVerdict = [](const auto& delivery) {
        return NEFilterDataVerdict::pass(delivery.bytes.size(), 4);
    };
    send(1, flow.syn());
    send(2, flow.data(0, "0123456789"));
    ASSERT_EQ(provider->deliveries.size(), 3u);
    EXPECT_EQ(provider->deliveries[0].bytes, "0123");
    EXPECT_EQ(provider->deliveries[1].bytes, "4567");
    EXPECT_EQ(provider->deliveries[2].bytes, "89");
    EXPECT_EQ(provider->deliveries[2].offset, 8u);
    EXPECT_EQ(verdict(2), Disposition::inspectFlow);
}

TEST_F(FlowTrackerTest, BytesShownButNotPassedAreShownAgainFromThePassPoint) {
    provider->dataVerdict = [](const auto& delivery) {
        return delivery.offset == 0 ? NEFilterDataVerdict::pass(2, 1024)
                                    : NEFilterDataVerdict::allow();
    };
    send(1, flow.syn());
    send(2, flow.data(0, "abcd"));
    EXPECT_EQ(provider->deliveries.size(), 1u);  // nothing new yet
    send(3, flow.data(4, "ef"));
    ASSERT_EQ(provider->deliveries.size(), 2u);
    EXPECT_EQ(provider->deliveries[1].offset, 2u);
    EXPECT_EQ(provider->deliveries[1].bytes, "cdef");
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
    EXPECT_EQ(verdict(3), Disposition::allowFlow);
}

TEST_F(FlowTrackerTest, AFinalVerdictSettlesEveryHeldPacket) {
    struct Case {
        const char* name;
        NEFilterDataVerdict verdict;
        Disposition first;
        Disposition rest;
    } cases[] = {
        {"allow", NEFilterDataVerdict::allow(), Disposition::allowFlow, Disposition::allowFlow},
        {"drop", NEFilterDataVerdict::drop(), Disposition::dropFlow, Disposition::discard},
    };
    std::uint16_t localPort = 42000;
    std::uint32_t identifier = 10;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        provider->dataVerdict = [&](const auto&) { return testCase.verdict; };
        FlowPackets packets(IPPROTO_TCP, "192.0.2.7", 443, localPort++);
        send(identifier, packets.syn());
        send(identifier + 2, packets.data(4, "tail"));  // held behind a gap
        send(identifier + 1, packets.data(0, "head"));
        EXPECT_EQ(verdict(identifier + 1), testCase.first);
        EXPECT_EQ(verdict(identifier + 2), testCase.rest);
        identifier += 10;
    }
}

TEST_F(FlowTrackerTest, ADropDuringInspectionResetsTheRemoteEndAtItsNextSequenceNumber) {
    provider->dataVerdict = [](const auto& delivery) {
        return delivery.offset == 0 ? NEFilterDataVerdict::pass(5, 1024)
                                    : NEFilterDataVerdict::drop();
    };
    send(1, flow.syn());
    send(2, flow.data(0, "first"));
    send(3, flow.data(5, "second"));
    EXPECT_EQ(verdict(3), Disposition::dropFlow);
    ASSERT_EQ(sink.resets.size(), 1u);
    const auto& reset = sink.resets[0];
    EXPECT_EQ(reset.source.text(), "10.0.0.2");
    EXPECT_EQ(reset.destination.text(), "192.0.2.7");
    EXPECT_EQ(reset.sourcePort, 40000);
    EXPECT_EQ(reset.destinationPort, 443);
    EXPECT_EQ(reset.sequence, FlowPackets::initialSequence + 1 + 5);
}

TEST_F(FlowTrackerTest, TheEndOfTheOutboundDataIsReported) {
    struct Case {
        const char* name;
        std::function<PacketHeaders(FlowPackets&)> ending;
        Disposition disposition;
    } cases[] = {
        {"FIN without data", [](FlowPackets& packets) { return packets.fin(0); },
         Disposition::allowFlow},
        {"FIN with data", [](FlowPackets& packets) { return packets.fin(0, "bye"); },
         Disposition::allowFlow},
        {"RST", [](FlowPackets& packets) { return packets.reset(0); }, Disposition::accept},
    };
    std::uint16_t localPort = 43000;
    std::uint32_t identifier = 10;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        provider->completions.clear();
        FlowPackets packets(IPPROTO_TCP, "192.0.2.7", 443, localPort++);
        send(identifier, packets.syn());
        send(identifier + 1, testCase.ending(packets));
        EXPECT_EQ(verdict(identifier + 1), testCase.disposition);
        EXPECT_EQ(provider->completions.size(), 1u);
        identifier += 10;
    }
}

TEST_F(FlowTrackerTest, AFinIsHeldUntilTheBytesBeforeItArrive) {
    send(1, flow.syn());
    send(2, flow.fin(3));
    EXPECT_TRUE(provider->completions.empty());
    send(3, flow.fin(3));  // retransmitted
    EXPECT_EQ(verdict(3), Disposition::discard);
    send(4, flow.data(0, "abc"));
    EXPECT_EQ(provider->deliveredText(), "abc");
    EXPECT_EQ(provider->completions.size(), 1u);
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
}

TEST_F(FlowTrackerTest, TheWatchdogAllowsAFlowWhosePacketIsHeldTooLong) {
    send(1, flow.syn());
    send(2, flow.data(10, "after a gap"));
    ASSERT_TRUE(tracker->nextDeadline().has_value());
    EXPECT_LE(*tracker->nextDeadline(), now + FlowTrackerLimits{}.heldPacketTimeout);

    tracker->expire(now + std::chrono::milliseconds(1999));
    EXPECT_FALSE(verdict(2).has_value());
    tracker->expire(now + std::chrono::milliseconds(2000));
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
    EXPECT_EQ(provider->completions.size(), 1u);
    EXPECT_EQ(tracker->heldBytes(), 0u);
}

TEST_F(FlowTrackerTest, AnIdleFlowIsCompletedThenForgotten) {
    provider->completeVerdict = NEFilterDataVerdict::drop();
    send(1, flow.syn());
    send(2, flow.data(0, ""));
    const auto idle = FlowTrackerLimits{}.flowIdleTimeout;
    tracker->expire(now + idle);
    EXPECT_EQ(provider->completions.size(), 1u);
    // Both ends are reset, as no packet is held to reject.
    EXPECT_EQ(sink.resets.size(), 2u);

    now += idle + std::chrono::seconds(1);
    send(3, flow.data(0, "late"));
    EXPECT_EQ(verdict(3), Disposition::dropFlow);

    tracker->expire(now + idle);
    EXPECT_EQ(tracker->flowCount(), 0u);
}

TEST_F(FlowTrackerTest, TheFlowTableIsBoundedAndForgetsTheLeastRecentlyActive) {
    FlowTrackerLimits limits;
    limits.maximumFlows = 3;
    recreate(limits);
    for (std::uint16_t index = 0; index < 50; ++index) {
        FlowPackets packets(IPPROTO_TCP, "192.0.2.7", 443,
                            static_cast<std::uint16_t>(44000 + index));
        send(index + 1u, packets.syn());
        EXPECT_LE(tracker->flowCount(), 3u);
    }
    // Each flow forgotten while under inspection was told its data ended.
    EXPECT_EQ(provider->completions.size(), 47u);
    EXPECT_EQ(provider->newFlows.size(), 50u);
}

TEST_F(FlowTrackerTest, AFlowHoldingTooManyBytesIsAllowed) {
    FlowTrackerLimits limits;
    limits.maximumHeldBytesPerFlow = 8;
    recreate(limits);
    send(1, flow.syn());
    send(2, flow.data(1, "12345"));
    EXPECT_FALSE(verdict(2).has_value());
    send(3, flow.data(6, "6789"));
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
    EXPECT_EQ(verdict(3), Disposition::allowFlow);
    EXPECT_EQ(provider->completions.size(), 1u);
    EXPECT_EQ(tracker->heldBytes(), 0u);
}

TEST_F(FlowTrackerTest, APacketWhoseBytesWereNotAllCapturedEndsTheInspection) {
    send(1, flow.syn());
    auto truncated = flow.data(0, "GET");
    truncated.isTruncated = true;
    send(2, truncated);
    EXPECT_EQ(verdict(2), Disposition::allowFlow);
    EXPECT_TRUE(provider->deliveries.empty());
    EXPECT_EQ(provider->completions.size(), 1u);
}

TEST_F(FlowTrackerTest, ACallbackThatThrowsAllowsTheFlow) {
    provider->throwsOnNewFlow = true;
    send(1, flow.syn());
    EXPECT_EQ(verdict(1), Disposition::allowFlow);
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
    EXPECT_EQ(verdict(1), Disposition::inspectFlow);
    EXPECT_EQ(verdict(2), Disposition::dropFlow);
    EXPECT_EQ(verdict(3), Disposition::dropFlow);
    EXPECT_TRUE(sink.resets.empty());
}

TEST_F(FlowTrackerTest, ReleasingLetsEveryHeldPacketGoWithoutTheProvider) {
    send(1, flow.syn());
    send(2, flow.data(4, "held"));
    tracker->releaseAll();
    EXPECT_EQ(verdict(2), Disposition::accept);
    EXPECT_TRUE(provider->completions.empty());
    EXPECT_EQ(tracker->flowCount(), 0u);
}

}  // namespace
}  // namespace platform::netfilter

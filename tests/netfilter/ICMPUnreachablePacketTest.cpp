#include "platform/netfilter/ICMPUnreachablePacket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include "platform/netfilter/PacketHeaders.h"

namespace platform::netfilter {
namespace {

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
        EXPECT_EQ(quoted->protocol, IPPROTO_UDP);
        EXPECT_EQ(quoted->source, datagram.sender);
        EXPECT_EQ(quoted->destination, datagram.receiver);
        EXPECT_EQ(quoted->sourcePort, 40000);
        EXPECT_EQ(quoted->destinationPort, 443);
        EXPECT_TRUE(quoted->isTruncated);
    }
}

}  // namespace
}  // namespace platform::netfilter

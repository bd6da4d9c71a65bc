#include "platform/netfilter/PacketHeaders.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <string>
#include <vector>

#include "platform/netfilter/ICMPUnreachablePacket.h"

namespace platform::netfilter {
namespace {

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

std::string payloadText(const PacketHeaders& headers) {
    return {headers.payload.begin(), headers.payload.end()};
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
        {"IPv4 UDP", {.protocol = IPPROTO_UDP}},
        {"IPv6 TCP", {.source = "::1", .destination = "2001:db8::7"}},
        {"IPv6 TCP after a hop-by-hop header",
         {.source = "::1", .destination = "2001:db8::7", .hasHopByHopHeader = true}},
        {"IPv6 UDP", {.source = "::1", .destination = "2001:db8::7", .protocol = IPPROTO_UDP}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto bytes =
            cut(testCase.packet.build(), testCase.packet.build().size() - testCase.missing);
        const auto headers = parsePacketHeaders(bytes);
        ASSERT_TRUE(headers.has_value());
        EXPECT_EQ(headers->source.text(), testCase.packet.source);
        EXPECT_EQ(headers->destination.text(), testCase.packet.destination);
        EXPECT_EQ(headers->protocol, testCase.packet.protocol);
        EXPECT_EQ(headers->sourcePort, 40000);
        EXPECT_EQ(headers->destinationPort, 443);
        EXPECT_EQ(payloadText(*headers), std::string("hello").substr(0, 5 - testCase.missing));
        EXPECT_EQ(headers->isTruncated, testCase.missing > 0);
        if (testCase.packet.protocol == IPPROTO_TCP) {
            EXPECT_EQ(headers->sequence, 0x01020304u);
            EXPECT_EQ(headers->acknowledgment, 0x0a0b0c0du);
            EXPECT_TRUE(headers->hasFlag(TH_ACK));
            EXPECT_FALSE(headers->hasFlag(TH_SYN));
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

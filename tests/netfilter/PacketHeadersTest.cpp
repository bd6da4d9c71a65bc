#include "platform/netfilter/PacketHeaders.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <string>
#include <vector>

namespace platform::netfilter {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void put32(Bytes& bytes, std::uint32_t value) {
    put16(bytes, static_cast<std::uint16_t>(value >> 16));
    put16(bytes, static_cast<std::uint16_t>(value));
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

    Bytes transport() const {
        Bytes bytes;
        put16(bytes, 40000);
        put16(bytes, 443);
        if (protocol == IPPROTO_UDP) {
            put16(bytes, static_cast<std::uint16_t>(8 + payload.size()));
            put16(bytes, 0);
        } else {
            put32(bytes, 0x01020304);
            put32(bytes, 0x0a0b0c0d);
            bytes.push_back(static_cast<std::uint8_t>(((20 + tcpOptionsLength) / 4) << 4));
            bytes.push_back(TH_ACK | TH_PUSH);
            put16(bytes, 65535);
            put32(bytes, 0);
            bytes.insert(bytes.end(), tcpOptionsLength, 1);  // NOPs
        }
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }

    Bytes build() const {
        const auto from = *IPAddress::fromText(source);
        const auto to = *IPAddress::fromText(destination);
        auto rest = transport();
        Bytes packet;
        if (from.family == AF_INET) {
            packet = {0x45, 0};
            put16(packet, static_cast<std::uint16_t>(20 + rest.size()));
            put16(packet, 0);
            put16(packet, fragment);
            packet.push_back(64);
            packet.push_back(protocol);
            put16(packet, 0);
        } else {
            Bytes extension;
            if (hasHopByHopHeader) {
                extension = {protocol, 0, 1, 4, 0, 0, 0, 0};
            }
            put32(packet, 0x60000000);
            put16(packet, static_cast<std::uint16_t>(extension.size() + rest.size()));
            packet.push_back(hasHopByHopHeader ? std::uint8_t{IPPROTO_HOPOPTS} : protocol);
            packet.push_back(64);
            rest.insert(rest.begin(), extension.begin(), extension.end());
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
    } cases[] = {
        {"IPv4 TCP", {}},
        {"IPv4 TCP with options", {.tcpOptionsLength = 12}},
        {"IPv4 UDP", {.protocol = IPPROTO_UDP}},
        {"IPv6 TCP", {.source = "::1", .destination = "2001:db8::7"}},
        {"IPv6 TCP after a hop-by-hop header",
         {.source = "::1", .destination = "2001:db8::7", .hasHopByHopHeader = true}},
        {"IPv6 UDP", {.source = "::1", .destination = "2001:db8::7", .protocol = IPPROTO_UDP}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto bytes = testCase.packet.build();
        const auto headers = parsePacketHeaders(bytes);
        ASSERT_TRUE(headers.has_value());
        EXPECT_EQ(headers->source.text(), testCase.packet.source);
        EXPECT_EQ(headers->destination.text(), testCase.packet.destination);
        EXPECT_EQ(headers->protocol, testCase.packet.protocol);
        EXPECT_EQ(headers->sourcePort, 40000);
        EXPECT_EQ(headers->destinationPort, 443);
        EXPECT_EQ(payloadText(*headers), "hello");
        EXPECT_FALSE(headers->isTruncated);
        if (testCase.packet.protocol == IPPROTO_TCP) {
            EXPECT_EQ(headers->sequence, 0x01020304u);
            EXPECT_EQ(headers->acknowledgment, 0x0a0b0c0du);
            EXPECT_TRUE(headers->hasFlag(TH_ACK));
            EXPECT_FALSE(headers->hasFlag(TH_SYN));
        }
    }
}

TEST(PacketHeadersTest, ACaptureShorterThanThePacketGivesATruncatedPayload) {
    auto bytes = PacketBuilder{}.build();
    bytes.resize(bytes.size() - 2);
    const auto headers = parsePacketHeaders(bytes);
    ASSERT_TRUE(headers.has_value());
    EXPECT_TRUE(headers->isTruncated);
    EXPECT_EQ(payloadText(*headers), "hel");
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

}  // namespace
}  // namespace platform::netfilter

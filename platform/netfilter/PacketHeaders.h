#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// What the stand-in reads from a queued packet: the addresses, the transport protocol
// (IPPROTO_TCP or IPPROTO_UDP) with its ports, the TCP sequence fields and flags, and the
// transport payload.
struct PacketHeaders {
    IPAddress source;
    IPAddress destination;
    std::uint8_t protocol = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    // TCP only.
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgment = 0;
    std::uint8_t tcpFlags = 0;
    // A view into the packet handed to parsePacketHeaders().
    std::span<const std::uint8_t> payload;
    // The capture ended before the packet did: `payload` lacks the packet's last bytes.
    bool isTruncated = false;

    bool hasFlag(std::uint8_t flag) const { return (tcpFlags & flag) != 0; }
};

// Reads an IPv4 or IPv6 packet carrying TCP or UDP. Nothing for anything else: another protocol,
// a fragment other than a whole packet, or headers that do not fit in `packet`. IPv6 hop-by-hop,
// routing and destination-options headers are stepped over. A capture shorter than the length the
// IP header gives yields a truncated payload; the headers themselves must be whole.
std::optional<PacketHeaders> parsePacketHeaders(std::span<const std::uint8_t> packet);

}  // namespace platform::netfilter

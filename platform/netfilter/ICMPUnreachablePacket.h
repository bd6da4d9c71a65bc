#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// A UDP datagram that the stand-in refuses, as the ICMP error about it names it.
struct RefusedDatagram {
    // The datagram's sender, which the error goes to, and its destination, which the error
    // comes from.
    IPAddress sender;
    IPAddress receiver;
    std::uint16_t senderPort = 0;
    std::uint16_t receiverPort = 0;
    // The datagram's UDP payload; its length goes into the quoted headers and its first bytes
    // are quoted after them.
    std::span<const std::uint8_t> payload;
};

// An ICMP destination-unreachable (port unreachable) for IPv4, or an ICMPv6 destination-
// unreachable (port unreachable) for IPv6, as if the receiver had no socket on its port: the whole
// packet, IP header included, both checksums filled in. It quotes the refused datagram's IP and UDP
// headers and its first bytes, which is what the sender's kernel needs to find the socket and
// report the refusal to it (a connected socket's next call fails with ECONNREFUSED). The two
// addresses must be of one family.
std::vector<std::uint8_t> buildPortUnreachablePacket(const RefusedDatagram& datagram);

}  // namespace platform::netfilter

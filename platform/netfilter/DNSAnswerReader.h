#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/netfilter/IPAddress.h"
#include "platform/netfilter/PacketHeaders.h"

namespace platform::netfilter {

// What one DNS answer says about the name that was asked for: the addresses its A and AAAA
// records give for that name, directly or at the end of a chain of CNAME records, each with the
// time it may be used (the record's TTL, or less when a CNAME on the way has a shorter one).
struct DNSAnswer {
    // The question's name in lower case, without the root's trailing dot.
    std::string questionName;
    struct Address {
        IPAddress address;
        std::uint32_t ttlSeconds = 0;

        bool operator==(const Address&) const = default;
    };
    std::vector<Address> addresses;
};

// Bounds of what one answer is read for.
inline constexpr std::size_t maximumCNAMELinks = 16;
inline constexpr std::size_t maximumAddressesPerAnswer = 64;

// Reads a DNS message with glibc's resolver parser. Nothing unless it is a response without
// error, with exactly one question of class IN whose name is a plain host name (no escaped or
// non-printable bytes), and gives at least one address for that name. Records of other names,
// classes and types, CNAME chains longer than `maximumCNAMELinks` or that loop, and address
// records of the wrong length are left out; at most `maximumAddressesPerAnswer` addresses are
// taken, in the order of the message.
std::optional<DNSAnswer> readDNSAnswer(std::span<const std::uint8_t> message);

// The DNS messages a packet from port 53 carries: a UDP payload whole; over TCP, the
// length-prefixed messages that lie whole in the segment, read from its first byte. A message
// split over several segments is not seen.
std::vector<std::span<const std::uint8_t>> dnsMessagesInPacket(const PacketHeaders& headers);

}  // namespace platform::netfilter

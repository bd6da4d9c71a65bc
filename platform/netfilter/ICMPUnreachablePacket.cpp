#include "platform/netfilter/ICMPUnreachablePacket.h"

#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>

#include <algorithm>
#include <cassert>

#include "platform/netfilter/InternetChecksum.h"

namespace platform::netfilter {
namespace {

constexpr std::size_t ipv4HeaderLength = 20;
constexpr std::size_t udpHeaderLength = 8;
// Enough of the payload for a reader of the error; well inside the 576 (IPv4) and 1280 (IPv6)
// bytes an error may take.
constexpr std::size_t quotedPayloadLength = 64;
constexpr std::uint8_t hopLimit = 64;

void appendBytes(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// An IPv4 header or an IPv6 header from `source` to `destination` carrying `protocol`, with
// `payloadLength` bytes after it.
std::vector<std::uint8_t> ipHeader(const IPAddress& source,
                                   const IPAddress& destination,
                                   std::uint8_t protocol,
                                   std::size_t payloadLength) {
    std::vector<std::uint8_t> header;
    if (source.family == AF_INET6) {
        appendU32(header, 0x60000000);
        appendU16(header, static_cast<std::uint16_t>(payloadLength));
        header.push_back(protocol);
        header.push_back(hopLimit);
        appendBytes(header, source.view());
        appendBytes(header, destination.view());
        return header;
    }
    header.push_back(0x45);
    header.push_back(0);
    appendU16(header, static_cast<std::uint16_t>(ipv4HeaderLength + payloadLength));
    appendU16(header, 0);       // identification
    appendU16(header, 0x4000);  // don't fragment
    header.push_back(hopLimit);
    header.push_back(protocol);
    appendU16(header, 0);  // header checksum, filled in below
    appendBytes(header, source.view());
    appendBytes(header, destination.view());
    storeU16(header, 10, foldedChecksum(addChecksumWords(0, header)));
    return header;
}

}  // namespace

std::vector<std::uint8_t> buildPortUnreachablePacket(const RefusedDatagram& datagram) {
    assert(datagram.sender.family == datagram.receiver.family);
    const bool isIPv6 = datagram.sender.family == AF_INET6;

    // The refused datagram as it was sent, cut after the first payload bytes.
    const std::size_t udpLength = udpHeaderLength + datagram.payload.size();
    std::vector<std::uint8_t> quoted =
        ipHeader(datagram.sender, datagram.receiver, IPPROTO_UDP, udpLength);
    appendU16(quoted, datagram.senderPort);
    appendU16(quoted, datagram.receiverPort);
    appendU16(quoted, static_cast<std::uint16_t>(std::min<std::size_t>(udpLength, 0xffff)));
    appendU16(quoted, 0);  // checksum: not known, and not read by the receiver of the error
    appendBytes(quoted,
                datagram.payload.first(std::min(datagram.payload.size(), quotedPayloadLength)));

    std::vector<std::uint8_t> icmp;
    if (isIPv6) {
        icmp.push_back(ICMP6_DST_UNREACH);
        icmp.push_back(ICMP6_DST_UNREACH_NOPORT);
    } else {
        icmp.push_back(ICMP_DEST_UNREACH);
        icmp.push_back(ICMP_PORT_UNREACH);
    }
    appendU16(icmp, 0);  // checksum, filled in below
    appendU32(icmp, 0);  // unused
    appendBytes(icmp, quoted);

    std::uint32_t sum = 0;
    if (isIPv6) {
        // The pseudo-header: both addresses, the upper-layer length and the next header.
        sum = addChecksumWords(sum, datagram.receiver.view());
        sum = addChecksumWords(sum, datagram.sender.view());
        sum += static_cast<std::uint32_t>(icmp.size() >> 16);
        sum += static_cast<std::uint32_t>(icmp.size() & 0xffff);
        sum += IPPROTO_ICMPV6;
    }
    storeU16(icmp, 2, foldedChecksum(addChecksumWords(sum, icmp)));

    std::vector<std::uint8_t> packet = ipHeader(
        datagram.receiver, datagram.sender,
        static_cast<std::uint8_t>(isIPv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP}), icmp.size());
    appendBytes(packet, icmp);
    return packet;
}

}  // namespace platform::netfilter

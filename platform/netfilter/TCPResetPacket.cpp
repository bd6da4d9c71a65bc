#include "platform/netfilter/TCPResetPacket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cassert>
#include <span>

#include "platform/netfilter/InternetChecksum.h"

namespace platform::netfilter {
namespace {

constexpr std::size_t tcpHeaderLength = 20;
constexpr std::uint8_t hopLimit = 64;

void putBytes(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

std::vector<std::uint8_t> tcpHeader(const ResetSegment& segment) {
    std::vector<std::uint8_t> header;
    appendU16(header, segment.sourcePort);
    appendU16(header, segment.destinationPort);
    appendU32(header, segment.sequence);
    appendU32(header, segment.acknowledgment);
    header.push_back(static_cast<std::uint8_t>((tcpHeaderLength / 4) << 4));
    header.push_back(TH_RST | TH_ACK);
    appendU16(header, 0);  // window
    appendU16(header, 0);  // checksum, filled in below
    appendU16(header, 0);  // urgent pointer
    return header;
}

}  // namespace

std::vector<std::uint8_t> buildResetPacket(const ResetSegment& segment) {
    assert(segment.source.family == segment.destination.family);
    auto tcp = tcpHeader(segment);

    // The pseudo-header: both addresses, the protocol and the TCP length.
    std::uint32_t sum = addChecksumWords(0, segment.source.view());
    sum = addChecksumWords(sum, segment.destination.view());
    sum += IPPROTO_TCP + tcpHeaderLength;
    storeU16(tcp, 16, foldedChecksum(addChecksumWords(sum, tcp)));

    std::vector<std::uint8_t> packet;
    if (segment.source.family == AF_INET6) {
        appendU32(packet, 0x60000000);
        appendU16(packet, tcpHeaderLength);
        packet.push_back(IPPROTO_TCP);
        packet.push_back(hopLimit);
    } else {
        packet.push_back(0x45);
        packet.push_back(0);
        appendU16(packet, 20 + tcpHeaderLength);
        appendU16(packet, 0);       // identification
        appendU16(packet, 0x4000);  // don't fragment
        packet.push_back(hopLimit);
        packet.push_back(IPPROTO_TCP);
        appendU16(packet, 0);  // header checksum, filled in below
    }
    putBytes(packet, segment.source.view());
    putBytes(packet, segment.destination.view());
    if (segment.source.family == AF_INET) {
        storeU16(packet, 10, foldedChecksum(addChecksumWords(0, packet)));
    }
    putBytes(packet, tcp);
    return packet;
}

}  // namespace platform::netfilter

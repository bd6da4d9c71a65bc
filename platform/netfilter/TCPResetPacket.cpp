#include "platform/netfilter/TCPResetPacket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cassert>
#include <span>

namespace platform::netfilter {
namespace {

constexpr std::size_t tcpHeaderLength = 20;
constexpr std::uint8_t hopLimit = 64;

void putU16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void putU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    putU16(bytes, static_cast<std::uint16_t>(value >> 16));
    putU16(bytes, static_cast<std::uint16_t>(value));
}

void putBytes(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// The ones'-complement sum of `bytes` as 16-bit big-endian words, added to `sum`.
std::uint32_t addWords(std::uint32_t sum, std::span<const std::uint8_t> bytes) {
    for (std::size_t index = 0; index + 1 < bytes.size(); index += 2) {
        sum += (std::uint32_t{bytes[index]} << 8) | bytes[index + 1];
    }
    if (bytes.size() % 2 != 0) {
        sum += std::uint32_t{bytes.back()} << 8;
    }
    return sum;
}

std::uint16_t foldedComplement(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

void storeU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

std::vector<std::uint8_t> tcpHeader(const ResetSegment& segment) {
    std::vector<std::uint8_t> header;
    putU16(header, segment.sourcePort);
    putU16(header, segment.destinationPort);
    putU32(header, segment.sequence);
    putU32(header, segment.acknowledgment);
    header.push_back(static_cast<std::uint8_t>((tcpHeaderLength / 4) << 4));
    header.push_back(TH_RST | TH_ACK);
    putU16(header, 0);  // window
    putU16(header, 0);  // checksum, filled in below
    putU16(header, 0);  // urgent pointer
    return header;
}

}  // namespace

std::vector<std::uint8_t> buildResetPacket(const ResetSegment& segment) {
    assert(segment.source.family == segment.destination.family);
    auto tcp = tcpHeader(segment);

    // The pseudo-header: both addresses, the protocol and the TCP length.
    std::uint32_t sum = addWords(0, segment.source.view());
    sum = addWords(sum, segment.destination.view());
    sum += IPPROTO_TCP + tcpHeaderLength;
    storeU16(tcp, 16, foldedComplement(addWords(sum, tcp)));

    std::vector<std::uint8_t> packet;
    if (segment.source.family == AF_INET6) {
        putU32(packet, 0x60000000);
        putU16(packet, tcpHeaderLength);
        packet.push_back(IPPROTO_TCP);
        packet.push_back(hopLimit);
    } else {
        packet.push_back(0x45);
        packet.push_back(0);
        putU16(packet, 20 + tcpHeaderLength);
        putU16(packet, 0);       // identification
        putU16(packet, 0x4000);  // don't fragment
        packet.push_back(hopLimit);
        packet.push_back(IPPROTO_TCP);
        putU16(packet, 0);  // header checksum, filled in below
    }
    putBytes(packet, segment.source.view());
    putBytes(packet, segment.destination.view());
    if (segment.source.family == AF_INET) {
        storeU16(packet, 10, foldedComplement(addWords(0, packet)));
    }
    putBytes(packet, tcp);
    return packet;
}

}  // namespace platform::netfilter

#include "platform/netfilter/PacketHeaders.h"

#include <netinet/in.h>

#include <algorithm>

#include "base/ByteReader.h"

namespace platform::netfilter {
namespace {

constexpr std::size_t ipv4MinimumHeaderLength = 20;
constexpr std::size_t ipv6HeaderLength = 40;
constexpr std::uint16_t ipv4FragmentOffsetMask = 0x1fff;
constexpr std::uint16_t ipv4MoreFragmentsFlag = 0x2000;

struct NetworkLayer {
    IPAddress source;
    IPAddress destination;
    std::uint8_t protocol = 0;
    // The transport header and payload as the capture holds them, and whether the capture ended
    // early.
    std::span<const std::uint8_t> transport;
    bool isTruncated = false;
};

// The bytes from `offset` up to the packet's own length, cut to what was captured.
std::span<const std::uint8_t> capturedPart(std::span<const std::uint8_t> packet,
                                           std::size_t offset,
                                           std::size_t packetLength,
                                           bool& isTruncated) {
    const std::size_t end = std::min(packet.size(), packetLength);
    isTruncated = packet.size() < packetLength;
    if (offset >= end) {
        return {};
    }
    return packet.subspan(offset, end - offset);
}

std::optional<NetworkLayer> readIPv4(std::span<const std::uint8_t> packet) {
    if (packet.size() < ipv4MinimumHeaderLength) {
        return std::nullopt;
    }
    base::ByteReader reader(packet);
    const auto versionAndLength = reader.readU8();
    reader.skip(1);
    const auto totalLength = reader.readU16BigEndian();
    reader.skip(2);
    const auto fragment = reader.readU16BigEndian();
    reader.skip(1);
    const auto protocol = reader.readU8();
    reader.skip(2);
    const auto source = reader.readBytes(4);
    const auto destination = reader.readBytes(4);
    if (!destination || !versionAndLength || !totalLength || !fragment || !protocol || !source) {
        return std::nullopt;
    }
    const std::size_t headerLength = (*versionAndLength & 0x0f) * 4u;
    if (headerLength < ipv4MinimumHeaderLength || headerLength > *totalLength ||
        headerLength > packet.size()) {
        return std::nullopt;
    }
    if ((*fragment & (ipv4FragmentOffsetMask | ipv4MoreFragmentsFlag)) != 0) {
        return std::nullopt;
    }
    NetworkLayer layer;
    layer.source = IPAddress::fromBytes(AF_INET, *source);
    layer.destination = IPAddress::fromBytes(AF_INET, *destination);
    layer.protocol = *protocol;
    layer.transport = capturedPart(packet, headerLength, *totalLength, layer.isTruncated);
    return layer;
}

std::optional<NetworkLayer> readIPv6(std::span<const std::uint8_t> packet) {
    if (packet.size() < ipv6HeaderLength) {
        return std::nullopt;
    }
    base::ByteReader reader(packet);
    reader.skip(4);
    const auto payloadLength = reader.readU16BigEndian();
    auto nextHeader = reader.readU8();
    reader.skip(1);
    const auto source = reader.readBytes(16);
    const auto destination = reader.readBytes(16);
    if (!destination || !payloadLength || !nextHeader || !source) {
        return std::nullopt;
    }
    while (*nextHeader == IPPROTO_HOPOPTS || *nextHeader == IPPROTO_ROUTING ||
           *nextHeader == IPPROTO_DSTOPTS) {
        nextHeader = reader.readU8();
        const auto extensionLength = reader.readU8();
        if (!nextHeader || !extensionLength || !reader.skip(6 + *extensionLength * 8u)) {
            return std::nullopt;
        }
    }
    const std::size_t headersLength = reader.offset();
    const std::size_t packetLength = ipv6HeaderLength + *payloadLength;
    if (headersLength > packetLength) {
        return std::nullopt;
    }
    NetworkLayer layer;
    layer.source = IPAddress::fromBytes(AF_INET6, *source);
    layer.destination = IPAddress::fromBytes(AF_INET6, *destination);
    layer.protocol = *nextHeader;
    layer.transport = capturedPart(packet, headersLength, packetLength, layer.isTruncated);
    return layer;
}

}  // namespace

std::optional<PacketHeaders> parsePacketHeaders(std::span<const std::uint8_t> packet) {
    if (packet.empty()) {
        return std::nullopt;
    }
    const int version = packet[0] >> 4;
    std::optional<NetworkLayer> network;
    if (version == 4) {
        network = readIPv4(packet);
    } else if (version == 6) {
        network = readIPv6(packet);
    }
    if (!network || (network->protocol != IPPROTO_TCP && network->protocol != IPPROTO_UDP)) {
        return std::nullopt;
    }

    PacketHeaders headers;
    headers.source = network->source;
    headers.destination = network->destination;
    headers.protocol = network->protocol;
    headers.isTruncated = network->isTruncated;

    base::ByteReader reader(network->transport);
    const auto sourcePort = reader.readU16BigEndian();
    const auto destinationPort = reader.readU16BigEndian();
    if (!sourcePort || !destinationPort) {
        return std::nullopt;
    }
    headers.sourcePort = *sourcePort;
    headers.destinationPort = *destinationPort;

    std::size_t transportHeaderLength = 8;
    if (headers.protocol == IPPROTO_TCP) {
        const auto sequenceHigh = reader.readU16BigEndian();
        const auto sequenceLow = reader.readU16BigEndian();
        const auto acknowledgmentHigh = reader.readU16BigEndian();
        const auto acknowledgmentLow = reader.readU16BigEndian();
        const auto dataOffset = reader.readU8();
        const auto flags = reader.readU8();
        if (!sequenceHigh || !sequenceLow || !acknowledgmentHigh || !acknowledgmentLow ||
            !dataOffset || !flags) {
            return std::nullopt;
        }
        headers.sequence = (std::uint32_t{*sequenceHigh} << 16) | *sequenceLow;
        headers.acknowledgment = (std::uint32_t{*acknowledgmentHigh} << 16) | *acknowledgmentLow;
        headers.tcpFlags = *flags;
        transportHeaderLength = (*dataOffset >> 4) * 4u;
        if (transportHeaderLength < 20) {
            return std::nullopt;
        }
    }
    if (transportHeaderLength > network->transport.size()) {
        return std::nullopt;
    }
    headers.payload = network->transport.subspan(transportHeaderLength);
    return headers;
}

}  // namespace platform::netfilter

#pragma once

#include <cstdint>
#include <vector>

#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// A TCP reset that the stand-in sends itself, to cut the end of a flow that no rejected packet
// reaches.
struct ResetSegment {
    IPAddress source;
    IPAddress destination;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    // Must be the receiver's next expected sequence number for it to accept the reset.
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgment = 0;
};

// The whole packet, IP header included, with RST and ACK set and both checksums filled in. The
// two addresses must be of one family.
std::vector<std::uint8_t> buildResetPacket(const ResetSegment& segment);

}  // namespace platform::netfilter

#pragma once

#include <cstdint>

namespace platform::netfilter {

// The stand-in keeps its decisions in three bits of the packet mark and of the connection-tracking
// mark (`markMask`), leaving every other bit to whoever else uses marks. A packet handed back to
// the kernel with one of the flow values runs through the stand-in's chain again; the chain copies
// the value into the connection's mark, clears it from the packet and acts on it, so later packets
// of the flow are decided by the kernel alone. `ownPacket` marks the resets the stand-in sends
// itself, which the chain lets through untouched.
inline constexpr std::uint32_t markMask = 0x70000000;

enum class FlowMark : std::uint32_t {
    allow = 0x10000000,
    drop = 0x20000000,
    inspect = 0x30000000,
    ownPacket = 0x40000000,
    // Set by the chain on a new UDP flow to port 443 that it queues so that the stand-in learns
    // the flow's host name from its QUIC Initial packets.
    nameLookup = 0x50000000,
};

// `mark` with the stand-in's bits replaced by `value`.
inline std::uint32_t markWith(std::uint32_t mark, FlowMark value) {
    return (mark & ~markMask) | static_cast<std::uint32_t>(value);
}

}  // namespace platform::netfilter

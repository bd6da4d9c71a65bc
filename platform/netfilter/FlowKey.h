#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/netfilter/IPAddress.h"
#include "platform/netfilter/PacketHeaders.h"

namespace platform::netfilter {

// A flow as the packets of its outbound direction name it: the local and the remote address and
// port, and the transport protocol.
struct FlowKey {
    IPAddress local;
    IPAddress remote;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::uint8_t protocol = 0;

    static FlowKey outboundKey(const PacketHeaders& headers) {
        return {headers.source, headers.destination, headers.sourcePort, headers.destinationPort,
                headers.protocol};
    }

    bool operator==(const FlowKey&) const = default;
};

}  // namespace platform::netfilter

template <>
struct std::hash<platform::netfilter::FlowKey> {
    std::size_t operator()(const platform::netfilter::FlowKey& key) const noexcept {
        std::size_t result = key.protocol;
        const auto mix = [&result](std::size_t value) { result = result * 1000003 ^ value; };
        for (const auto* address : {&key.local, &key.remote}) {
            for (std::size_t index = 0; index < address->length(); ++index) {
                mix(address->bytes[index]);
            }
        }
        mix(key.localPort);
        mix(key.remotePort);
        return result;
    }
};

#include "platform/netfilter/IPAddress.h"

#include <arpa/inet.h>

#include <algorithm>

namespace platform::netfilter {

std::optional<IPAddress> IPAddress::fromText(std::string_view text) {
    const std::string terminated(text);
    IPAddress address;
    if (inet_pton(AF_INET, terminated.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET;
        return address;
    }
    if (inet_pton(AF_INET6, terminated.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET6;
        return address;
    }
    return std::nullopt;
}

IPAddress IPAddress::fromBytes(int family, std::span<const std::uint8_t> bytes) {
    IPAddress address;
    address.family = family;
    std::copy_n(bytes.begin(), std::min(bytes.size(), address.length()), address.bytes.begin());
    return address;
}

std::string IPAddress::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(family, bytes.data(), buffer, sizeof(buffer)) == nullptr) {
        return {};
    }
    return buffer;
}

}  // namespace platform::netfilter

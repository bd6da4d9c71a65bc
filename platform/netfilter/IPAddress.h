#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::netfilter {

// An IPv4 or IPv6 address: its family (AF_INET or AF_INET6) and its bytes in network order, of
// which the first 4 (IPv4) or all 16 (IPv6) count.
struct IPAddress {
    int family = AF_INET;
    std::array<std::uint8_t, 16> bytes{};

    // Parses an address literal ("192.0.2.1", "2001:db8::1"); nothing for anything else.
    static std::optional<IPAddress> fromText(std::string_view text);
    // The first 4 or 16 bytes of `bytes`, as `family` wants.
    static IPAddress fromBytes(int family, std::span<const std::uint8_t> bytes);

    // 4 or 16.
    std::size_t length() const { return family == AF_INET6 ? 16 : 4; }
    std::span<const std::uint8_t> view() const { return {bytes.data(), length()}; }
    // The conventional text: dotted quad, or the shortest IPv6 form ("::1").
    std::string text() const;

    bool operator==(const IPAddress&) const = default;
};

}  // namespace platform::netfilter

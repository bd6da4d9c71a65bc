#include "platform/netfilter/RawPacketSender.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::netfilter {

RawPacketSender::RawPacketSender(std::uint32_t mark) : mark(mark) {}

RawPacketSender::~RawPacketSender() {
    for (int descriptor : {ipv4Socket, ipv6Socket}) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
}

base::Expected<int> RawPacketSender::socketFor(int family) {
    int& descriptor = family == AF_INET6 ? ipv6Socket : ipv4Socket;
    if (descriptor >= 0) {
        return descriptor;
    }
    // IPPROTO_RAW implies that the packets carry their own IP header, in both families.
    const int opened = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (opened < 0) {
        return base::Error{std::string("cannot open a raw socket: ") + std::strerror(errno)};
    }
    if (::setsockopt(opened, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
        base::Error error{std::string("cannot mark the raw socket: ") + std::strerror(errno)};
        ::close(opened);
        return error;
    }
    descriptor = opened;
    return descriptor;
}

base::Expected<bool> RawPacketSender::send(std::span<const std::uint8_t> packet,
                                           const IPAddress& destination) {
    auto descriptor = socketFor(destination.family);
    if (!descriptor) {
        return descriptor.error();
    }
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    if (destination.family == AF_INET6) {
        auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&address);
        ipv6->sin6_family = AF_INET6;
        std::memcpy(&ipv6->sin6_addr, destination.bytes.data(), 16);
        addressLength = sizeof(sockaddr_in6);
    } else {
        auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address);
        ipv4->sin_family = AF_INET;
        std::memcpy(&ipv4->sin_addr, destination.bytes.data(), 4);
        addressLength = sizeof(sockaddr_in);
    }
    const ssize_t sent = ::sendto(*descriptor, packet.data(), packet.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), addressLength);
    if (sent < 0) {
        return base::Error{std::string("cannot send a packet: ") + std::strerror(errno)};
    }
    return true;
}

}  // namespace platform::netfilter

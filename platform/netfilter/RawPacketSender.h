#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/value/Expected.h"
#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// Sends whole IP packets, headers included, through raw sockets. Every packet carries `mark`, so
// that the stand-in's chain recognises it as its own. Needs CAP_NET_RAW and, for the mark,
// CAP_NET_ADMIN.
class RawPacketSender {
  public:
    explicit RawPacketSender(std::uint32_t mark);
    ~RawPacketSender();
    RawPacketSender(const RawPacketSender&) = delete;
    RawPacketSender& operator=(const RawPacketSender&) = delete;

    // Sends `packet` towards `destination`; the error says why it could not be sent.
    base::Expected<bool> send(std::span<const std::uint8_t> packet, const IPAddress& destination);

  private:
    base::Expected<int> socketFor(int family);

    std::uint32_t mark;
    int ipv4Socket = -1;
    int ipv6Socket = -1;
};

}  // namespace platform::netfilter

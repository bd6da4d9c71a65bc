#pragma once

#include <cstdint>

namespace platform::netfilter {

// A packet waiting in the kernel's queue for its verdict: the queue's identifier for it, the mark
// it carried when it was queued, and which of the reader's queues holds it.
struct QueuedPacket {
    std::uint32_t identifier = 0;
    std::uint32_t mark = 0;
    std::uint16_t queueIndex = 0;

    bool operator==(const QueuedPacket&) const = default;
};

// What becomes of a queued packet.
enum class PacketDisposition {
    // Goes on unchanged; the flow stays as it is.
    accept,
    // Is discarded (a copy of bytes that another held packet carries).
    discard,
    // Goes back through the chain with the flow's decision in its mark, which the chain stores
    // with the connection: allowed flows are let through from then on, dropped flows cut (a TCP
    // reset to the sender), and flows under inspection keep coming to the queue.
    allowFlow,
    dropFlow,
    inspectFlow,
};

}  // namespace platform::netfilter

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/value/Expected.h"
#include "platform/netfilter/QueuedPacket.h"

struct mnl_socket;

namespace platform::netfilter {

// One netfilter queue, bound through its own netlink socket. The queue copies whole packets (up
// to 64 KiB) and fails open: when it is full, or this socket cannot take a packet, the kernel
// accepts the packet instead of dropping it. Packets queued while no process is bound pass too,
// because the stand-in's rules queue with bypass.
//
// One thread reads packets; verdicts may be added and sent from any thread.
class NetfilterQueue {
  public:
    struct Packet {
        QueuedPacket queued;
        std::span<const std::uint8_t> bytes;
    };

    // How many packets the kernel keeps waiting for a verdict before it accepts new ones unseen.
    static constexpr std::uint32_t maximumLength = 8192;

    // Binds queue `queueNumber`. Fails with the reason, for instance when the process lacks
    // CAP_NET_ADMIN or another process has bound the queue.
    static base::Expected<std::unique_ptr<NetfilterQueue>> open(std::uint16_t queueNumber);
    // Unbinds the queue. Packets still waiting for a verdict are dropped by the kernel, so send
    // every verdict first.
    ~NetfilterQueue();
    NetfilterQueue(const NetfilterQueue&) = delete;
    NetfilterQueue& operator=(const NetfilterQueue&) = delete;

    // For poll(): readable when packets wait.
    int descriptor() const;
    // Reads what waits on the socket, without blocking, and hands each packet to `handler`; false
    // when nothing waited. Fails only when the socket itself fails.
    base::Expected<bool> receive(const std::function<void(const Packet&)>& handler);
    // As receive(), but waits for the packets, up to `waitBound`, or until another thread calls
    // interruptWait(). For a thread that does nothing but answer this queue: it is woken once per
    // batch of packets, straight from the socket.
    base::Expected<bool> receiveWaiting(const std::function<void(const Packet&)>& handler);
    // Ends the receiveWaiting() under way on another thread, or the next one, at once; when that
    // cannot be done it ends within `waitBound`. Any thread may call it.
    void interruptWait() const;

    static constexpr std::chrono::milliseconds waitBound{250};
    // Adds a verdict to the next flush.
    void setVerdict(const QueuedPacket& packet, PacketDisposition disposition);
    // Sends the verdicts added since the last flush, in order.
    base::Expected<bool> flushVerdicts();
    // Accepts every packet still waiting on the socket and sends the verdicts, for the moment
    // before the queue is unbound. Fails with the first failure.
    base::Expected<bool> acceptEverythingWaiting();

  private:
    NetfilterQueue(mnl_socket* socket, std::uint16_t queueNumber);
    base::Expected<bool> read(int flags, const std::function<void(const Packet&)>& handler);
    base::Expected<bool> sendVerdicts();

    mnl_socket* socket;
    std::uint16_t queueNumber;
    std::vector<char> receiveBuffer;
    std::mutex verdictMutex;
    std::vector<char> verdictBuffer;
    std::size_t verdictLength = 0;
};

}  // namespace platform::netfilter

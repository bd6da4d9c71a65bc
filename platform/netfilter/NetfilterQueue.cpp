#include "platform/netfilter/NetfilterQueue.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/netfilter/PacketMarks.h"

namespace platform::netfilter {
namespace {

constexpr std::size_t receiveBufferSize = 256 * 1024;
constexpr std::size_t verdictBufferSize = 64 * 1024;
// Room for one verdict message: header, packet id, verdict and mark.
constexpr std::size_t verdictMessageRoom = 128;
constexpr int socketBufferSize = 16 * 1024 * 1024;
constexpr std::uint32_t copyRange = 0xffff;

base::Error systemError(const std::string& what) {
    return base::Error{what + ": " + std::strerror(errno)};
}

// Sends one configuration message and waits for the kernel's answer to it. Packets that come
// first (rules left behind by an earlier process queue them as soon as the queue is bound) are
// accepted on the spot.
base::Expected<bool> configure(mnl_socket* socket,
                               nlmsghdr* message,
                               std::uint16_t queueNumber,
                               const std::string& what) {
    static std::atomic<std::uint32_t> nextSequence{1};
    const std::uint32_t sequence = nextSequence++;
    message->nlmsg_flags |= NLM_F_ACK;
    message->nlmsg_seq = sequence;
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0) {
        return systemError(what);
    }
    std::vector<char> answer(receiveBufferSize);
    std::vector<char> verdict(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
        const ssize_t length = mnl_socket_recvfrom(socket, answer.data(), answer.size());
        if (length < 0) {
            if (errno == EINTR || errno == ENOBUFS) {
                continue;
            }
            return systemError(what);
        }
        int remaining = static_cast<int>(length);
        for (auto* received = reinterpret_cast<const nlmsghdr*>(answer.data());
             mnl_nlmsg_ok(received, remaining); received = mnl_nlmsg_next(received, &remaining)) {
            if (received->nlmsg_type == NLMSG_ERROR && received->nlmsg_seq == sequence) {
                const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(received));
                if (error->error != 0) {
                    errno = -error->error;
                    return systemError(what);
                }
                return true;
            }
            nlattr* attributes[NFQA_MAX + 1] = {};
            if ((received->nlmsg_type & 0xff) == NFQNL_MSG_PACKET &&
                nfq_nlmsg_parse(received, attributes) >= 0 &&
                attributes[NFQA_PACKET_HDR] != nullptr) {
                const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(
                    mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
                nlmsghdr* accept = nfq_nlmsg_put(verdict.data(), NFQNL_MSG_VERDICT, queueNumber);
                nfq_nlmsg_verdict_put(accept, static_cast<int>(ntohl(header->packet_id)),
                                      NF_ACCEPT);
                mnl_socket_sendto(socket, accept, accept->nlmsg_len);
            }
        }
    }
}

}  // namespace

base::Expected<std::unique_ptr<NetfilterQueue>> NetfilterQueue::open(std::uint16_t queueNumber) {
    const std::string name = "netfilter queue " + std::to_string(queueNumber);
    mnl_socket* socket = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (socket == nullptr) {
        return systemError("cannot open " + name);
    }
    std::unique_ptr<NetfilterQueue> queue(new NetfilterQueue(socket, queueNumber));
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
        return systemError("cannot open " + name);
    }

    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber);
    nfq_nlmsg_cfg_put_cmd(message, AF_UNSPEC, NFQNL_CFG_CMD_BIND);
    if (auto bound = configure(socket, message, queueNumber, "cannot bind " + name); !bound) {
        return bound.error();
    }
    message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber);
    nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, copyRange);
    nfq_nlmsg_cfg_put_qmaxlen(message, maximumLength);
    const std::uint32_t flags = htonl(NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO);
    mnl_attr_put_u32(message, NFQA_CFG_FLAGS, flags);
    mnl_attr_put_u32(message, NFQA_CFG_MASK, flags);
    if (auto configured = configure(socket, message, queueNumber, "cannot configure " + name);
        !configured) {
        return configured.error();
    }

    const int descriptor = mnl_socket_get_fd(socket);
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &socketBufferSize,
                     sizeof(socketBufferSize)) != 0) {
        ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &socketBufferSize,
                     sizeof(socketBufferSize));
    }
    // A full socket buffer must not end the stream of packets with an error: the kernel accepts
    // what it cannot deliver (fail open) and the rest keeps coming.
    const int enabled = 1;
    ::setsockopt(descriptor, SOL_NETLINK, NETLINK_NO_ENOBUFS, &enabled, sizeof(enabled));
    const timeval bound{.tv_sec = 0, .tv_usec = std::chrono::microseconds(waitBound).count()};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
    return queue;
}

NetfilterQueue::NetfilterQueue(mnl_socket* socket, std::uint16_t queueNumber)
    : socket(socket),
      queueNumber(queueNumber),
      receiveBuffer(receiveBufferSize),
      verdictBuffer(verdictBufferSize) {}

NetfilterQueue::~NetfilterQueue() {
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber);
    nfq_nlmsg_cfg_put_cmd(message, AF_UNSPEC, NFQNL_CFG_CMD_UNBIND);
    mnl_socket_sendto(socket, message, message->nlmsg_len);
    mnl_socket_close(socket);
}

int NetfilterQueue::descriptor() const {
    return mnl_socket_get_fd(socket);
}

base::Expected<bool> NetfilterQueue::receive(const std::function<void(const Packet&)>& handler) {
    return read(MSG_DONTWAIT, handler);
}

base::Expected<bool> NetfilterQueue::receiveWaiting(
    const std::function<void(const Packet&)>& handler) {
    return read(0, handler);
}

void NetfilterQueue::interruptWait() const {
    // A message of no meaning sent to this socket from another one ends the wait; the reader
    // passes over everything that is not a queued packet.
    std::unique_ptr<mnl_socket, decltype(&mnl_socket_close)> waker(
        mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC), &mnl_socket_close);
    if (!waker || mnl_socket_bind(waker.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        return;
    }
    nlmsghdr message{};
    message.nlmsg_len = NLMSG_LENGTH(0);
    message.nlmsg_type = NLMSG_NOOP;
    sockaddr_nl destination{};
    destination.nl_family = AF_NETLINK;
    destination.nl_pid = mnl_socket_get_portid(socket);
    (void)::sendto(mnl_socket_get_fd(waker.get()), &message, message.nlmsg_len, 0,
                   reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
}

base::Expected<bool> NetfilterQueue::read(int flags,
                                          const std::function<void(const Packet&)>& handler) {
    ssize_t length = 0;
    do {
        length = ::recv(descriptor(), receiveBuffer.data(), receiveBuffer.size(), flags);
    } while (length < 0 && (errno == EINTR || errno == ENOBUFS));
    if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return false;
        }
        return systemError("cannot read the queue");
    }
    int remaining = static_cast<int>(length);
    // Each message is looked at on its own: an error answer to a verdict (for a packet the kernel
    // no longer holds) must not hide the packets that follow it.
    for (auto* message = reinterpret_cast<const nlmsghdr*>(receiveBuffer.data());
         mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
        if ((message->nlmsg_type & 0xff) != NFQNL_MSG_PACKET ||
            (message->nlmsg_type >> 8) != NFNL_SUBSYS_QUEUE) {
            continue;
        }
        nlattr* attributes[NFQA_MAX + 1] = {};
        if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) {
            continue;
        }
        const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(
            mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
        Packet packet;
        packet.queued.identifier = ntohl(header->packet_id);
        if (attributes[NFQA_MARK] != nullptr) {
            packet.queued.mark = ntohl(mnl_attr_get_u32(attributes[NFQA_MARK]));
        }
        if (attributes[NFQA_PAYLOAD] != nullptr) {
            packet.bytes = {
                static_cast<const std::uint8_t*>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD])),
                mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD])};
        }
        handler(packet);
    }
    return true;
}

void NetfilterQueue::setVerdict(const QueuedPacket& packet, PacketDisposition disposition) {
    std::lock_guard lock(verdictMutex);
    if (verdictLength + verdictMessageRoom > verdictBuffer.size()) {
        // Sending now keeps the order; a failure leaves those packets to the kernel's queue
        // bypass once the queue is closed.
        (void)sendVerdicts();
    }
    nlmsghdr* message =
        nfq_nlmsg_put(verdictBuffer.data() + verdictLength, NFQNL_MSG_VERDICT, queueNumber);
    switch (disposition) {
        case PacketDisposition::accept:
            nfq_nlmsg_verdict_put(message, static_cast<int>(packet.identifier), NF_ACCEPT);
            break;
        case PacketDisposition::discard:
            nfq_nlmsg_verdict_put(message, static_cast<int>(packet.identifier), NF_DROP);
            break;
        case PacketDisposition::allowFlow:
        case PacketDisposition::dropFlow:
        case PacketDisposition::inspectFlow: {
            const FlowMark value = disposition == PacketDisposition::allowFlow  ? FlowMark::allow
                                   : disposition == PacketDisposition::dropFlow ? FlowMark::drop
                                                                                : FlowMark::inspect;
            nfq_nlmsg_verdict_put(message, static_cast<int>(packet.identifier), NF_REPEAT);
            nfq_nlmsg_verdict_put_mark(message, markWith(packet.mark, value));
            break;
        }
    }
    verdictLength += MNL_ALIGN(message->nlmsg_len);
}

base::Expected<bool> NetfilterQueue::flushVerdicts() {
    std::lock_guard lock(verdictMutex);
    return sendVerdicts();
}

base::Expected<bool> NetfilterQueue::sendVerdicts() {
    if (verdictLength == 0) {
        return true;
    }
    const std::size_t length = std::exchange(verdictLength, 0);
    for (;;) {
        if (mnl_socket_sendto(socket, verdictBuffer.data(), length) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return systemError("cannot send verdicts");
        }
    }
}

base::Expected<bool> NetfilterQueue::acceptEverythingWaiting() {
    const auto accept = [this](const Packet& packet) {
        setVerdict(packet.queued, PacketDisposition::accept);
    };
    for (;;) {
        auto received = receive(accept);
        auto flushed = flushVerdicts();
        if (!received) {
            return received;
        }
        if (!flushed) {
            return flushed;
        }
        if (!*received) {
            return true;
        }
    }
}

}  // namespace platform::netfilter

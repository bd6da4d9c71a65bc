#include "platform/netfilter/DNSAnswerListener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "common/BuildConstants.h"
#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/PacketHeaders.h"

namespace platform::netfilter {

DNSAnswerListener::DNSAnswerListener(std::unique_ptr<NetfilterQueue> queue,
                                     std::shared_ptr<LearnedNameRouting> routing)
    : queue(std::move(queue)),
      routing(std::move(routing)),
      logger(common::filterLogSubsystem, "netfilter"),
      wakeDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DNSAnswerListener::~DNSAnswerListener() {
    stop();
    ::close(wakeDescriptor);
}

void DNSAnswerListener::start() {
    thread = std::thread([this] { run(); });
}

void DNSAnswerListener::stop() {
    isStopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeDescriptor, &one, sizeof(one));
    if (thread.joinable()) {
        thread.join();
    }
    if (queue) {
        const auto accept = [this](const NetfilterQueue::Packet& packet) {
            queue->setVerdict(packet.queued, PacketDisposition::accept);
        };
        for (auto received = queue->receive(accept); received && *received;
             received = queue->receive(accept)) {
            (void)queue->flushVerdicts();
        }
        (void)queue->flushVerdicts();
        queue.reset();
    }
}

void DNSAnswerListener::handle(const NetfilterQueue::Packet& packet) {
    try {
        if (const auto headers = parsePacketHeaders(packet.bytes)) {
            const auto now = LearnedNameRouting::Clock::now();
            for (const auto message : dnsMessagesInPacket(*headers)) {
                if (const auto answer = readDNSAnswer(message)) {
                    routing->learn(*answer, now);
                }
            }
        }
    } catch (const std::exception& failure) {
        logger.error("a DNS answer could not be learnt: %{public}s", {failure.what()});
    } catch (...) {
        logger.error("a DNS answer could not be learnt: unknown exception");
    }
    queue->setVerdict(packet.queued, PacketDisposition::accept);
}

void DNSAnswerListener::run() {
    bool didReportReadFailure = false;
    while (!isStopping) {
        pollfd descriptors[] = {{queue->descriptor(), POLLIN, 0}, {wakeDescriptor, POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0 && errno != EINTR) {
            continue;
        }
        if ((descriptors[0].revents & (POLLIN | POLLERR)) != 0) {
            auto received = queue->receive([this](const auto& packet) { handle(packet); });
            if (!received && !didReportReadFailure) {
                didReportReadFailure = true;
                logger.error("%{public}s", {received.error().description});
            }
        }
        if (auto flushed = queue->flushVerdicts(); !flushed) {
            logger.error("%{public}s", {flushed.error().description});
        }
    }
}

}  // namespace platform::netfilter

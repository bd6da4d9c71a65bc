#include "platform/netfilter/DNSAnswerListener.h"

#include <poll.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "common/BuildConstants.h"
#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/PacketHeaders.h"

namespace platform::netfilter {

DNSAnswerListener::DNSAnswerListener(std::unique_ptr<NetfilterQueue> queue,
                                     std::shared_ptr<LearnedNameRouting> routing)
    : queue(std::move(queue)),
      routing(std::move(routing)),
      logger(common::filterLogSubsystem, "netfilter") {}

DNSAnswerListener::~DNSAnswerListener() {
    stop();
}

void DNSAnswerListener::start() {
    thread = std::thread([this] { run(); });
}

void DNSAnswerListener::stop() {
    isStopping = true;
    wakeDescriptor.signal();
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
        pollfd descriptors[] = {{queue->descriptor(), POLLIN, 0},
                                {wakeDescriptor.descriptor(), POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0) {
            // A failing poll() returns at once; pausing keeps the thread from spinning on it.
            if (errno != EINTR) {
                logger.error("waiting for DNS answers failed: %{public}s",
                             {std::string(std::strerror(errno))});
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
            continue;
        }
        if ((descriptors[1].revents & POLLIN) != 0) {
            wakeDescriptor.drain();
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

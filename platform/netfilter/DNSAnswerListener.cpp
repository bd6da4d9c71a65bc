#include "platform/netfilter/DNSAnswerListener.h"

#include <chrono>
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
      loop("DNS answers", std::chrono::milliseconds(250)) {}

DNSAnswerListener::~DNSAnswerListener() {
    stop();
}

void DNSAnswerListener::start() {
    if (queue->descriptor() >= 0) {
        loop.watch(queue->descriptor(), [this] { receive(); });
    }
    thread = std::thread([this] {
        loop.run({.beforeWait = {}, .afterEvents = [this] {
                      if (auto flushed = queue->flushVerdicts(); !flushed) {
                          logger.error("%{public}s", {flushed.error().description});
                      }
                  }});
    });
}

void DNSAnswerListener::stop() {
    loop.stop();
    if (thread.joinable()) {
        thread.join();
    }
    if (queue) {
        if (auto accepted = queue->acceptEverythingWaiting(); !accepted) {
            logger.error("%{public}s", {accepted.error().description});
        }
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

void DNSAnswerListener::receive() {
    auto received = queue->receive([this](const auto& packet) { handle(packet); });
    if (!received && !didReportReadFailure) {
        didReportReadFailure = true;
        logger.error("%{public}s", {received.error().description});
    }
}

}  // namespace platform::netfilter

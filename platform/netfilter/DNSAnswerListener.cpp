#include "platform/netfilter/DNSAnswerListener.h"

#include <chrono>
#include <exception>

#include "common/BuildConstants.h"
#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/PacketHeaders.h"
#include "platform/netfilter/ProcessorAffinity.h"

namespace platform::netfilter {

DNSAnswerListener::DNSAnswerListener(std::unique_ptr<NetfilterQueue> queue,
                                     std::shared_ptr<LearnedNameRouting> routing,
                                     std::vector<unsigned> processors)
    : queue(std::move(queue)),
      routing(std::move(routing)),
      processors(std::move(processors)),
      logger(common::filterLogSubsystem, "netfilter") {}

DNSAnswerListener::~DNSAnswerListener() {
    stop();
}

void DNSAnswerListener::start() {
    if (queue->descriptor() < 0) {
        return;
    }
    thread = std::thread([this] { run(); });
}

void DNSAnswerListener::stop() {
    stopping = true;
    if (thread.joinable()) {
        queue->interruptWait();
        thread.join();
    }
    if (queue) {
        if (auto accepted = queue->acceptEverythingWaiting(); !accepted) {
            logger.error("%{public}s", {accepted.error().description});
        }
        queue.reset();
    }
}

void DNSAnswerListener::run() {
    keepCurrentThreadOn(processors);
    const auto handler = [this](const NetfilterQueue::Packet& packet) { handle(packet); };
    while (!stopping) {
        auto received = queue->receiveWaiting(handler);
        if (auto flushed = queue->flushVerdicts(); !flushed) {
            logger.error("%{public}s", {flushed.error().description});
        }
        if (!received) {
            if (!didReportReadFailure) {
                didReportReadFailure = true;
                logger.error("%{public}s", {received.error().description});
            }
            std::this_thread::sleep_for(failurePause);
            continue;
        }
        didReportReadFailure = false;
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

}  // namespace platform::netfilter

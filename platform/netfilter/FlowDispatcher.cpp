#include "platform/netfilter/FlowDispatcher.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/BuildConstants.h"
#include "platform/netfilter/ICMPUnreachablePacket.h"
#include "platform/netfilter/PacketHeaders.h"
#include "platform/netfilter/PacketMarks.h"
#include "platform/netfilter/TCPResetPacket.h"

namespace platform::netfilter {

class FlowDispatcher::Sink final : public PacketVerdictSink {
  public:
    Sink(NetfilterQueue& queue, const base::Logger& logger)
        : queue(queue), logger(logger), resets(static_cast<std::uint32_t>(FlowMark::ownPacket)) {}

    void setVerdict(const QueuedPacket& packet, PacketDisposition disposition) override {
        queue.setVerdict(packet, disposition);
    }

    void sendReset(const ResetSegment& segment) override {
        auto sent = resets.send(buildResetPacket(segment), segment.destination);
        if (!sent && !didReportResetFailure) {
            didReportResetFailure = true;
            logger.error("dropped flows are cut at one end only: %{public}s",
                         {sent.error().description});
        }
    }

    void sendUnreachable(const RefusedDatagram& datagram) override {
        auto sent = resets.send(buildPortUnreachablePacket(datagram), datagram.sender);
        if (!sent && !didReportUnreachableFailure) {
            didReportUnreachableFailure = true;
            logger.error("senders of dropped datagram flows are not told: %{public}s",
                         {sent.error().description});
        }
    }

  private:
    NetfilterQueue& queue;
    const base::Logger& logger;
    RawPacketSender resets;
    bool didReportResetFailure = false;
    bool didReportUnreachableFailure = false;
};

FlowDispatcher::FlowDispatcher(std::unique_ptr<NetfilterQueue> queue,
                               std::shared_ptr<filter::NEFilterDataProvider> provider,
                               FlowTrackerLimits limits,
                               std::shared_ptr<const NamedFlowRouting> routing,
                               std::shared_ptr<LearnedNameRouting> learnedNames)
    : queue(std::move(queue)), logger(common::filterLogSubsystem, "netfilter") {
    sink = std::make_unique<Sink>(*this->queue, logger);
    LearnedNameLookup lookup;
    if (learnedNames) {
        lookup = [learnedNames](const IPAddress& address) {
            return learnedNames->nameFor(address, LearnedNameRouting::Clock::now());
        };
    }
    tracker = std::make_unique<FlowTracker>(std::move(provider), *sink, limits, std::move(routing),
                                            std::move(lookup));
}

FlowDispatcher::~FlowDispatcher() {
    stop();
}

void FlowDispatcher::start() {
    thread = std::thread([this] { run(); });
}

void FlowDispatcher::request(Mode wanted) {
    std::unique_lock lock(mutex);
    if (requestedMode >= wanted) {
        return;
    }
    requestedMode = wanted;
    lock.unlock();
    wakeDescriptor.signal();
    lock.lock();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        modeChanged.wait(lock, [&] { return mode >= wanted; });
    }
}

void FlowDispatcher::passThrough() {
    request(Mode::passingThrough);
}

void FlowDispatcher::stop() {
    request(Mode::stopping);
    if (thread.joinable()) {
        thread.join();
    }
    if (queue) {
        // Without a running thread: answer what waits, then unbind.
        tracker->releaseAll();
        const auto accept = [this](const NetfilterQueue::Packet& packet) {
            queue->setVerdict(packet.queued, PacketDisposition::accept);
        };
        for (auto received = queue->receive(accept); received && *received;
             received = queue->receive(accept)) {
            (void)queue->flushVerdicts();
        }
        (void)queue->flushVerdicts();
        tracker.reset();
        sink.reset();
        queue.reset();
    }
}

void FlowDispatcher::handle(const NetfilterQueue::Packet& packet) {
    if (mode != Mode::filtering) {
        queue->setVerdict(packet.queued, PacketDisposition::accept);
        return;
    }
    const auto headers = parsePacketHeaders(packet.bytes);
    if (!headers) {
        queue->setVerdict(packet.queued, PacketDisposition::accept);
        return;
    }
    tracker->handlePacket(packet.queued, *headers, FlowTracker::Clock::now());
}

void FlowDispatcher::run() {
    bool didReportReadFailure = false;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (requestedMode != mode) {
                mode = requestedMode;
                if (mode != Mode::filtering) {
                    tracker->releaseAll();
                    (void)queue->flushVerdicts();
                }
                modeChanged.notify_all();
            }
            if (mode == Mode::stopping) {
                return;
            }
        }

        int timeout = static_cast<int>(maximumWait.count());
        if (const auto deadline = tracker->nextDeadline()) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - FlowTracker::Clock::now());
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, timeout));
        }
        pollfd descriptors[] = {{queue->descriptor(), POLLIN, 0},
                                {wakeDescriptor.descriptor(), POLLIN, 0}};
        if (::poll(descriptors, 2, timeout) < 0) {
            // A failing poll() returns at once; waiting out the longest wait keeps the thread
            // from spinning on it.
            if (errno != EINTR) {
                logger.error("waiting for packets failed: %{public}s",
                             {std::string(std::strerror(errno))});
                std::this_thread::sleep_for(maximumWait);
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
        if (mode == Mode::filtering) {
            tracker->expire(FlowTracker::Clock::now());
        }
        if (auto flushed = queue->flushVerdicts(); !flushed) {
            logger.error("%{public}s", {flushed.error().description});
        }
    }
}

}  // namespace platform::netfilter

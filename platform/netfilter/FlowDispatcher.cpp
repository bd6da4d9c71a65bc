#include "platform/netfilter/FlowDispatcher.h"

#include <algorithm>

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
    : queue(std::move(queue)),
      logger(common::filterLogSubsystem, "netfilter"),
      loop("packets", maximumWait) {
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
    loop.wake();
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
        if (auto accepted = queue->acceptEverythingWaiting(); !accepted) {
            logger.error("%{public}s", {accepted.error().description});
        }
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
    if (queue->descriptor() >= 0) {
        loop.watch(queue->descriptor(), [this] { receive(); });
    }
    loop.run(
        {.beforeWait = [this] { return beforeWait(); }, .afterEvents = [this] { afterEvents(); }});
}

std::optional<PollLoop::Clock::time_point> FlowDispatcher::beforeWait() {
    {
        std::lock_guard lock(mutex);
        if (requestedMode != mode) {
            mode = requestedMode;
            if (mode != Mode::filtering) {
                tracker->releaseAll();
                if (auto flushed = queue->flushVerdicts(); !flushed) {
                    logger.error("%{public}s", {flushed.error().description});
                }
            }
            modeChanged.notify_all();
        }
        if (mode == Mode::stopping) {
            loop.stop();
            return std::nullopt;
        }
    }
    // The tracker's watchdog and idle timeout run at least every maximumWait.
    const auto now = FlowTracker::Clock::now();
    auto wakeAt = now + maximumWait;
    if (const auto deadline = tracker->nextDeadline()) {
        wakeAt = std::clamp(*deadline, now, wakeAt);
    }
    return wakeAt;
}

void FlowDispatcher::receive() {
    auto received = queue->receive([this](const auto& packet) { handle(packet); });
    if (!received && !didReportReadFailure) {
        didReportReadFailure = true;
        logger.error("%{public}s", {received.error().description});
    }
}

void FlowDispatcher::afterEvents() {
    if (mode == Mode::filtering) {
        tracker->expire(FlowTracker::Clock::now());
    }
    if (auto flushed = queue->flushVerdicts(); !flushed) {
        logger.error("%{public}s", {flushed.error().description});
    }
}

}  // namespace platform::netfilter

#include "platform/netfilter/FlowDispatcher.h"

#include <algorithm>

#include "common/BuildConstants.h"
#include "platform/netfilter/ICMPUnreachablePacket.h"
#include "platform/netfilter/PacketHeaders.h"
#include "platform/netfilter/PacketMarks.h"
#include "platform/netfilter/ProcessorAffinity.h"
#include "platform/netfilter/TCPResetPacket.h"

namespace platform::netfilter {

class FlowDispatcher::Sink final : public PacketVerdictSink {
  public:
    Sink(const std::vector<std::unique_ptr<NetfilterQueue>>& queues, const base::Logger& logger)
        : queues(queues), logger(logger), resets(static_cast<std::uint32_t>(FlowMark::ownPacket)) {}

    void setVerdict(const QueuedPacket& packet, PacketDisposition disposition) override {
        queues[packet.queueIndex]->setVerdict(packet, disposition);
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
    const std::vector<std::unique_ptr<NetfilterQueue>>& queues;
    const base::Logger& logger;
    RawPacketSender resets;
    bool didReportResetFailure = false;
    bool didReportUnreachableFailure = false;
};

FlowDispatcher::FlowDispatcher(std::vector<std::unique_ptr<NetfilterQueue>> queues,
                               std::shared_ptr<filter::NEFilterDataProvider> provider,
                               FlowTrackerLimits limits,
                               std::shared_ptr<const NamedFlowRouting> routing,
                               std::shared_ptr<LearnedNameRouting> learnedNames)
    : queues(std::move(queues)),
      logger(common::filterLogSubsystem, "netfilter"),
      loop("packets", maximumWait) {
    sink = std::make_unique<Sink>(this->queues, logger);
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
    for (std::size_t index = 1; index < queues.size(); ++index) {
        readers.emplace_back([this, index] { runReader(index); });
    }
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
    readersStopping = true;
    for (std::size_t index = 1; index < queues.size(); ++index) {
        queues[index]->interruptWait();
    }
    for (auto& reader : readers) {
        reader.join();
    }
    readers.clear();
    if (!queues.empty()) {
        // Without running threads: answer what waits, then unbind.
        tracker->releaseAll();
        for (const auto& queue : queues) {
            if (auto accepted = queue->acceptEverythingWaiting(); !accepted) {
                logger.error("%{public}s", {accepted.error().description});
            }
        }
        tracker.reset();
        sink.reset();
        queues.clear();
    }
}

void FlowDispatcher::handle(const NetfilterQueue::Packet& packet, std::size_t index) {
    QueuedPacket queued = packet.queued;
    queued.queueIndex = static_cast<std::uint16_t>(index);
    std::lock_guard lock(mutex);
    if (mode != Mode::filtering) {
        queues[index]->setVerdict(queued, PacketDisposition::accept);
        return;
    }
    const auto headers = parsePacketHeaders(packet.bytes);
    if (!headers) {
        queues[index]->setVerdict(queued, PacketDisposition::accept);
        return;
    }
    tracker->handlePacket(queued, *headers, FlowTracker::Clock::now());
}

void FlowDispatcher::flushVerdicts() {
    // A packet of one queue may release packets held in another.
    for (const auto& queue : queues) {
        if (auto flushed = queue->flushVerdicts(); !flushed) {
            logger.error("%{public}s", {flushed.error().description});
        }
    }
}

void FlowDispatcher::reportReadFailure(const base::Error& error) {
    std::lock_guard lock(mutex);
    if (!didReportReadFailure) {
        didReportReadFailure = true;
        logger.error("%{public}s", {error.description});
    }
}

std::vector<unsigned> FlowDispatcher::processorsOf(std::size_t index) const {
    return queues.size() > 1 ? processorsOfQueue(index, queues.size()) : std::vector<unsigned>{};
}

void FlowDispatcher::run() {
    keepCurrentThreadOn(processorsOf(0));
    if (queues.front()->descriptor() >= 0) {
        loop.watch(queues.front()->descriptor(), [this] { receive(); });
    }
    loop.run(
        {.beforeWait = [this] { return beforeWait(); }, .afterEvents = [this] { afterEvents(); }});
}

void FlowDispatcher::runReader(std::size_t index) {
    keepCurrentThreadOn(processorsOf(index));
    NetfilterQueue& queue = *queues[index];
    const auto handler = [this, index](const NetfilterQueue::Packet& packet) {
        handle(packet, index);
    };
    while (!readersStopping) {
        auto received = queue.receiveWaiting(handler);
        flushVerdicts();
        if (!received) {
            reportReadFailure(received.error());
            std::this_thread::sleep_for(maximumWait);
        }
    }
}

std::optional<PollLoop::Clock::time_point> FlowDispatcher::beforeWait() {
    std::lock_guard lock(mutex);
    if (requestedMode != mode) {
        mode = requestedMode;
        if (mode != Mode::filtering) {
            tracker->releaseAll();
            flushVerdicts();
        }
        modeChanged.notify_all();
    }
    if (mode == Mode::stopping) {
        loop.stop();
        return std::nullopt;
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
    auto received = queues.front()->receive(
        [this](const NetfilterQueue::Packet& packet) { handle(packet, 0); });
    if (!received) {
        reportReadFailure(received.error());
    }
}

void FlowDispatcher::afterEvents() {
    {
        std::lock_guard lock(mutex);
        if (mode == Mode::filtering) {
            tracker->expire(FlowTracker::Clock::now());
        }
    }
    flushVerdicts();
}

}  // namespace platform::netfilter

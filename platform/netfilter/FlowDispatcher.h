#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/log/Log.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/FlowTracker.h"
#include "platform/netfilter/LearnedNameRouting.h"
#include "platform/netfilter/NetfilterQueue.h"
#include "platform/netfilter/PollLoop.h"
#include "platform/netfilter/RawPacketSender.h"

namespace platform::netfilter {

// The threads that read the flow queues and hand their packets to one FlowTracker, which decides
// them with the provider. With several queues the kernel puts each packet in the queue of the
// processor that handles it, and each queue's thread is kept on those processors, so that a
// packet wakes its reader without a cross-processor wake; the packets of one flow may still come
// through different queues, so the tracker is shared, one packet at a time, and each verdict goes
// back through the queue that holds its packet. Packets that are not TCP or UDP over IP, or
// cannot be read, go on unseen. The first queue's thread also runs the tracker's watchdog and
// idle timeout, between batches of packets and at least every `maximumWait`. While a provider
// callback runs, no other packet is decided.
class FlowDispatcher {
  public:
    static constexpr std::chrono::milliseconds maximumWait{250};

    // `queues` holds at least one queue; with several, the kernel spreads packets over them by
    // processor, as NftablesTable's rules do.
    FlowDispatcher(std::vector<std::unique_ptr<NetfilterQueue>> queues,
                   std::shared_ptr<filter::NEFilterDataProvider> provider,
                   FlowTrackerLimits limits,
                   std::shared_ptr<const NamedFlowRouting> routing = nullptr,
                   std::shared_ptr<LearnedNameRouting> learnedNames = nullptr);
    // Stops the thread, as stop() does.
    ~FlowDispatcher();
    FlowDispatcher(const FlowDispatcher&) = delete;
    FlowDispatcher& operator=(const FlowDispatcher&) = delete;

    void start();
    // From now on every packet goes on unseen and held packets are let go; returns once no
    // provider callback runs any more and none will.
    void passThrough();
    // Answers every packet still waiting on the sockets, unbinds the queues and ends the threads.
    void stop();

  private:
    class Sink;
    enum class Mode { filtering, passingThrough, stopping };

    // The first queue's thread.
    void run();
    // The thread of every further queue.
    void runReader(std::size_t index);
    // Takes up a requested mode; returns when the loop is to wake at the latest.
    std::optional<PollLoop::Clock::time_point> beforeWait();
    void receive();
    void afterEvents();
    void handle(const NetfilterQueue::Packet& packet, std::size_t index);
    void flushVerdicts();
    void reportReadFailure(const base::Error& error);
    std::vector<unsigned> processorsOf(std::size_t index) const;
    void request(Mode mode);

    std::vector<std::unique_ptr<NetfilterQueue>> queues;
    std::unique_ptr<Sink> sink;
    const base::Logger logger;
    PollLoop loop;
    std::thread thread;
    std::vector<std::thread> readers;
    std::atomic<bool> readersStopping = false;

    // Guards the tracker, the mode and the reports below.
    std::mutex mutex;
    std::unique_ptr<FlowTracker> tracker;
    std::condition_variable modeChanged;
    Mode requestedMode = Mode::filtering;
    Mode mode = Mode::filtering;
    bool didReportReadFailure = false;
};

}  // namespace platform::netfilter

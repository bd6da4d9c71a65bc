#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "base/log/Log.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/FlowTracker.h"
#include "platform/netfilter/LearnedNameRouting.h"
#include "platform/netfilter/NetfilterQueue.h"
#include "platform/netfilter/PollLoop.h"
#include "platform/netfilter/RawPacketSender.h"

namespace platform::netfilter {

// The thread that reads the queue and hands its packets to a FlowTracker, which decides them with
// the provider. Packets that are not TCP or UDP over IP, or cannot be read, go on unseen. The
// tracker's watchdog and idle timeout run between batches of packets and at least every
// `maximumWait`. A provider callback runs on this thread, and while it runs no other packet is
// answered.
class FlowDispatcher {
  public:
    static constexpr std::chrono::milliseconds maximumWait{250};

    FlowDispatcher(std::unique_ptr<NetfilterQueue> queue,
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
    // Answers every packet still waiting on the socket, unbinds the queue and ends the thread.
    void stop();

  private:
    class Sink;
    enum class Mode { filtering, passingThrough, stopping };

    void run();
    // Takes up a requested mode; returns when the loop is to wake at the latest.
    std::optional<PollLoop::Clock::time_point> beforeWait();
    void receive();
    void afterEvents();
    void handle(const NetfilterQueue::Packet& packet);
    void request(Mode mode);

    std::unique_ptr<NetfilterQueue> queue;
    std::unique_ptr<Sink> sink;
    std::unique_ptr<FlowTracker> tracker;
    const base::Logger logger;
    PollLoop loop;
    std::thread thread;
    bool didReportReadFailure = false;

    std::mutex mutex;
    std::condition_variable modeChanged;
    Mode requestedMode = Mode::filtering;
    Mode mode = Mode::filtering;
};

}  // namespace platform::netfilter

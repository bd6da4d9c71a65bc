#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/log/Log.h"
#include "platform/netfilter/WakeDescriptor.h"

namespace platform::netfilter {

// The one wait loop of the framework's threads: it runs on the thread that calls run(), waits in
// poll() for watched descriptors, a wake or a deadline, and calls the handler of each descriptor
// that became readable. A failing poll() is logged once per run of failures and paced by
// `failurePause`, so the thread never spins on it; a descriptor that is no longer open is logged
// and no longer watched.
class PollLoop {
  public:
    using Clock = std::chrono::steady_clock;
    // What a turn of the loop does around its wait.
    struct Turn {
        // Before each wait; returns the latest time to wake, or none to wait for events only.
        // May call stop().
        std::function<std::optional<Clock::time_point>()> beforeWait;
        // After the handlers of the descriptors that became readable (and after a wake or
        // deadline with none).
        std::function<void()> afterEvents;
    };

    // `waitingFor` names what the loop waits for in its log lines ("packets", "DNS answers").
    PollLoop(std::string waitingFor, std::chrono::milliseconds failurePause);
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // Calls `handler` on the loop's thread each time `descriptor` is readable (or in error),
    // until unwatch(). Any thread may call both; a handler unwatched during a turn is not
    // called later in that turn.
    void watch(int descriptor, std::function<void()> handler);
    void unwatch(int descriptor);

    // Ends the wait under way, or the next one, at once. Any thread may call it.
    void wake();
    // Makes run() return before its next handler or wait; wakes it. Any thread may call it.
    void stop();
    bool isStopping() const { return stopping.load(); }

    // Runs turns on the calling thread until stop().
    void run(const Turn& turn);

  private:
    // Whether the wait ended with events to look at.
    bool wait(std::vector<pollfd>& descriptors, std::optional<Clock::time_point> deadline);

    const base::Logger logger;
    const std::string waitingFor;
    const std::chrono::milliseconds failurePause;
    WakeDescriptor wakeDescriptor;
    std::atomic<bool> stopping{false};
    bool didReportWaitFailure = false;
    std::mutex mutex;  // guards handlers and didReportWakeFailure
    bool didReportWakeFailure = false;
    std::map<int, std::function<void()>> handlers;
};

}  // namespace platform::netfilter

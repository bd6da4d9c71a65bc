#include "platform/netfilter/PollLoop.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "common/BuildConstants.h"

namespace platform::netfilter {

PollLoop::PollLoop(std::string waitingFor, std::chrono::milliseconds failurePause)
    : logger(common::filterLogSubsystem, "netfilter"),
      waitingFor(std::move(waitingFor)),
      failurePause(failurePause) {}

void PollLoop::watch(int descriptor, std::function<void()> handler) {
    {
        std::lock_guard lock(mutex);
        handlers[descriptor] = std::move(handler);
    }
    wake();
}

void PollLoop::unwatch(int descriptor) {
    std::lock_guard lock(mutex);
    handlers.erase(descriptor);
}

void PollLoop::wake() {
    if (const auto failure = wakeDescriptor.signal()) {
        // The loop then notices the change at its next event or deadline only.
        std::lock_guard lock(mutex);
        if (!didReportWakeFailure) {
            didReportWakeFailure = true;
            logger.error("waking the wait for %{public}s failed: %{public}s",
                         {waitingFor, failure.message()});
        }
    }
}

void PollLoop::stop() {
    stopping = true;
    wake();
}

bool PollLoop::wait(std::vector<pollfd>& descriptors, std::optional<Clock::time_point> deadline) {
    int timeout = -1;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
    }
    if (::poll(descriptors.data(), descriptors.size(), timeout) < 0) {
        if (errno == EINTR) {
            return false;
        }
        // A failing poll() returns at once; the pause keeps the thread from spinning on it.
        if (!didReportWaitFailure) {
            didReportWaitFailure = true;
            logger.error("waiting for %{public}s failed: %{public}s",
                         {waitingFor, std::string(std::strerror(errno))});
        }
        std::this_thread::sleep_for(failurePause);
        return false;
    }
    didReportWaitFailure = false;
    if ((descriptors[0].revents & POLLIN) != 0) {
        if (const auto failure = wakeDescriptor.drain()) {
            // A wake that cannot be taken would end every wait at once.
            logger.error("taking a wake of the wait for %{public}s failed: %{public}s",
                         {waitingFor, failure.message()});
            std::this_thread::sleep_for(failurePause);
        }
    }
    return true;
}

void PollLoop::run(const Turn& turn) {
    std::vector<pollfd> descriptors;
    while (!isStopping()) {
        std::optional<Clock::time_point> deadline;
        if (turn.beforeWait) {
            deadline = turn.beforeWait();
        }
        if (isStopping()) {
            return;
        }
        descriptors.assign(1, pollfd{wakeDescriptor.descriptor(), POLLIN, 0});
        {
            std::lock_guard lock(mutex);
            for (const auto& entry : handlers) {
                descriptors.push_back({entry.first, POLLIN, 0});
            }
        }
        if (!wait(descriptors, deadline)) {
            continue;
        }
        for (std::size_t index = 1; index < descriptors.size() && !isStopping(); ++index) {
            const auto events = descriptors[index].revents;
            if ((events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) {
                continue;
            }
            std::function<void()> handler;
            {
                std::lock_guard lock(mutex);
                auto found = handlers.find(descriptors[index].fd);
                if (found == handlers.end()) {
                    continue;
                }
                if ((events & POLLNVAL) != 0) {
                    // Closed without unwatch(): it would end every wait at once from now on.
                    logger.error(
                        "a descriptor waited on for %{public}s is closed; no longer "
                        "watched",
                        {waitingFor});
                    handlers.erase(found);
                    continue;
                }
                handler = found->second;
            }
            handler();
        }
        if (turn.afterEvents) {
            turn.afterEvents();
        }
    }
}

}  // namespace platform::netfilter

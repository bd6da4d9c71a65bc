#include "platform/netfilter/EventLoop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/BuildConstants.h"

namespace platform::netfilter {
namespace {

// How long a loop whose poll() failed waits before it polls again.
constexpr std::chrono::milliseconds pollFailurePause{100};

}  // namespace

EventLoop::EventLoop() : logger(common::filterLogSubsystem, "netfilter") {}

EventLoop::~EventLoop() {
    if (thread.joinable()) {
        stop();
    }
}

void EventLoop::start() {
    thread = std::thread([this] { run(); });
}

void EventLoop::stop() {
    {
        std::lock_guard lock(mutex);
        isStopping = true;
    }
    wakeDescriptor.signal();
    if (thread.joinable()) {
        thread.join();
    }
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    wakeDescriptor.signal();
}

void EventLoop::watch(int descriptor, std::function<void()> handler) {
    {
        std::lock_guard lock(mutex);
        handlers[descriptor] = std::move(handler);
    }
    wakeDescriptor.signal();
}

void EventLoop::unwatch(int descriptor) {
    std::lock_guard lock(mutex);
    handlers.erase(descriptor);
}

void EventLoop::run() {
    for (;;) {
        std::vector<pollfd> descriptors{{wakeDescriptor.descriptor(), POLLIN, 0}};
        {
            std::lock_guard lock(mutex);
            if (isStopping) {
                return;
            }
            for (const auto& [descriptor, handler] : handlers) {
                descriptors.push_back({descriptor, POLLIN, 0});
            }
        }
        if (::poll(descriptors.data(), descriptors.size(), -1) < 0) {
            if (errno != EINTR) {
                logger.error("waiting for events failed: %{public}s",
                             {std::string(std::strerror(errno))});
                std::this_thread::sleep_for(pollFailurePause);
            }
            continue;
        }
        wakeDescriptor.drain();

        for (std::size_t index = 1; index < descriptors.size(); ++index) {
            if ((descriptors[index].revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
                continue;
            }
            std::function<void()> handler;
            {
                std::lock_guard lock(mutex);
                if (isStopping) {
                    return;
                }
                auto found = handlers.find(descriptors[index].fd);
                if (found == handlers.end()) {
                    continue;
                }
                handler = found->second;
            }
            handler();
        }
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex);
                if (isStopping || tasks.empty()) {
                    break;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }
}

}  // namespace platform::netfilter

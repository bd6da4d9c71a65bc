#include "platform/netfilter/EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace platform::netfilter {

EventLoop::EventLoop() : wakeDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EventLoop::~EventLoop() {
    if (thread.joinable()) {
        stop();
    }
    ::close(wakeDescriptor);
}

void EventLoop::start() {
    thread = std::thread([this] { run(); });
}

void EventLoop::stop() {
    {
        std::lock_guard lock(mutex);
        isStopping = true;
    }
    wake();
    if (thread.joinable()) {
        thread.join();
    }
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    wake();
}

void EventLoop::watch(int descriptor, std::function<void()> handler) {
    {
        std::lock_guard lock(mutex);
        handlers[descriptor] = std::move(handler);
    }
    wake();
}

void EventLoop::unwatch(int descriptor) {
    std::lock_guard lock(mutex);
    handlers.erase(descriptor);
}

void EventLoop::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeDescriptor, &one, sizeof(one));
}

void EventLoop::run() {
    for (;;) {
        std::vector<pollfd> descriptors{{wakeDescriptor, POLLIN, 0}};
        {
            std::lock_guard lock(mutex);
            if (isStopping) {
                return;
            }
            for (const auto& [descriptor, handler] : handlers) {
                descriptors.push_back({descriptor, POLLIN, 0});
            }
        }
        if (::poll(descriptors.data(), descriptors.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeDescriptor, &count, sizeof(count));

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

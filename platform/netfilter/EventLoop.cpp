#include "platform/netfilter/EventLoop.h"

namespace platform::netfilter {
namespace {

// How long a loop whose poll() failed waits before it polls again.
constexpr std::chrono::milliseconds pollFailurePause{100};

}  // namespace

EventLoop::EventLoop() : loop("events", pollFailurePause) {}

EventLoop::~EventLoop() {
    if (thread.joinable()) {
        stop();
    }
}

void EventLoop::start() {
    thread = std::thread(
        [this] { loop.run({.beforeWait = {}, .afterEvents = [this] { runTasks(); }}); });
}

void EventLoop::stop() {
    loop.stop();
    if (thread.joinable()) {
        thread.join();
    }
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    loop.wake();
}

void EventLoop::watch(int descriptor, std::function<void()> handler) {
    loop.watch(descriptor, std::move(handler));
}

void EventLoop::unwatch(int descriptor) {
    loop.unwatch(descriptor);
}

void EventLoop::runTasks() {
    while (!loop.isStopping()) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex);
            if (tasks.empty()) {
                return;
            }
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

}  // namespace platform::netfilter

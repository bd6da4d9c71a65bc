#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/netfilter/PollLoop.h"

namespace platform::netfilter {

// A thread of the framework's own that runs posted tasks one after another, in the order they
// were posted, and calls a handler whenever a watched descriptor becomes readable (a PollLoop
// whose turns end with the posted tasks).
class EventLoop {
  public:
    EventLoop();
    // Stops the thread if it still runs; tasks not yet run are dropped.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void start();
    // Lets the running task finish, then ends the thread and waits for it. Not from the loop's
    // own thread.
    void stop();

    // Runs `task` later on the loop's thread, never inside this call. Any thread may post.
    void post(std::function<void()> task);
    // Calls `handler` on the loop's thread each time `descriptor` is readable, until unwatch().
    void watch(int descriptor, std::function<void()> handler);
    void unwatch(int descriptor);

    // Whether the caller runs on the loop's thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread.get_id(); }
    std::thread::id threadIdentifier() const { return thread.get_id(); }

  private:
    void runTasks();

    PollLoop loop;
    std::thread thread;
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
};

}  // namespace platform::netfilter

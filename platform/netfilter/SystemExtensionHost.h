#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/log/Log.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/DNSAnswerListener.h"
#include "platform/netfilter/EventLoop.h"
#include "platform/netfilter/FlowDispatcher.h"
#include "platform/netfilter/NetfilterFramework.h"

namespace platform::netfilter {

// The stop reason given to the provider when the process is asked to end (SIGTERM or SIGINT):
// the platform's "user initiated" code.
inline constexpr filter::NEProviderStopReason userInitiatedStopReason = 1;

// The process around the provider, what system-extension mode is on Linux.
//
// Start: the queue is bound, the principal provider is made by the program's factory and attached
// to a NetfilterFramework, and startFilter is called on the framework's event loop. A start whose
// completion reports an error ends the process with status 1, once the stand-in's rules are
// removed.
//
// Stop: SIGTERM or SIGINT. Flows are let through unseen from then on, the provider is stopped
// with `userInitiatedStopReason`, the table is deleted, every packet still waiting is answered,
// the queue is unbound and the process ends with status 0. A second signal while stopping is
// ignored.
//
// Environment:
//   CONTENT_FILTER_CONFIGURATION  the provider configuration file (see ProviderConfigurationFile.h)
//   CONTENT_FILTER_QUEUE_NUMBER   the first flow queue, 0 to 65535; by default
//   `defaultQueueNumber`.
//                                 One per processor up to eight, numbered on from it (the range
//                                 stops before the DNS answer queues and at the first queue that
//                                 cannot be bound); each packet goes to the queue of the
//                                 processor that handles it (FlowDispatcher)
//   CONTENT_FILTER_DNS_QUEUE_NUMBER  the first queue of DNS answers (DNSAnswerListener, one per
//                                 processor up to eight, numbered on from it and stopping before
//                                 the flow queues), another one; by default the number after the
//                                 last flow queue (the one before the first for 65535)
//   CONTENT_FILTER_MAX_FLOWS      flows remembered at once; by default FlowTrackerLimits'
// A value that cannot be used ends the process at start with status 1 and a message.
class SystemExtensionHost {
  public:
    static constexpr std::uint16_t defaultQueueNumber = 4173;

    // Makes the provider the host serves; called once, at start.
    using ProviderFactory = std::function<std::shared_ptr<filter::NEFilterDataProvider>()>;

    // Starts the host with the provider `makeProvider` gives; returns once the provider's start
    // has been posted to the event loop.
    static void start(const ProviderFactory& makeProvider);
    // Parks the calling thread until the host has finished, then ends the process with the
    // host's exit status. Blocks for ever when start() was never called.
    [[noreturn]] static void parkUntilExit();

  private:
    SystemExtensionHost();
    void begin(const ProviderFactory& makeProvider);
    void handleSignal();
    // Removes the rules, answers what waits in the queue and lets the process end.
    void finish(int status);

    const base::Logger logger;
    EventLoop loop;
    std::shared_ptr<filter::NEFilterDataProvider> provider;
    std::shared_ptr<NetfilterFramework> framework;
    std::unique_ptr<FlowDispatcher> dispatcher;
    // One per answer queue.
    std::vector<std::unique_ptr<DNSAnswerListener>> answerListeners;
    int signalDescriptor = -1;
    bool isStopping = false;

    std::mutex exitMutex;
    std::condition_variable exitRequested;
    std::optional<int> exitStatus;
};

}  // namespace platform::netfilter

#include "platform/netfilter/SystemExtensionHost.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/BuildConstants.h"
#include "platform/netfilter/ProcessorAffinity.h"
#include "platform/provider-configuration/ProviderConfigurationFile.h"

namespace platform::netfilter {
namespace {

SystemExtensionHost* runningHost = nullptr;

[[noreturn]] void failAtStart(const std::string& message) {
    std::fprintf(stderr, "TovrinHelperContentFilterExtension: %s\n", message.c_str());
    std::exit(1);
}

// The value of the variable `name`, a decimal number from `minimum` to `maximum`, or `fallback`
// when it is unset or empty.
std::uint64_t numberFromEnvironment(const char* name,
                                    std::uint64_t minimum,
                                    std::uint64_t maximum,
                                    std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    const std::string_view view(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size() || value < minimum ||
        value > maximum) {
        failAtStart(std::string(name) + " must be a number from " + std::to_string(minimum) +
                    " to " + std::to_string(maximum) + ", not \"" + text + "\"");
    }
    return value;
}

}  // namespace

SystemExtensionHost::SystemExtensionHost() : logger(common::filterLogSubsystem, "netfilter") {}

void SystemExtensionHost::start(const ProviderFactory& makeProvider) {
    if (runningHost != nullptr) {
        return;
    }
    // Blocked before any thread starts, so that every thread inherits the mask and the signals
    // reach only the event loop's signal descriptor.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    runningHost = new SystemExtensionHost();
    runningHost->signalDescriptor = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (runningHost->signalDescriptor < 0) {
        failAtStart(std::string("cannot receive signals: ") + std::strerror(errno));
    }
    runningHost->begin(makeProvider);
}

namespace {

// At most this many flow queues, and as many answer queues (each with a thread reading it).
constexpr std::size_t maximumQueuesPerKind = 8;

// One queue per processor, up to the bound, numbered from `first` on; the range stops before
// `stopBefore` (when it lies above `first`) and at the first queue that cannot be bound. Fails
// only when not even the first one can be bound.
base::Expected<std::vector<std::unique_ptr<NetfilterQueue>>> openQueues(
    std::uint16_t first,
    std::optional<std::uint16_t> stopBefore) {
    std::size_t wanted =
        std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, maximumQueuesPerKind);
    wanted = std::min<std::size_t>(wanted, 65536 - std::size_t{first});
    if (stopBefore && *stopBefore > first) {
        wanted = std::min<std::size_t>(wanted, *stopBefore - first);
    }
    std::vector<std::unique_ptr<NetfilterQueue>> queues;
    for (std::size_t index = 0; index < wanted; ++index) {
        auto opened = NetfilterQueue::open(static_cast<std::uint16_t>(first + index));
        if (!opened) {
            if (queues.empty()) {
                return opened.error();
            }
            break;
        }
        queues.push_back(std::move(opened).value());
    }
    return queues;
}

}  // namespace

void SystemExtensionHost::begin(const ProviderFactory& makeProvider) {
    const auto queueNumber = static_cast<std::uint16_t>(
        numberFromEnvironment("CONTENT_FILTER_QUEUE_NUMBER", 0, 65535, defaultQueueNumber));
    std::optional<std::uint16_t> chosenAnswerQueueNumber;
    if (const char* chosen = std::getenv("CONTENT_FILTER_DNS_QUEUE_NUMBER"); chosen && *chosen) {
        chosenAnswerQueueNumber = static_cast<std::uint16_t>(
            numberFromEnvironment("CONTENT_FILTER_DNS_QUEUE_NUMBER", 0, 65535, 0));
        if (*chosenAnswerQueueNumber == queueNumber) {
            failAtStart("CONTENT_FILTER_DNS_QUEUE_NUMBER must differ from the flow queue's number");
        }
    }
    FlowTrackerLimits limits;
    limits.maximumFlows = static_cast<std::size_t>(
        numberFromEnvironment("CONTENT_FILTER_MAX_FLOWS", 1, 1u << 24, limits.maximumFlows));

    NetfilterFramework::Options options;
    options.configurationPath = providerconfiguration::path();
    auto flowQueues = openQueues(queueNumber, chosenAnswerQueueNumber);
    const std::size_t flowQueueCount = flowQueues ? flowQueues->size() : 1;
    options.flowQueues = {queueNumber, static_cast<std::uint16_t>(flowQueueCount)};
    if (!flowQueues) {
        options.queueProblem = flowQueues.error();
    }
    const std::size_t afterFlowQueues = std::size_t{queueNumber} + flowQueueCount;
    const auto answerQueueNumber = chosenAnswerQueueNumber.value_or(static_cast<std::uint16_t>(
        afterFlowQueues <= 65535 ? afterFlowQueues : std::size_t{queueNumber} - 1));
    auto answerQueues = openQueues(answerQueueNumber, queueNumber);
    if (answerQueues) {
        options.answerQueues = NftablesTable::QueueRange{
            answerQueueNumber, static_cast<std::uint16_t>(answerQueues->size())};
    } else if (flowQueues) {
        logger.error("flows will not be named from DNS answers: %{public}s",
                     {answerQueues.error().description});
    }
    logger.log("starting: configuration %{public}s, queue %{public}ld",
               {options.configurationPath, std::int64_t{queueNumber}});

    provider = makeProvider();
    framework = std::make_shared<NetfilterFramework>(loop, std::move(options));
    provider->attachFramework(framework);
    if (flowQueues) {
        dispatcher = std::make_unique<FlowDispatcher>(std::move(flowQueues).value(), provider,
                                                      limits, framework->namedFlowRouting(),
                                                      framework->learnedNames());
        dispatcher->start();
    }
    if (answerQueues) {
        const auto count = answerQueues->size();
        for (std::size_t index = 0; index < count; ++index) {
            answerListeners.push_back(std::make_unique<DNSAnswerListener>(
                std::move((*answerQueues)[index]), framework->learnedNames(),
                count > 1 ? processorsOfQueue(index, count) : std::vector<unsigned>{}));
            answerListeners.back()->start();
        }
    }

    loop.watch(signalDescriptor, [this] { handleSignal(); });
    loop.post([this] {
        framework->startWatchingConfiguration();
        provider->startFilter([this](std::optional<base::Error> error) {
            if (!error) {
                logger.log("filter running");
                return;
            }
            logger.error("the filter could not start: %{public}s", {error->description});
            loop.post([this] { finish(1); });
        });
    });
    loop.start();
}

void SystemExtensionHost::handleSignal() {
    signalfd_siginfo information{};
    while (::read(signalDescriptor, &information, sizeof(information)) ==
           static_cast<ssize_t>(sizeof(information))) {
        if (isStopping) {
            continue;
        }
        isStopping = true;
        logger.log("stopping on signal %{public}ld", {std::int64_t{information.ssi_signo}});
        if (dispatcher) {
            dispatcher->passThrough();
        }
        provider->stopFilter(userInitiatedStopReason, [this] { loop.post([this] { finish(0); }); });
    }
}

void SystemExtensionHost::finish(int status) {
    isStopping = true;
    if (auto stopped = framework->stop(); !stopped) {
        logger.error("%{public}s", {stopped.error().description});
    }
    if (dispatcher) {
        dispatcher->stop();
    }
    for (const auto& listener : answerListeners) {
        listener->stop();
    }
    logger.log("stopped");
    std::lock_guard lock(exitMutex);
    exitStatus = status;
    exitRequested.notify_all();
}

void SystemExtensionHost::parkUntilExit() {
    if (runningHost == nullptr) {
        for (;;) {
            ::pause();
        }
    }
    SystemExtensionHost& host = *runningHost;
    int status = 0;
    {
        std::unique_lock lock(host.exitMutex);
        host.exitRequested.wait(lock, [&] { return host.exitStatus.has_value(); });
        status = *host.exitStatus;
    }
    host.loop.stop();
    host.dispatcher.reset();
    host.answerListeners.clear();
    host.provider->attachFramework(nullptr);
    host.provider.reset();
    host.framework.reset();
    ::close(host.signalDescriptor);
    runningHost = nullptr;
    delete &host;
    std::exit(status);
}

}  // namespace platform::netfilter

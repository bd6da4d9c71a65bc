#include "platform/netfilter/NetfilterFramework.h"

#include <atomic>
#include <thread>
#include <utility>

#include "common/BuildConstants.h"
#include "platform/netfilter/FilterRuleTranslation.h"
#include "platform/provider-configuration/ProviderConfigurationFile.h"

namespace platform::netfilter {

struct NetfilterFramework::Watch {
    filter::ConfigurationChangeHandler handler;
    // Held while the handler runs, so that ending the watch from another thread waits for it.
    std::mutex callMutex;
    std::atomic<bool> isActive{true};
};

class NetfilterFramework::Observation final : public filter::ConfigurationObservation {
  public:
    Observation(std::shared_ptr<Watch> watch, std::thread::id loopThread)
        : watch(std::move(watch)), loopThread(loopThread) {}

    ~Observation() override {
        // Handlers run only on the loop's thread: there, none can be under way but the caller.
        if (std::this_thread::get_id() == loopThread) {
            watch->isActive = false;
            return;
        }
        std::lock_guard lock(watch->callMutex);
        watch->isActive = false;
    }

  private:
    std::shared_ptr<Watch> watch;
    std::thread::id loopThread;
};

NetfilterFramework::NetfilterFramework(EventLoop& loop, Options options)
    : loop(loop),
      options(std::move(options)),
      logger(common::filterLogSubsystem, "netfilter"),
      table(this->options.tableName, this->options.flowQueues, this->options.answerQueues),
      learnedNameRouting(
          std::make_shared<LearnedNameRouting>([this](std::span<const TimedAddress> addresses) {
              return table.addAddresses(addresses);
          })) {
    configuration = readConfiguration();
}

NetfilterFramework::~NetfilterFramework() = default;

std::shared_ptr<const filter::NEFilterProviderConfiguration>
NetfilterFramework::filterConfiguration() {
    std::lock_guard lock(mutex);
    return configuration;
}

std::unique_ptr<filter::ConfigurationObservation> NetfilterFramework::observeFilterConfiguration(
    filter::ConfigurationChangeHandler handler) {
    auto watch = std::make_shared<Watch>();
    watch->handler = std::move(handler);
    {
        std::lock_guard lock(mutex);
        std::erase_if(watches, [](const auto& existing) { return !existing->isActive; });
        watches.push_back(watch);
    }
    return std::make_unique<Observation>(std::move(watch), loop.threadIdentifier());
}

void NetfilterFramework::apply(filter::NEFilterSettings settings,
                               filter::SettingsCompletion completion) {
    loop.post([this, settings = std::move(settings), completion = std::move(completion)] {
        install(settings, completion);
    });
}

void NetfilterFramework::install(const filter::NEFilterSettings& settings,
                                 const filter::SettingsCompletion& completion) {
    std::optional<base::Error> error;
    if (isStopped) {
        error = base::Error{"the filter is stopping"};
    } else if (options.queueProblem) {
        error = options.queueProblem;
    } else if (auto translated = translateFilterSettings(settings); !translated) {
        error = translated.error();
    } else {
        const auto installWith = [&](std::span<const TimedAddress> learned) {
            return table.install(*translated, learned);
        };
        if (auto installed = learnedNameRouting->replaceHostNames(
                translated->hostRuleNames, LearnedNameRouting::Clock::now(), installWith);
            !installed) {
            error = installed.error();
        } else {
            routing->replace(translated->namedHostRules, translated->defaultAction);
            logger.log(
                "installed %{public}ld packet rules and %{public}ld host names in table "
                "inet %{public}s",
                {static_cast<std::int64_t>(translated->matches.size()),
                 static_cast<std::int64_t>(translated->hostRuleNames.size()), table.name()});
        }
    }
    if (error) {
        logger.error("installing filter settings failed: %{public}s", {error->description});
    }
    if (completion) {
        completion(error);
    }
}

void NetfilterFramework::startWatchingConfiguration() {
    auto opened = FileWatch::open(options.configurationPath);
    if (!opened) {
        logger.error("configuration changes will go unnoticed: %{public}s",
                     {opened.error().description});
        return;
    }
    fileWatch = std::move(opened).value();
    loop.watch(fileWatch->descriptor(), [this] {
        if (fileWatch->readEvents()) {
            configurationFileMayHaveChanged();
        }
    });
    // Whatever changed between the first read and the start of the watch counts too.
    configurationFileMayHaveChanged();
}

void NetfilterFramework::configurationFileMayHaveChanged() {
    auto replacement = readConfiguration();
    std::vector<std::shared_ptr<Watch>> current;
    {
        std::lock_guard lock(mutex);
        if (configuration->vendorConfiguration == replacement->vendorConfiguration) {
            return;
        }
        configuration = replacement;
        current = watches;
    }
    logger.log("provider configuration changed");
    for (const auto& watch : current) {
        std::lock_guard lock(watch->callMutex);
        if (watch->isActive) {
            watch->handler(replacement);
        }
    }
}

std::shared_ptr<const filter::NEFilterProviderConfiguration> NetfilterFramework::readConfiguration()
    const {
    auto read = providerconfiguration::read(options.configurationPath);
    if (!read) {
        logger.error("provider configuration unreadable, taken as none: %{public}s",
                     {read.error().description});
        return std::make_shared<const filter::NEFilterProviderConfiguration>();
    }
    return std::make_shared<const filter::NEFilterProviderConfiguration>(
        filter::NEFilterProviderConfiguration{std::move(read).value()});
}

base::Expected<bool> NetfilterFramework::stop() {
    isStopped = true;
    if (fileWatch) {
        loop.unwatch(fileWatch->descriptor());
        fileWatch.reset();
    }
    return table.remove();
}

}  // namespace platform::netfilter

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/log/Log.h"
#include "base/value/Expected.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/EventLoop.h"
#include "platform/netfilter/FileWatch.h"
#include "platform/netfilter/NamedFlowRouting.h"
#include "platform/netfilter/NftablesTable.h"

namespace platform::netfilter {

// The content-filter framework's services to the provider, on Linux.
//
// The provider configuration is the JSON file at `configurationPath` (see
// platform/provider-configuration): no file, or no vendor dictionary in it, means no vendor
// dictionary; a file that cannot be read or parsed counts as none too, with a log line. The file
// is watched (FileWatch); when what it says changes, the configuration is replaced and every watch
// is called, as the platform does when the host application reconfigures the filter.
//
// Each installation turns the settings into the stand-in's nftables table (NftablesTable),
// replacing the previous one in one transaction. Host rules that name hosts by name match flows
// by the names learnt from DNS answers (`learnedNames()`, fed from the answer queue): the new
// table's sets start with the known addresses the new rules cover. Installations run one after
// another on the event loop; each completion is called there once the installation is done, never
// inside apply(). An installation fails, with the reason, when the settings cannot be translated,
// the table cannot be written (the process lacks CAP_NET_ADMIN, say) or the queue that the rules
// feed could not be bound; and once the filter is stopping.
//
// Configuration watches are called on the event loop too. Ending a watch from another thread
// waits for a call of its handler that is under way.
class NetfilterFramework final : public filter::FilterFramework {
  public:
    struct Options {
        std::string configurationPath;
        // Where the table sends the flows it queues.
        NftablesTable::QueueRange flowQueues;
        std::string tableName = NftablesTable::defaultName;
        // Why the queue is unusable, when it is: every installation then fails with it.
        std::optional<base::Error> queueProblem;
        // Where the table sends DNS answers; none sends none.
        std::optional<NftablesTable::QueueRange> answerQueues;
    };

    NetfilterFramework(EventLoop& loop, Options options);
    ~NetfilterFramework() override;

    std::shared_ptr<const filter::NEFilterProviderConfiguration> filterConfiguration() override;
    std::unique_ptr<filter::ConfigurationObservation> observeFilterConfiguration(
        filter::ConfigurationChangeHandler handler) override;
    void apply(filter::NEFilterSettings settings, filter::SettingsCompletion completion) override;

    // The named host rules and default action of the settings installed last, for the flow
    // tracker.
    std::shared_ptr<const NamedFlowRouting> namedFlowRouting() const { return routing; }

    // Starts watching the configuration file. On the event loop.
    void startWatchingConfiguration();
    // Makes every later installation fail, and deletes the table. On the event loop.
    base::Expected<bool> stop();

    // The names learnt from DNS answers, which the table's sets follow. Lives as long as the
    // framework; learn from it only while the framework exists.
    const std::shared_ptr<LearnedNameRouting>& learnedNames() const { return learnedNameRouting; }

  private:
    struct Watch;
    class Observation;

    void install(const filter::NEFilterSettings& settings,
                 const filter::SettingsCompletion& completion);
    void configurationFileMayHaveChanged();
    std::shared_ptr<const filter::NEFilterProviderConfiguration> readConfiguration() const;

    EventLoop& loop;
    const Options options;
    const base::Logger logger;
    NftablesTable table;
    const std::shared_ptr<NamedFlowRouting> routing = std::make_shared<NamedFlowRouting>();
    std::shared_ptr<LearnedNameRouting> learnedNameRouting;
    std::unique_ptr<FileWatch> fileWatch;
    bool isStopped = false;

    std::mutex mutex;
    std::shared_ptr<const filter::NEFilterProviderConfiguration> configuration;
    std::vector<std::shared_ptr<Watch>> watches;
};

}  // namespace platform::netfilter

// The framework the provider is hosted by: its configuration file and watch, installations, the
// loop it runs on, and the translation of filter rules into packet matches.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/VendorConfiguration.h"
#include "fakes/ChildProcess.h"
#include "platform/netfilter/FilterRuleTranslation.h"
#include "platform/netfilter/NetfilterFramework.h"
#include "platform/netfilter/PollLoop.h"
#include "platform/provider-configuration/ProviderConfigurationFile.h"

namespace platform::netfilter {
namespace {

using namespace std::chrono_literals;

base::Value policy(std::int64_t version) {
    return common::vendorConfiguration(
        common::ContentFilterPolicy({"blocked.example"}, true, version, base::Date{}));
}

// Collects what the framework reports on its loop, for the test's thread to wait on.
struct Reports {
    void add(std::optional<base::Value> vendorConfiguration, bool isOnLoop) {
        std::lock_guard lock(mutex);
        configurations.push_back(std::move(vendorConfiguration));
        allOnLoop = allOnLoop && isOnLoop;
        changed.notify_all();
    }
    // Waits up to five seconds for `count` reports, and returns all of them.
    std::vector<std::optional<base::Value>> waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return configurations.size() >= count; });
        return configurations;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<base::Value>> configurations;
    bool allOnLoop = true;
};

class NetfilterFrameworkTest : public ::testing::Test {
  protected:
    ~NetfilterFrameworkTest() override {
        observation.reset();
        loop.stop();
        framework.reset();
    }

    void start() {
        NetfilterFramework::Options options;
        options.configurationPath = path;
        options.queueProblem =
            base::Error{"cannot bind netfilter queue 7: Operation not permitted"};
        framework = std::make_unique<NetfilterFramework>(loop, options);
        loop.start();
        observation = framework->observeFilterConfiguration([this](const auto& configuration) {
            reports.add(configuration->vendorConfiguration, loop.isCurrent());
        });
        loop.post([this] { framework->startWatchingConfiguration(); });
        drain();
    }
    // Returns once every task posted before has run.
    void drain() {
        std::promise<void> drained;
        loop.post([&] { drained.set_value(); });
        drained.get_future().wait();
    }

    void write(std::optional<base::Value> vendorConfiguration) {
        ASSERT_TRUE(providerconfiguration::write(path, vendorConfiguration).hasValue());
    }

    support::ScratchFolder scratch;
    const std::filesystem::path folder = scratch.path + "/folder";
    const std::string path = (folder / "conf" / "content-filter.json").string();
    EventLoop loop;
    std::unique_ptr<NetfilterFramework> framework;
    std::unique_ptr<filter::ConfigurationObservation> observation;
    Reports reports;
};

// Started before the folder exists; the folder is removed and made again on the way. A file
// without a vendor dictionary, or not JSON at all, is no configuration.
TEST_F(NetfilterFrameworkTest, AReplacedFileFiresTheWatchOnTheLoopOncePerChange) {
    start();
    EXPECT_EQ(framework->filterConfiguration()->vendorConfiguration, std::nullopt);
    write(policy(2));
    ASSERT_EQ(reports.waitFor(1).size(), 1u);
    write(policy(2));  // the same again: nothing changed
    write(std::nullopt);
    ASSERT_EQ(reports.waitFor(2).size(), 2u);
    std::filesystem::remove_all(folder / "conf");
    write(policy(3));
    ASSERT_EQ(reports.waitFor(3).size(), 3u);
    EXPECT_EQ(framework->filterConfiguration()->vendorConfiguration, policy(3));
    std::ofstream(path + ".new") << "{";
    std::filesystem::rename(path + ".new", path);
    using Reported = std::vector<std::optional<base::Value>>;
    EXPECT_EQ(reports.waitFor(4), (Reported{policy(2), std::nullopt, policy(3), std::nullopt}));
    EXPECT_TRUE(reports.allOnLoop);
}

TEST_F(NetfilterFrameworkTest, AnEndedWatchIsNotCalledAgain) {
    start();
    observation.reset();
    write(policy(1));
    // The change is seen (the configuration is replaced) without calling the ended watch.
    for (int attempt = 0;
         attempt < 500 && framework->filterConfiguration()->vendorConfiguration != policy(1);
         ++attempt) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(framework->filterConfiguration()->vendorConfiguration, policy(1));
    drain();
    EXPECT_TRUE(reports.waitFor(0).empty());
}

TEST_F(NetfilterFrameworkTest, AnInstallationCompletesLaterOnTheLoopWithItsError) {
    start();
    std::promise<std::pair<std::optional<base::Error>, bool>> completed;
    // Applied on the loop, so that a completion called later there cannot race the flag.
    bool isInsideApply = false;
    loop.post([&] {
        isInsideApply = true;
        framework->apply({}, [&](std::optional<base::Error> error) {
            completed.set_value({error, loop.isCurrent() && !isInsideApply});
        });
        isInsideApply = false;
    });
    const auto [error, wasLaterOnLoop] = completed.get_future().get();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "cannot bind netfilter queue 7: Operation not permitted");
    EXPECT_TRUE(wasLaterOnLoop);
}

// The turns a PollLoop takes in 300 ms stay few: it neither spins on a descriptor closed under it
// nor on a deadline, which ends each wait once.
TEST(PollLoopTest, WaitsWithoutSpinning) {
    struct Case {
        const char* name;
        bool watchesAClosedDescriptor;
        std::optional<std::chrono::milliseconds> period;
        int minimumTurns;
    } cases[] = {
        {"a closed descriptor", true, std::nullopt, 1},
        {"a deadline every 20 ms", false, 20ms, 5},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        PollLoop loop("test events", 100ms);
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        bool wasCalled = false;
        if (testCase.watchesAClosedDescriptor) {
            loop.watch(pipe[0], [&] { wasCalled = true; });
        }
        ::close(pipe[0]);
        ::close(pipe[1]);
        std::atomic<int> turns{0};
        std::thread thread([&] {
            loop.run({.beforeWait = [&]() -> std::optional<PollLoop::Clock::time_point> {
                          if (!testCase.period) {
                              return std::nullopt;
                          }
                          return PollLoop::Clock::now() + *testCase.period;
                      },
                      .afterEvents = [&] { ++turns; }});
        });
        std::this_thread::sleep_for(300ms);
        loop.stop();
        thread.join();
        EXPECT_GE(turns, testCase.minimumTurns);
        EXPECT_LE(turns, 100);
        EXPECT_FALSE(wasCalled);
    }
}

using filter::NEFilterAction;
using filter::NEFilterRule;
using filter::NENetworkRule;
using filter::NENetworkRuleProtocol;
using filter::NWHostEndpoint;

NEFilterRule networkRule(const std::string& address,
                         int prefix,
                         const std::string& port,
                         NENetworkRuleProtocol protocol,
                         NEFilterAction action = NEFilterAction::filterData) {
    return {NENetworkRule::destinationNetwork(NWHostEndpoint::endpointWithHostname(address, port),
                                              prefix, protocol),
            action};
}

NEFilterRule hostRule(const std::string& host,
                      const std::string& port = "0",
                      NENetworkRuleProtocol protocol = NENetworkRuleProtocol::any) {
    return {
        NENetworkRule::destinationHost(NWHostEndpoint::endpointWithHostname(host, port), protocol),
        NEFilterAction::filterData};
}

PacketMatch match(const std::string& address,
                  int prefix,
                  std::optional<std::uint16_t> port,
                  std::uint8_t protocol,
                  NEFilterAction action = NEFilterAction::filterData) {
    return {*IPAddress::fromText(address), prefix, port, protocol, action};
}

TEST(FilterRuleTranslationTest, TurnsRulesIntoPacketMatchesInOrder) {
    struct Case {
        const char* name;
        std::vector<NEFilterRule> rules;
        std::vector<PacketMatch> matches;
        std::vector<NamedHostRule> named = {};
        std::size_t unmatchable = 0;
    } cases[] = {
        {"a UDP network, any port",
         {networkRule("10.0.0.0", 8, "0", NENetworkRuleProtocol::udp)},
         {match("10.0.0.0", 8, std::nullopt, IPPROTO_UDP)}},
        {"any protocol gives TCP and UDP",
         {networkRule("2001:db8::", 32, "53", NENetworkRuleProtocol::any, NEFilterAction::drop)},
         {match("2001:db8::", 32, 53, IPPROTO_TCP, NEFilterAction::drop),
          match("2001:db8::", 32, 53, IPPROTO_UDP, NEFilterAction::drop)}},
        {"a host rule for an address literal",
         {hostRule("192.0.2.7", "443")},
         {match("192.0.2.7", 32, 443, IPPROTO_TCP), match("192.0.2.7", 32, 443, IPPROTO_UDP)}},
        {"host rules for names: any port or 443 of any protocol or UDP are named rules",
         {hostRule("blocked.example"), hostRule("quic.example", "443", NENetworkRuleProtocol::udp)},
         {},
         {{"blocked.example", NEFilterAction::filterData},
          {"quic.example", NEFilterAction::filterData}}},
        {"host rules for names that no learned name can match",
         {hostRule("tcp.example", "0", NENetworkRuleProtocol::tcp), hostRule("dns.example", "53")},
         {},
         {},
         2},
        {"several rules, in order",
         {networkRule("0.0.0.0", 0, "80", NENetworkRuleProtocol::tcp),
          networkRule("::", 0, "443", NENetworkRuleProtocol::tcp)},
         {match("0.0.0.0", 0, 80, IPPROTO_TCP), match("::", 0, 443, IPPROTO_TCP)}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto translated = translateFilterSettings({testCase.rules, NEFilterAction::drop});
        ASSERT_TRUE(translated.hasValue());
        EXPECT_EQ(translated->matches, testCase.matches);
        EXPECT_EQ(translated->namedHostRules, testCase.named);
        EXPECT_EQ(translated->unmatchableHostRuleCount, testCase.unmatchable);
        EXPECT_EQ(translated->hostRuleNames.size(), testCase.named.size() + testCase.unmatchable);
        EXPECT_EQ(translated->defaultAction, NEFilterAction::drop);
    }
}

TEST(FilterRuleTranslationTest, NamesTheRuleThatCannotBeTranslated) {
    struct Case {
        const char* name;
        NEFilterRule rule;
        const char* error;
    } cases[] = {
        {"a network that is a name",
         networkRule("example.com", 0, "80", NENetworkRuleProtocol::tcp),
         "filter rule 2: \"example.com\" is not an IP address"},
        {"a prefix too long", networkRule("10.0.0.0", 33, "80", NENetworkRuleProtocol::tcp),
         "filter rule 2: prefix 33 is out of range"},
        {"a port too large", networkRule("::", 0, "65536", NENetworkRuleProtocol::tcp),
         "filter rule 2: \"65536\" is not a port"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        filter::NEFilterSettings settings{{hostRule("fine.example"), testCase.rule},
                                          NEFilterAction::allow};
        const auto translated = translateFilterSettings(settings);
        ASSERT_FALSE(translated.hasValue());
        EXPECT_EQ(translated.error().description, testCase.error);
    }
}

}  // namespace
}  // namespace platform::netfilter

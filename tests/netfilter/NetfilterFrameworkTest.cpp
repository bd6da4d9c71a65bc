// The framework the provider is hosted by: its configuration file and watch, installations, the
// loop it runs on, and the translation of filter rules into packet matches.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
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
using Configuration = std::optional<base::Value>;

Configuration policy(std::int64_t version) {
    return common::vendorConfiguration(
        common::ContentFilterPolicy({"blocked.example"}, true, version, base::Date{}));
}

// Waits up to five seconds for `condition`; whether it came.
bool eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 500 && !condition(); ++attempt) {
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

class NetfilterFrameworkTest : public ::testing::Test {
  protected:
    NetfilterFrameworkTest() {
        NetfilterFramework::Options options;
        options.configurationPath = path;
        options.queueProblem = base::Error{"cannot bind queue 7: Operation not permitted"};
        framework = std::make_unique<NetfilterFramework>(loop, options);
        loop.start();
        observation = framework->observeFilterConfiguration([this](const auto& configuration) {
            reports.push_back(configuration->vendorConfiguration);
            allOnLoop = allOnLoop && loop.isCurrent();
        });
        onLoop([this] { framework->startWatchingConfiguration(); });
    }
    ~NetfilterFrameworkTest() override {
        observation.reset();
        loop.stop();
        framework.reset();
    }

    // Runs `task` on the loop, and returns once it has run.
    void onLoop(const std::function<void()>& task) {
        std::promise<void> done;
        loop.post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    // What the watch reported, once it reported `count` times or five seconds passed.
    std::vector<Configuration> reported(std::size_t count) {
        std::vector<Configuration> copy;
        eventually([&] {
            onLoop([&] { copy = reports; });
            return copy.size() >= count;
        });
        return copy;
    }
    void write(Configuration vendorConfiguration) {
        ASSERT_TRUE(providerconfiguration::write(path, vendorConfiguration).hasValue());
    }

    support::ScratchFolder scratch;
    const std::filesystem::path folder = scratch.path + "/folder";
    const std::string path = (folder / "conf" / "content-filter.json").string();
    EventLoop loop;
    std::unique_ptr<NetfilterFramework> framework;
    std::unique_ptr<filter::ConfigurationObservation> observation;
    // Touched on the loop only.
    std::vector<Configuration> reports;
    bool allOnLoop = true;
};

// Started before the folder exists; the folder is removed and made again on the way. A file
// without a vendor dictionary, or not JSON at all, is no configuration.
TEST_F(NetfilterFrameworkTest, AReplacedFileFiresEachLiveWatchOnTheLoopOncePerChange) {
    EXPECT_EQ(framework->filterConfiguration()->vendorConfiguration, std::nullopt);
    write(policy(2));
    ASSERT_EQ(reported(1).size(), 1u);
    write(policy(2));  // the same again: nothing changed
    write(std::nullopt);
    ASSERT_EQ(reported(2).size(), 2u);
    std::filesystem::remove_all(folder / "conf");
    write(policy(3));
    ASSERT_EQ(reported(3).size(), 3u);
    EXPECT_EQ(framework->filterConfiguration()->vendorConfiguration, policy(3));
    std::ofstream(path + ".new") << "{";
    std::filesystem::rename(path + ".new", path);
    EXPECT_EQ(reported(4),
              (std::vector<Configuration>{policy(2), std::nullopt, policy(3), std::nullopt}));
    EXPECT_TRUE(allOnLoop);

    // A change is seen (the configuration is replaced) without calling an ended watch.
    observation.reset();
    write(policy(4));
    EXPECT_TRUE(eventually(
        [&] { return framework->filterConfiguration()->vendorConfiguration == policy(4); }));
    EXPECT_EQ(reported(4).size(), 4u);
}

TEST_F(NetfilterFrameworkTest, AnInstallationCompletesLaterOnTheLoopWithItsError) {
    std::promise<std::string> completed;
    // Applied on the loop, so that a completion called later there cannot race the flag.
    bool isInsideApply = true;
    loop.post([&] {
        framework->apply({}, [&](std::optional<base::Error> error) {
            const bool isLaterOnLoop = loop.isCurrent() && !isInsideApply;
            completed.set_value(isLaterOnLoop ? error.value_or(base::Error{"none"}).description
                                              : "called inside apply() or off the loop");
        });
        isInsideApply = false;
    });
    EXPECT_EQ(completed.get_future().get(), "cannot bind queue 7: Operation not permitted");
}

// The turns a PollLoop takes in 300 ms stay few: it neither spins on a descriptor closed under it
// nor on a deadline, which ends each wait once.
TEST(PollLoopTest, WaitsWithoutSpinning) {
    for (const bool watchesAClosedDescriptor : {true, false}) {
        SCOPED_TRACE(watchesAClosedDescriptor ? "a closed descriptor" : "a deadline every 20 ms");
        PollLoop loop("test events", 100ms);
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        bool wasCalled = false;
        if (watchesAClosedDescriptor) {
            loop.watch(pipe[0], [&] { wasCalled = true; });
        }
        ::close(pipe[0]);
        ::close(pipe[1]);
        std::atomic<int> turns{0};
        std::thread thread([&] {
            loop.run({.beforeWait =
                          [&] {
                              return watchesAClosedDescriptor
                                         ? std::nullopt
                                         : std::optional(PollLoop::Clock::now() + 20ms);
                          },
                      .afterEvents = [&] { ++turns; }});
        });
        std::this_thread::sleep_for(300ms);
        loop.stop();
        thread.join();
        EXPECT_GE(turns, watchesAClosedDescriptor ? 1 : 5);
        EXPECT_LE(turns, 100);
        EXPECT_FALSE(wasCalled);
    }
}

using filter::NEFilterAction;
using filter::NENetworkRuleProtocol;

// A rule to `address` and `port` of `protocol`: for a network of `prefix` bits, or with no prefix
// for a host.
filter::NEFilterRule rule(const std::string& address,
                          std::optional<int> prefix,
                          const std::string& port,
                          NENetworkRuleProtocol protocol = NENetworkRuleProtocol::any,
                          NEFilterAction action = NEFilterAction::filterData) {
    auto endpoint = filter::NWHostEndpoint::endpointWithHostname(address, port);
    return {prefix ? filter::NENetworkRule::destinationNetwork(endpoint, *prefix, protocol)
                   : filter::NENetworkRule::destinationHost(endpoint, protocol),
            action};
}

// The translation of `rules`, default drop: each match as "network/prefix:port protocol action",
// then each named host rule as "name action", then the names of every host rule naming a host by
// name; or the error.
std::string translated(std::vector<filter::NEFilterRule> rules) {
    const auto translated = translateFilterSettings({std::move(rules), NEFilterAction::drop});
    if (!translated.hasValue()) {
        return translated.error().description;
    }
    const auto name = [](NEFilterAction action) {
        return action == NEFilterAction::drop    ? " drop, "
               : action == NEFilterAction::allow ? " allow, "
                                                 : " filterData, ";
    };
    std::string text;
    for (const auto& match : translated->matches) {
        text += match.network.text() + "/" + std::to_string(match.prefix) + ":" +
                (match.port ? std::to_string(*match.port) : "any") + " " +
                std::to_string(match.protocol) + name(match.action);
    }
    for (const auto& named : translated->namedHostRules) {
        text += named.host + name(named.action);
    }
    for (const auto& host : translated->hostRuleNames) {
        text += "(" + host + ")";
    }
    return text + (translated->defaultAction == NEFilterAction::drop ? "" : " no default");
}

TEST(FilterRuleTranslationTest, TurnsRulesIntoPacketMatchesInOrderOrNamesTheRuleItCannot) {
    using enum NENetworkRuleProtocol;
    const std::pair<std::vector<filter::NEFilterRule>, std::string> cases[] = {
        // Networks of one protocol, in order; of any protocol, which gives TCP and UDP.
        {{rule("10.0.0.0", 8, "0", udp), rule("::", 0, "443", tcp, NEFilterAction::allow)},
         "10.0.0.0/8:any 17 filterData, ::/0:443 6 allow, "},
        {{rule("2001:db8::", 32, "53", any, NEFilterAction::drop)},
         "2001:db8::/32:53 6 drop, 2001:db8::/32:53 17 drop, "},
        // A host rule for an address literal.
        {{rule("192.0.2.7", {}, "443")},
         "192.0.2.7/32:443 6 filterData, 192.0.2.7/32:443 17 filterData, "},
        // Host rules for names: any port, or 443 of any protocol or UDP, make named rules.
        {{rule("blocked.example", {}, "0"), rule("quic.example", {}, "443", udp)},
         "blocked.example filterData, quic.example filterData, (blocked.example)(quic.example)"},
        // Host rules for names that no learned name of a QUIC flow can match.
        {{rule("tcp.example", {}, "0", tcp), rule("dns.example", {}, "53")},
         "(tcp.example)(dns.example)"},
        // Rules that cannot be translated, after one that can.
        {{rule("fine.example", {}, "0"), rule("example.com", 0, "80", tcp)},
         "filter rule 2: \"example.com\" is not an IP address"},
        {{rule("fine.example", {}, "0"), rule("10.0.0.0", 33, "80", tcp)},
         "filter rule 2: prefix 33 is out of range"},
        {{rule("fine.example", {}, "0"), rule("::", 0, "65536", tcp)},
         "filter rule 2: \"65536\" is not a port"},
    };
    for (const auto& [rules, expected] : cases) {
        EXPECT_EQ(translated(rules), expected);
    }
}

}  // namespace
}  // namespace platform::netfilter

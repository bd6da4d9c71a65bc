// While the DNS thread writes to the kernel's sets, flows are still named, and host names are not
// replaced in the middle of the write.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/netfilter/LearnedNameRouting.h"

namespace platform::netfilter {
namespace {

using namespace std::chrono_literals;
using Clock = LearnedNameRouting::Clock;

IPAddress ip(const char* text) {
    return *IPAddress::fromText(text);
}

TEST(LearnedNameRoutingWriteTest, FlowsAreNamedWhileTheSetsAreWritten) {
    // The kernel stands still until released.
    std::promise<void> entered, release;
    auto routing = std::make_shared<LearnedNameRouting>([&](std::span<const TimedAddress>) {
        entered.set_value();
        release.get_future().wait();
        return base::Expected<bool>(true);
    });
    std::vector<TimedAddress> installed;
    const auto install = [&](std::span<const TimedAddress> addresses) {
        installed.assign(addresses.begin(), addresses.end());
        return base::Expected<bool>(true);
    };
    ASSERT_TRUE(routing->replaceHostNames({"blocked.example"}, Clock::now(), install));
    routing->learn(DNSAnswer{"allowed.example", {{ip("10.0.0.1"), 300}}}, Clock::now());
    std::thread learner([&] {
        routing->learn(DNSAnswer{"www.blocked.example", {{ip("10.0.0.2"), 300}}}, Clock::now());
    });
    entered.get_future().wait();

    struct Case {
        const char* address;
        const char* name;
    } cases[] = {
        {"10.0.0.1", "allowed.example"},
        // The table has the name before the kernel has the address.
        {"10.0.0.2", "www.blocked.example"},
    };
    // Kept until the write is released, so that a lookup stuck behind it fails the test only.
    std::vector<std::future<std::optional<std::string>>> lookups;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.address);
        auto& named = lookups.emplace_back(std::async(
            std::launch::async, [&] { return routing->nameFor(ip(each.address), Clock::now()); }));
        if (named.wait_for(2s) != std::future_status::ready) {
            ADD_FAILURE() << "waited for the write";
            continue;
        }
        EXPECT_EQ(named.get(), std::optional<std::string>(each.name));
    }

    // New sets start only once the write is done, so that they hold its address.
    auto replaced = std::async(std::launch::async, [&] {
        return routing->replaceHostNames({"blocked.example"}, Clock::now(), install);
    });
    EXPECT_EQ(replaced.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    learner.join();
    ASSERT_TRUE(replaced.get());
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0].address, ip("10.0.0.2"));
}

}  // namespace
}  // namespace platform::netfilter

// Naming flows while the DNS thread writes to the kernel's sets: the packet thread must never wait
// for that write, and host names must not be replaced in the middle of it.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
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

DNSAnswer answer(const char* name, const char* address) {
    return DNSAnswer{name, {{ip(address), 300}}};
}

// A writer that holds every write until released, as a slow kernel would.
class HeldWriter {
  public:
    AddressSetWriter writer() {
        return [this](std::span<const TimedAddress>) {
            entered.set_value();
            release.get_future().wait();
            return base::Expected<bool>(true);
        };
    }
    std::promise<void> entered;
    std::promise<void> release;
};

TEST(LearnedNameRoutingWriteTest, FlowsAreNamedWhileTheSetsAreWritten) {
    HeldWriter held;
    auto routing = std::make_shared<LearnedNameRouting>(held.writer());
    ASSERT_TRUE(routing->replaceHostNames({"blocked.example"}, Clock::now(),
                                          [](auto) { return base::Expected<bool>(true); }));
    routing->learn(answer("allowed.example", "10.0.0.1"), Clock::now());

    std::thread learner(
        [&] { routing->learn(answer("www.blocked.example", "10.0.0.2"), Clock::now()); });
    held.entered.get_future().wait();

    struct Case {
        const char* address;
        const char* name;
    } cases[] = {
        {"10.0.0.1", "allowed.example"},
        // The table has the name before the kernel has the address.
        {"10.0.0.2", "www.blocked.example"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.address);
        auto named = std::async(std::launch::async,
                                [&] { return routing->nameFor(ip(each.address), Clock::now()); });
        ASSERT_EQ(named.wait_for(2s), std::future_status::ready) << "waited for the write";
        EXPECT_EQ(named.get(), std::optional<std::string>(each.name));
    }

    // New host names wait for the write under way, so that its address is not lost between the
    // old sets and the new.
    std::vector<TimedAddress> installed;
    auto replaced = std::async(std::launch::async, [&] {
        return routing->replaceHostNames({"blocked.example"}, Clock::now(),
                                         [&](std::span<const TimedAddress> addresses) {
                                             installed.assign(addresses.begin(), addresses.end());
                                             return base::Expected<bool>(true);
                                         });
    });
    EXPECT_EQ(replaced.wait_for(50ms), std::future_status::timeout);
    held.release.set_value();
    learner.join();
    ASSERT_TRUE(replaced.get());
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0].address, ip("10.0.0.2"));
}

}  // namespace
}  // namespace platform::netfilter

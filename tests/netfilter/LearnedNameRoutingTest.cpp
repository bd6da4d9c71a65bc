#include "platform/netfilter/LearnedNameRouting.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/netfilter/ResolvedNameTable.h"

namespace platform::netfilter {
namespace {

using namespace std::chrono_literals;
using Clock = ResolvedNameTable::Clock;

IPAddress ip(const char* text) {
    return *IPAddress::fromText(text);
}

class ResolvedNameTableTest : public ::testing::Test {
  protected:
    ResolvedNameLimits limits{.maximumAddresses = 3, .gracePeriod = 120s, .maximumTTL = 3600s};
    ResolvedNameTable table{limits};
    Clock::time_point now = Clock::now();
};

TEST_F(ResolvedNameTableTest, KnowsANameForItsTTLPlusTheGracePeriod) {
    struct Case {
        std::uint32_t ttl;
        std::chrono::seconds knownUntil;
    } cases[] = {{0, 120s}, {60, 180s}, {7 * 24 * 3600, 3720s}, {0xffffffff, 3720s}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.ttl);
        ResolvedNameTable fresh(limits);
        fresh.record(ip("192.0.2.1"), "a.example", testCase.ttl, now);
        EXPECT_EQ(fresh.nameFor(ip("192.0.2.1"), now + testCase.knownUntil - 1s), "a.example");
        EXPECT_EQ(fresh.nameFor(ip("192.0.2.1"), now + testCase.knownUntil), std::nullopt);
        EXPECT_EQ(fresh.size(), 0u);
    }
}

TEST_F(ResolvedNameTableTest, TheNameMostRecentlyResolvedForAnAddressWins) {
    table.record(ip("2001:db8::1"), "blocked.example", 3000, now);
    table.record(ip("2001:db8::1"), "allowed.example", 10, now + 1s);
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now + 2s), "allowed.example");
    // The newer answer's lifetime holds, even when shorter than the older one's.
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now + 131s), std::nullopt);
    // The IPv4 address with the same first bytes is another address.
    table.record(ip("32.1.13.184"), "v4.example", 60, now);
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now), std::nullopt);
}

TEST_F(ResolvedNameTableTest, ForgetsTheLeastRecentlyUsedAddressWhenFull) {
    for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
        table.record(ip(address), address, 60, now);
    }
    // Looking up the first makes the second the least recently used.
    EXPECT_EQ(table.nameFor(ip("192.0.2.1"), now), "192.0.2.1");
    table.record(ip("192.0.2.4"), "four.example", 60, now);
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.nameFor(ip("192.0.2.2"), now), std::nullopt);
    for (const char* kept : {"192.0.2.1", "192.0.2.3", "192.0.2.4"}) {
        EXPECT_TRUE(table.nameFor(ip(kept), now).has_value()) << kept;
    }
}

class LearnedNameRoutingTest : public ::testing::Test {
  protected:
    LearnedNameRoutingTest() {
        const std::vector<std::string> names{"blocked.example"};
        EXPECT_TRUE(
            routing.replaceHostNames(names, now, [](auto) { return base::Expected<bool>(true); }));
    }

    static DNSAnswer answer(std::string name, std::vector<DNSAnswer::Address> addresses) {
        return {std::move(name), std::move(addresses)};
    }

    std::vector<std::vector<TimedAddress>> writes;
    bool writerFails = false;
    std::function<void()> whileWriting = [] {};
    LearnedNameRouting routing{
        [this](std::span<const TimedAddress> addresses) -> base::Expected<bool> {
            whileWriting();
            writes.emplace_back(addresses.begin(), addresses.end());
            if (writerFails) {
                return base::Error{"no table"};
            }
            return true;
        },
        ResolvedNameLimits{.maximumAddresses = 100, .gracePeriod = 120s, .maximumTTL = 86400s}};
    Clock::time_point now = Clock::now();
};

TEST_F(LearnedNameRoutingTest, PutsOnlyAddressesOfCoveredNamesIntoTheSets) {
    routing.learn(answer("www.blocked.example", {{ip("192.0.2.1"), 60}, {ip("2001:db8::1"), 5}}),
                  now);
    routing.learn(answer("blocked.example.net", {{ip("192.0.2.2"), 60}}), now);
    routing.learn(answer("notblocked.example", {{ip("192.0.2.3"), 60}}), now);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0],
              (std::vector<TimedAddress>{{ip("192.0.2.1"), 180s}, {ip("2001:db8::1"), 125s}}));
    // Every answer names its addresses, covered or not.
    EXPECT_EQ(routing.nameFor(ip("192.0.2.3"), now), "notblocked.example");
    EXPECT_EQ(routing.nameFor(ip("2001:db8::1"), now), "www.blocked.example");

    // A failing writer loses the sets' entries, not the names.
    writerFails = true;
    routing.learn(answer("blocked.example", {{ip("192.0.2.9"), 60}}), now);
    EXPECT_EQ(routing.nameFor(ip("192.0.2.9"), now), "blocked.example");
}

TEST_F(LearnedNameRoutingTest, RewritesAnAddressOnlyWhenTheSetsHoldItForLessThanHalfItsLifetime) {
    const auto learnAt = [&](std::chrono::seconds when) {
        writes.clear();
        routing.learn(answer("blocked.example", {{ip("192.0.2.1"), 180}}), now + when);
        return !writes.empty();
    };
    EXPECT_TRUE(learnAt(0s));     // held until 300 s
    EXPECT_FALSE(learnAt(100s));  // 200 s left of 300
    EXPECT_TRUE(learnAt(151s));   // 149 s left: written, held until 451 s
    EXPECT_FALSE(learnAt(200s));
    // A failed write is tried again with the next answer.
    writerFails = true;
    EXPECT_TRUE(learnAt(400s));
    writerFails = false;
    EXPECT_TRUE(learnAt(401s));
    // A new name on the address does not make the sets forget it.
    routing.learn(answer("other.example", {{ip("192.0.2.1"), 180}}), now + 402s);
    EXPECT_FALSE(learnAt(403s));
}

TEST_F(LearnedNameRoutingTest, NewHostNamesStartTheirSetsWithTheKnownAddressesTheyCover) {
    routing.learn(answer("blocked.example", {{ip("192.0.2.1"), 600}}), now);
    routing.learn(answer("later.example", {{ip("192.0.2.2"), 600}, {ip("192.0.2.3"), 0}}), now);

    std::vector<TimedAddress> installed;
    const auto install = [&](std::span<const TimedAddress> addresses) -> base::Expected<bool> {
        installed.assign(addresses.begin(), addresses.end());
        return true;
    };
    const std::vector<std::string> names{"later.example"};
    ASSERT_TRUE(routing.replaceHostNames(names, now + 100s, install));
    // 192.0.2.3 (TTL 0) has 20 s of its grace period left.
    EXPECT_EQ(installed,
              (std::vector<TimedAddress>{{ip("192.0.2.2"), 620s}, {ip("192.0.2.3"), 20s}}));

    // A failed installation keeps the old names.
    const std::vector<std::string> failing{"blocked.example"};
    EXPECT_FALSE(routing.replaceHostNames(
        failing, now, [](auto) -> base::Expected<bool> { return base::Error{"no"}; }));
    writes.clear();
    routing.learn(answer("blocked.example", {{ip("192.0.2.1"), 600}}), now);
    routing.learn(answer("later.example", {{ip("192.0.2.4"), 600}}), now);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0][0].address, ip("192.0.2.4"));
}

// While the DNS thread writes to the kernel's sets, flows are still named, and host names are not
// replaced in the middle of the write.
TEST_F(LearnedNameRoutingTest, FlowsAreNamedWhileTheSetsAreWritten) {
    std::promise<void> entered, release;
    whileWriting = [&] {
        entered.set_value();
        release.get_future().wait();
    };
    routing.learn(answer("allowed.example", {{ip("10.0.0.1"), 300}}), now);
    std::thread learner([&] {
        routing.learn(answer("www.blocked.example", {{ip("10.0.0.2"), 300}}), now);
    });
    entered.get_future().wait();
    const auto lookUp = [&](const char* address) {
        return std::async(std::launch::async,
                          [&, address] { return routing.nameFor(ip(address), now); });
    };
    // The table has the learnt name before the kernel has the address. The lookups are kept until
    // the write is released, so that one stuck behind it fails the test only.
    std::future<std::optional<std::string>> lookups[] = {lookUp("10.0.0.1"), lookUp("10.0.0.2")};
    const char* names[] = {"allowed.example", "www.blocked.example"};
    for (int index = 0; index < 2; ++index) {
        if (lookups[index].wait_for(2s) != std::future_status::ready) {
            ADD_FAILURE() << "naming " << names[index] << " waited for the write";
        } else {
            EXPECT_EQ(lookups[index].get(), names[index]);
        }
    }

    // New sets start only once the write is done, so that they hold its address.
    std::vector<TimedAddress> installed;
    auto replaced = std::async(std::launch::async, [&] {
        return routing.replaceHostNames({"blocked.example"}, now, [&](auto addresses) {
            installed.assign(addresses.begin(), addresses.end());
            return base::Expected<bool>(true);
        });
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

// Names learnt from DNS answers: reading the answers, the table of names, the kernel's sets.

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/LearnedNameRouting.h"
#include "platform/netfilter/ResolvedNameTable.h"
#include "support/TestData.h"

namespace platform::netfilter {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

IPAddress ip(const char* text) {
    return *IPAddress::fromText(text);
}

// "question: address/TTL ...", or "none".
std::string describe(const std::optional<DNSAnswer>& answer) {
    if (!answer) {
        return "none";
    }
    std::string text = answer->questionName + ":";
    for (const auto& [address, ttl] : answer->addresses) {
        text += " " + address.text() + "/" + std::to_string(ttl);
    }
    return text;
}

// Answers dnsmasq gave (see scripts/capture-dns-answers.py).
TEST(DNSAnswerReaderTest, ReadsAnswersCapturedFromARealServer) {
    const std::pair<const char*, const char*> cases[] = {
        {"dns-a.bin", "blocked.example: 192.0.2.10/300"},
        // Asked in mixed case: kept in lower case.
        {"dns-aaaa.bin", "blocked.example: 2001:db8::10/300"},
        // CNAME (TTL 120) to a name no rule lists (TTL 30): named by the question.
        {"dns-cname.bin", "www.blocked.example: 192.0.2.20/30"},
        // Three CNAMEs (900, 60, 120) then the address (30): the shortest TTL on the way.
        {"dns-cname-chain.bin", "a.chain.example: 2001:db8::20/30"},
        // Over TCP, three addresses with TTL 0, in the server's order.
        {"dns-many.bin", "many.example: 192.0.2.33/0 192.0.2.32/0 192.0.2.31/0"},
        {"dns-txt.bin", "none"},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        const auto bytes = support::testData(std::string("captures/") + file);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(describe(readDNSAnswer(bytes)), expected);
    }
}

// Builds DNS responses record by record, names written whole, every record with TTL 60.
struct Response {
    // A response to one question of type A: recursion desired and available, no error, unless
    // `flags` say otherwise.
    explicit Response(const std::string& question, std::uint16_t flags = 0x8180) {
        appendU16s({0x1234, flags, 1, 0, 0, 0});
        append(encoded(question));
        appendU16s({1, 1});
    }
    static Bytes encoded(const std::string& name) {
        Bytes bytes;
        std::istringstream labels(name);
        for (std::string label; std::getline(labels, label, '.');) {
            bytes.push_back(static_cast<std::uint8_t>(label.size()));
            bytes.insert(bytes.end(), label.begin(), label.end());
        }
        bytes.push_back(0);
        return bytes;
    }
    Response& record(const std::string& owner, std::uint16_t type, const Bytes& data) {
        append(encoded(owner));
        appendU16s({type, 1, 0, 60, data.size()});
        append(data);
        ++bytes[7];  // the answer count
        return *this;
    }
    Response& a(const std::string& owner, const std::string& text) {
        const IPAddress address = ip(text.c_str());  // the view is of its bytes
        const auto view = address.view();
        return record(owner, view.size() == 16 ? 28 : 1, {view.begin(), view.end()});
    }
    Response& cname(const std::string& owner, const std::string& target) {
        return record(owner, 5, encoded(target));
    }
    void append(const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
    void appendU16s(std::initializer_list<std::size_t> fields) {
        for (const auto field : fields) {
            bytes.push_back(static_cast<std::uint8_t>(field >> 8));
            bytes.push_back(static_cast<std::uint8_t>(field));
        }
    }

    Bytes bytes;
};

TEST(DNSAnswerReaderTest, KeepsOnlyAddressesThatAnswerTheQuestion) {
    const std::pair<const char*, Response> cases[] = {
        {"asked.test: 192.0.2.2/60",
         Response("asked.test").a("other.test", "192.0.2.1").a("asked.test", "192.0.2.2")},
        // A CNAME loop, and an address on the way.
        {"a.test: 192.0.2.3/60", Response("a.test")
                                     .cname("a.test", "b.test")
                                     .cname("b.test", "a.test")
                                     .a("b.test", "192.0.2.3")},
        // CNAME records in any order.
        {"a.test: 2001:db8::3/60", Response("a.test")
                                       .a("c.test", "2001:db8::3")
                                       .cname("b.test", "c.test")
                                       .cname("a.test", "b.test")},
        // An A record of 16 bytes is left out.
        {"a.test: 192.0.2.4/60",
         Response("a.test").record("a.test", 1, Bytes(16, 1)).a("a.test", "192.0.2.4")},
        {"mixed.test: 192.0.2.9/60", Response("Mixed.Test").a("MIXED.test", "192.0.2.9")},
        // A query, not a response; a response whose code is NXDOMAIN.
        {"none", Response("a.test", 0x0100).a("a.test", "192.0.2.6")},
        {"none", Response("a.test", 0x8183).a("a.test", "192.0.2.6")},
    };
    for (const auto& [expected, response] : cases) {
        EXPECT_EQ(describe(readDNSAnswer(response.bytes)), expected);
    }
}

TEST(DNSAnswerReaderTest, BoundsChainsAndAddresses) {
    const auto name = [](std::size_t index) { return "n" + std::to_string(index) + ".test"; };
    Response longChain(name(0));
    for (std::size_t link = 0; link <= maximumCNAMELinks; ++link) {
        longChain.cname(name(link), name(link + 1));
    }
    EXPECT_FALSE(readDNSAnswer(longChain.a(name(maximumCNAMELinks + 1), "192.0.2.1").bytes));

    Response many(name(0));
    for (std::size_t index = 0; index < maximumAddressesPerAnswer + 5; ++index) {
        many.a(name(0), "10.0.0." + std::to_string(index));
    }
    const auto answer = readDNSAnswer(many.bytes);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->addresses.size(), maximumAddressesPerAnswer);

    // Every cut of a real answer is read without fault, and none but the whole gives addresses.
    const auto whole = support::testData("captures/dns-cname-chain.bin");
    for (std::size_t length = 0; length < whole.size(); ++length) {
        EXPECT_FALSE(readDNSAnswer(std::span(whole).first(length)).has_value()) << length;
    }
}

TEST(DNSAnswerReaderTest, FindsTheMessagesOfAPacket) {
    const auto message = support::testData("captures/dns-a.bin");
    Bytes stream;
    for (int copy = 0; copy < 2; ++copy) {
        stream.insert(stream.end(), {static_cast<std::uint8_t>(message.size() >> 8),
                                     static_cast<std::uint8_t>(message.size())});
        stream.insert(stream.end(), message.begin(), message.end());
    }
    const auto count = [&](std::uint8_t protocol, std::span<const std::uint8_t> payload) {
        PacketHeaders headers;
        headers.protocol = protocol;
        headers.payload = payload;
        const auto messages = dnsMessagesInPacket(headers);
        for (const auto each : messages) {
            EXPECT_TRUE(std::ranges::equal(each, message));
        }
        return messages.size();
    };
    EXPECT_EQ(count(IPPROTO_UDP, message), 1u);
    EXPECT_EQ(count(IPPROTO_TCP, stream), 2u);
    EXPECT_EQ(count(IPPROTO_TCP, std::span(stream).first(stream.size() - 1)), 1u);
}

using Clock = ResolvedNameTable::Clock;
const Clock::time_point now = Clock::now();
const ResolvedNameLimits limits{.maximumAddresses = 3, .gracePeriod = 120s};

TEST(ResolvedNameTableTest, TheNameMostRecentlyResolvedForAnAddressWins) {
    ResolvedNameTable table(limits);
    table.record(ip("2001:db8::1"), "blocked.example", 3000, now);
    table.record(ip("2001:db8::1"), "allowed.example", 10, now + 1s);
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now + 2s), "allowed.example");
    // The newer answer's lifetime holds, even when shorter than the older one's.
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now + 131s), std::nullopt);
    // The IPv4 address with the same first bytes is another address.
    table.record(ip("32.1.13.184"), "v4.example", 60, now);
    EXPECT_EQ(table.nameFor(ip("2001:db8::1"), now), std::nullopt);
}

TEST(ResolvedNameTableTest, ForgetsTheLeastRecentlyUsedAddressWhenFull) {
    ResolvedNameTable table(limits);
    for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
        table.record(ip(address), address, 60, now);
    }
    // Looking up the first makes the second the least recently used.
    EXPECT_EQ(table.nameFor(ip("192.0.2.1"), now), "192.0.2.1");
    table.record(ip("192.0.2.4"), "192.0.2.4", 60, now);
    std::vector<std::string> known;
    for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"}) {
        known.push_back(table.nameFor(ip(address), now).value_or("-"));
    }
    EXPECT_EQ(known, (std::vector<std::string>{"192.0.2.1", "-", "192.0.2.3", "192.0.2.4"}));
}

class LearnedNameRoutingTest : public ::testing::Test {
  protected:
    LearnedNameRoutingTest() {
        EXPECT_TRUE(routing.replaceHostNames({"blocked.example"}, now, install));
    }

    void learn(const char* name,
               std::vector<DNSAnswer::Address> addresses,
               Clock::time_point when = now) {
        routing.learn(DNSAnswer{name, std::move(addresses)}, when);
    }

    // What the last installation of new sets was given.
    std::vector<TimedAddress> installed;
    const AddressSetWriter install = [this](std::span<const TimedAddress> addresses) {
        installed.assign(addresses.begin(), addresses.end());
        return base::Expected<bool>(true);
    };
    std::vector<std::vector<TimedAddress>> writes;
    bool writerFails = false;
    std::function<void()> whileWriting = [] {};
    LearnedNameRouting routing{
        [this](std::span<const TimedAddress> addresses) -> base::Expected<bool> {
            whileWriting();
            writes.emplace_back(addresses.begin(), addresses.end());
            return writerFails ? base::Expected<bool>(base::Error{"no table"}) : true;
        },
        ResolvedNameLimits{.gracePeriod = 120s, .maximumTTL = 86400s}};
};

TEST_F(LearnedNameRoutingTest, PutsOnlyAddressesOfCoveredNamesIntoTheSets) {
    // Lifetimes are the TTL, at most a day, plus the grace period.
    learn("www.blocked.example", {{ip("192.0.2.1"), 60}, {ip("2001:db8::1"), 0xffffffff}});
    learn("notblocked.example", {{ip("192.0.2.3"), 60}});
    EXPECT_EQ(writes, (std::vector<std::vector<TimedAddress>>{
                          {{ip("192.0.2.1"), 180s}, {ip("2001:db8::1"), 86520s}}}));
    // Every answer names its addresses, covered or not.
    EXPECT_EQ(routing.nameFor(ip("192.0.2.3"), now), "notblocked.example");
    EXPECT_EQ(routing.nameFor(ip("2001:db8::1"), now), "www.blocked.example");

    // A failing writer loses the sets' entries, not the names.
    writerFails = true;
    learn("blocked.example", {{ip("192.0.2.9"), 60}});
    EXPECT_EQ(routing.nameFor(ip("192.0.2.9"), now), "blocked.example");
}

TEST_F(LearnedNameRoutingTest, RewritesAnAddressOnlyWhenTheSetsHoldItForLessThanHalfItsLifetime) {
    const auto learnAt = [&](std::chrono::seconds when) {
        writes.clear();
        learn("blocked.example", {{ip("192.0.2.1"), 180}}, now + when);
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
    learn("other.example", {{ip("192.0.2.1"), 180}}, now + 402s);
    EXPECT_FALSE(learnAt(403s));
}

TEST_F(LearnedNameRoutingTest, NewHostNamesStartTheirSetsWithTheKnownAddressesTheyCover) {
    learn("blocked.example", {{ip("192.0.2.1"), 600}});
    learn("later.example", {{ip("192.0.2.2"), 600}, {ip("192.0.2.3"), 0}});
    ASSERT_TRUE(routing.replaceHostNames({"later.example"}, now + 100s, install));
    // 192.0.2.3 (TTL 0) has 20 s of its grace period left.
    EXPECT_EQ(installed,
              (std::vector<TimedAddress>{{ip("192.0.2.2"), 620s}, {ip("192.0.2.3"), 20s}}));

    // A failed installation keeps the old names.
    EXPECT_FALSE(routing.replaceHostNames(
        {"blocked.example"}, now, [](auto) -> base::Expected<bool> { return base::Error{"no"}; }));
    writes.clear();
    learn("blocked.example", {{ip("192.0.2.1"), 600}});
    learn("later.example", {{ip("192.0.2.4"), 600}});
    EXPECT_EQ(writes, (std::vector<std::vector<TimedAddress>>{{{ip("192.0.2.4"), 720s}}}));
}

// While the DNS thread writes to the kernel's sets, flows are still named, and host names are not
// replaced in the middle of the write.
TEST_F(LearnedNameRoutingTest, FlowsAreNamedWhileTheSetsAreWritten) {
    std::promise<void> entered, release;
    whileWriting = [&] {
        entered.set_value();
        release.get_future().wait();
    };
    learn("allowed.example", {{ip("10.0.0.1"), 300}});
    std::thread learner([&] { learn("www.blocked.example", {{ip("10.0.0.2"), 300}}); });
    entered.get_future().wait();
    // The table has the learnt name before the kernel has the address. The lookup is kept until
    // the write is released, so that one stuck behind it fails the test only.
    auto named = std::async(std::launch::async, [&] {
        return std::vector{routing.nameFor(ip("10.0.0.1"), now),
                           routing.nameFor(ip("10.0.0.2"), now)};
    });
    if (named.wait_for(2s) != std::future_status::ready) {
        ADD_FAILURE() << "naming flows waited for the write";
    } else {
        EXPECT_EQ(named.get(), (std::vector<std::optional<std::string>>{"allowed.example",
                                                                        "www.blocked.example"}));
    }

    // New sets start only once the write is done, so that they hold its address.
    auto replaced = std::async(std::launch::async, [&] {
        return routing.replaceHostNames({"blocked.example"}, now, install);
    });
    EXPECT_EQ(replaced.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    learner.join();
    ASSERT_TRUE(replaced.get());
    EXPECT_EQ(installed, (std::vector<TimedAddress>{{ip("10.0.0.2"), 420s}}));
}

}  // namespace
}  // namespace platform::netfilter

// Names learnt from DNS answers: reading the answers, the table of names, the kernel's sets.

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <future>
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

IPAddress ip(const char* text) {
    return *IPAddress::fromText(text);
}

DNSAnswer::Address address(const char* text, std::uint32_t ttl) {
    return {ip(text), ttl};
}

// Answers dnsmasq gave (see scripts/capture-dns-answers.py).
TEST(DNSAnswerReaderTest, ReadsAnswersCapturedFromARealServer) {
    struct Case {
        const char* file;
        std::optional<std::string> questionName;
        std::vector<DNSAnswer::Address> addresses;
    } cases[] = {
        {"dns-a.bin", "blocked.example", {address("192.0.2.10", 300)}},
        // Asked in mixed case: kept in lower case.
        {"dns-aaaa.bin", "blocked.example", {address("2001:db8::10", 300)}},
        // CNAME (TTL 120) to a name no rule lists (TTL 30): named by the question.
        {"dns-cname.bin", "www.blocked.example", {address("192.0.2.20", 30)}},
        // Three CNAMEs (900, 60, 120) then the address (30): the shortest TTL on the way.
        {"dns-cname-chain.bin", "a.chain.example", {address("2001:db8::20", 30)}},
        // Over TCP, three addresses with TTL 0, in the server's order.
        {"dns-many.bin",
         "many.example",
         {address("192.0.2.33", 0), address("192.0.2.32", 0), address("192.0.2.31", 0)}},
        {"dns-txt.bin", std::nullopt, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.file);
        const auto bytes = support::testData(std::string("captures/") + testCase.file);
        ASSERT_FALSE(bytes.empty());
        const auto answer = readDNSAnswer(bytes);
        ASSERT_EQ(answer.has_value(), testCase.questionName.has_value());
        if (answer) {
            EXPECT_EQ(answer->questionName, *testCase.questionName);
            EXPECT_EQ(answer->addresses, testCase.addresses);
        }
    }
}

// Builds DNS responses record by record, names written whole.
class ResponseBuilder {
  public:
    // A response, recursion desired and available, no error, one question.
    explicit ResponseBuilder(const std::string& question) : bytes{0x12, 0x34, 0x81, 0x80, 0, 1} {
        bytes.resize(12);
        putName(question);
        bytes.insert(bytes.end(), {0, 1, 0, 1});
    }
    ResponseBuilder& record(const std::string& owner,
                            std::uint16_t type,
                            const std::vector<std::uint8_t>& data,
                            std::uint16_t recordClass = 1) {
        putName(owner);
        for (const std::uint32_t field :
             {std::uint32_t{type}, std::uint32_t{recordClass}, std::uint32_t{0}, std::uint32_t{60},
              static_cast<std::uint32_t>(data.size())}) {
            bytes.push_back(static_cast<std::uint8_t>(field >> 8));
            bytes.push_back(static_cast<std::uint8_t>(field));
        }
        bytes.insert(bytes.end(), data.begin(), data.end());
        ++bytes[7];  // the answer count
        return *this;
    }
    ResponseBuilder& a(const std::string& owner, const char* text) {
        const auto parsed = IPAddress::fromText(text);  // the view is of its bytes
        const auto view = parsed->view();
        return record(owner, view.size() == 16 ? 28 : 1, {view.begin(), view.end()});
    }
    ResponseBuilder& cname(const std::string& owner, const std::string& target) {
        const auto start = bytes.size();
        putName(target);
        const std::vector<std::uint8_t> name(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                             bytes.end());
        bytes.resize(start);
        return record(owner, 5, name);
    }
    const std::vector<std::uint8_t>& build() const { return bytes; }

  private:
    void putName(const std::string& name) {
        for (std::size_t start = 0, end; start < name.size(); start = end + 1) {
            end = std::min(name.find('.', start), name.size());
            bytes.push_back(static_cast<std::uint8_t>(end - start));
            bytes.insert(bytes.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                         name.begin() + static_cast<std::ptrdiff_t>(end));
        }
        bytes.push_back(0);
    }

    std::vector<std::uint8_t> bytes;
};

TEST(DNSAnswerReaderTest, KeepsOnlyAddressesThatAnswerTheQuestion) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> message;
        std::vector<const char*> addresses;  // empty: no answer
    } cases[] = {
        {"a record of another name",
         ResponseBuilder("asked.test")
             .a("other.test", "192.0.2.1")
             .a("asked.test", "192.0.2.2")
             .build(),
         {"192.0.2.2"}},
        {"a CNAME loop gives nothing",
         ResponseBuilder("a.test").cname("a.test", "b.test").cname("b.test", "a.test").build(),
         {}},
        {"a CNAME loop still reaches an address on the way",
         ResponseBuilder("a.test")
             .cname("a.test", "b.test")
             .cname("b.test", "a.test")
             .a("b.test", "192.0.2.3")
             .build(),
         {"192.0.2.3"}},
        {"CNAME records in any order",
         ResponseBuilder("a.test")
             .a("c.test", "2001:db8::3")
             .cname("b.test", "c.test")
             .cname("a.test", "b.test")
             .build(),
         {"2001:db8::3"}},
        {"an A record of 16 bytes is left out",
         ResponseBuilder("a.test")
             .record("a.test", 1, std::vector<std::uint8_t>(16, 1))
             .a("a.test", "192.0.2.4")
             .build(),
         {"192.0.2.4"}},
        {"a record of class CH is left out",
         ResponseBuilder("a.test").record("a.test", 1, {192, 0, 2, 5}, 3).build(),
         {}},
        {"a question with an escaped byte",
         ResponseBuilder("a\x01.test").a("a\x01.test", "192.0.2.8").build(),
         {}},
        {"a name with upper case matches in lower case",
         ResponseBuilder("Mixed.Test").a("MIXED.test", "192.0.2.9").build(),
         {"192.0.2.9"}},
    };
    // A query, not a response; a response whose code is NXDOMAIN.
    for (const auto& [index, value] : {std::pair{2, 0x01}, std::pair{3, 0x83}}) {
        auto message = ResponseBuilder("a.test").a("a.test", "192.0.2.6").build();
        message[index] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(readDNSAnswer(message).has_value()) << index;
    }
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto answer = readDNSAnswer(testCase.message);
        ASSERT_EQ(answer.has_value(), !testCase.addresses.empty());
        if (!answer) {
            continue;
        }
        ASSERT_EQ(answer->addresses.size(), testCase.addresses.size());
        for (std::size_t index = 0; index < testCase.addresses.size(); ++index) {
            EXPECT_EQ(answer->addresses[index].address.text(), testCase.addresses[index]);
        }
    }
}

TEST(DNSAnswerReaderTest, BoundsChainsAndAddresses) {
    ResponseBuilder longChain("n0.test");
    for (std::size_t link = 0; link <= maximumCNAMELinks; ++link) {
        longChain.cname("n" + std::to_string(link) + ".test",
                        "n" + std::to_string(link + 1) + ".test");
    }
    longChain.a("n" + std::to_string(maximumCNAMELinks + 1) + ".test", "192.0.2.1");
    EXPECT_FALSE(readDNSAnswer(longChain.build()).has_value());

    ResponseBuilder many("many.test");
    for (std::size_t index = 0; index < maximumAddressesPerAnswer + 5; ++index) {
        many.a("many.test",
               ("10.0." + std::to_string(index / 256) + "." + std::to_string(index % 256)).c_str());
    }
    const auto answer = readDNSAnswer(many.build());
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
    std::vector<std::uint8_t> stream;
    for (int copy = 0; copy < 2; ++copy) {
        stream.push_back(static_cast<std::uint8_t>(message.size() >> 8));
        stream.push_back(static_cast<std::uint8_t>(message.size()));
        stream.insert(stream.end(), message.begin(), message.end());
    }
    struct Case {
        const char* name;
        std::uint8_t protocol;
        std::span<const std::uint8_t> payload;
        bool isTruncated;
        std::size_t count;
    } cases[] = {
        {"UDP: the payload", IPPROTO_UDP, message, false, 1},
        {"TCP: two messages in one segment", IPPROTO_TCP, stream, false, 2},
        {"TCP: the second message cut off", IPPROTO_TCP, std::span(stream).first(stream.size() - 1),
         false, 1},
        {"TCP: a lone length byte", IPPROTO_TCP, std::span(stream).first(1), false, 0},
        {"a truncated capture", IPPROTO_UDP, message, true, 0},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        PacketHeaders headers;
        headers.protocol = testCase.protocol;
        headers.payload = testCase.payload;
        headers.isTruncated = testCase.isTruncated;
        const auto messages = dnsMessagesInPacket(headers);
        ASSERT_EQ(messages.size(), testCase.count);
        for (const auto each : messages) {
            EXPECT_TRUE(std::equal(each.begin(), each.end(), message.begin(), message.end()));
        }
    }
}

using Clock = ResolvedNameTable::Clock;

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
        EXPECT_TRUE(routing.replaceHostNames({"blocked.example"}, now,
                                             [](auto) { return base::Expected<bool>(true); }));
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
    routing.learn(DNSAnswer{"www.blocked.example", {{ip("192.0.2.1"), 60}, {ip("2001:db8::1"), 5}}},
                  now);
    routing.learn(DNSAnswer{"blocked.example.net", {{ip("192.0.2.2"), 60}}}, now);
    routing.learn(DNSAnswer{"notblocked.example", {{ip("192.0.2.3"), 60}}}, now);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0],
              (std::vector<TimedAddress>{{ip("192.0.2.1"), 180s}, {ip("2001:db8::1"), 125s}}));
    // Every answer names its addresses, covered or not.
    EXPECT_EQ(routing.nameFor(ip("192.0.2.3"), now), "notblocked.example");
    EXPECT_EQ(routing.nameFor(ip("2001:db8::1"), now), "www.blocked.example");

    // A failing writer loses the sets' entries, not the names.
    writerFails = true;
    routing.learn(DNSAnswer{"blocked.example", {{ip("192.0.2.9"), 60}}}, now);
    EXPECT_EQ(routing.nameFor(ip("192.0.2.9"), now), "blocked.example");
}

TEST_F(LearnedNameRoutingTest, RewritesAnAddressOnlyWhenTheSetsHoldItForLessThanHalfItsLifetime) {
    const auto learnAt = [&](std::chrono::seconds when) {
        writes.clear();
        routing.learn(DNSAnswer{"blocked.example", {{ip("192.0.2.1"), 180}}}, now + when);
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
    routing.learn(DNSAnswer{"other.example", {{ip("192.0.2.1"), 180}}}, now + 402s);
    EXPECT_FALSE(learnAt(403s));
}

TEST_F(LearnedNameRoutingTest, NewHostNamesStartTheirSetsWithTheKnownAddressesTheyCover) {
    routing.learn(DNSAnswer{"blocked.example", {{ip("192.0.2.1"), 600}}}, now);
    routing.learn(DNSAnswer{"later.example", {{ip("192.0.2.2"), 600}, {ip("192.0.2.3"), 0}}}, now);

    std::vector<TimedAddress> installed;
    const auto install = [&](std::span<const TimedAddress> addresses) -> base::Expected<bool> {
        installed.assign(addresses.begin(), addresses.end());
        return true;
    };
    ASSERT_TRUE(routing.replaceHostNames({"later.example"}, now + 100s, install));
    // 192.0.2.3 (TTL 0) has 20 s of its grace period left.
    EXPECT_EQ(installed,
              (std::vector<TimedAddress>{{ip("192.0.2.2"), 620s}, {ip("192.0.2.3"), 20s}}));

    // A failed installation keeps the old names.
    EXPECT_FALSE(routing.replaceHostNames(
        {"blocked.example"}, now, [](auto) -> base::Expected<bool> { return base::Error{"no"}; }));
    writes.clear();
    routing.learn(DNSAnswer{"blocked.example", {{ip("192.0.2.1"), 600}}}, now);
    routing.learn(DNSAnswer{"later.example", {{ip("192.0.2.4"), 600}}}, now);
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
    routing.learn(DNSAnswer{"allowed.example", {{ip("10.0.0.1"), 300}}}, now);
    std::thread learner([&] {
        routing.learn(DNSAnswer{"www.blocked.example", {{ip("10.0.0.2"), 300}}}, now);
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

#include "platform/netfilter/DNSAnswerReader.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "support/TestData.h"

namespace platform::netfilter {
namespace {

DNSAnswer::Address address(const char* text, std::uint32_t ttl) {
    return {*IPAddress::fromText(text), ttl};
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
        {"dns-nxdomain.bin", std::nullopt, {}},
        {"dns-refused.bin", std::nullopt, {}},
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
    auto query = ResponseBuilder("a.test").a("a.test", "192.0.2.6").build();
    query[2] = 0x01;  // a query, not a response
    EXPECT_FALSE(readDNSAnswer(query).has_value());
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

}  // namespace
}  // namespace platform::netfilter

#include "platform/netfilter/FilterRuleTranslation.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace platform::netfilter {
namespace {

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

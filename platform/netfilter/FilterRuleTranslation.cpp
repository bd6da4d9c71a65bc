#include "platform/netfilter/FilterRuleTranslation.h"

#include <netinet/in.h>

#include <charconv>
#include <string>

namespace platform::netfilter {
namespace {

// The only UDP flows whose host name the stand-in learns are QUIC flows to this port.
constexpr std::uint16_t quicPort = 443;

base::Error ruleError(std::size_t index, const std::string& problem) {
    return base::Error{"filter rule " + std::to_string(index + 1) + ": " + problem};
}

// Nothing for any port; the error names the text otherwise.
base::Expected<std::optional<std::uint16_t>> parsePort(const std::string& text) {
    if (text.empty() || text == "0") {
        return std::optional<std::uint16_t>{};
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return base::Error{"\"" + text + "\" is not a port"};
    }
    return std::optional<std::uint16_t>{static_cast<std::uint16_t>(value)};
}

}  // namespace

base::Expected<TranslatedSettings> translateFilterSettings(
    const filter::NEFilterSettings& settings) {
    TranslatedSettings translated;
    translated.defaultAction = settings.defaultAction;
    for (std::size_t index = 0; index < settings.rules.size(); ++index) {
        const auto& rule = settings.rules[index].networkRule;
        const auto& endpoint = rule.endpoint();
        if (!endpoint) {
            return ruleError(index, "no endpoint");
        }
        const auto address = IPAddress::fromText(endpoint->hostname());
        int prefix = rule.prefix();
        if (rule.kind() == filter::NENetworkRule::Kind::destinationHost) {
            if (!address) {
                translated.hostRuleNames.push_back(endpoint->hostname());
                const auto namedPort = parsePort(endpoint->port());
                if (rule.protocol() == filter::NENetworkRuleProtocol::tcp || !namedPort ||
                    (*namedPort && **namedPort != quicPort)) {
                    ++translated.unmatchableHostRuleCount;
                } else {
                    translated.namedHostRules.push_back(
                        {endpoint->hostname(), settings.rules[index].action});
                }
                continue;
            }
            prefix = static_cast<int>(address->length() * 8);
        } else if (!address) {
            return ruleError(index, "\"" + endpoint->hostname() + "\" is not an IP address");
        }
        if (prefix < 0 || prefix > static_cast<int>(address->length() * 8)) {
            return ruleError(index, "prefix " + std::to_string(prefix) + " is out of range");
        }
        auto port = parsePort(endpoint->port());
        if (!port) {
            return ruleError(index, port.error().description);
        }
        const auto protocol = rule.protocol();
        for (std::uint8_t transport : {std::uint8_t{IPPROTO_TCP}, std::uint8_t{IPPROTO_UDP}}) {
            const bool wanted =
                protocol == filter::NENetworkRuleProtocol::any ||
                (protocol == filter::NENetworkRuleProtocol::tcp && transport == IPPROTO_TCP) ||
                (protocol == filter::NENetworkRuleProtocol::udp && transport == IPPROTO_UDP);
            if (wanted) {
                translated.matches.push_back(
                    {*address, prefix, *port, transport, settings.rules[index].action});
            }
        }
    }
    return translated;
}

}  // namespace platform::netfilter

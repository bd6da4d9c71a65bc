#pragma once

#include <memory>
#include <vector>

#include "filter/framework/NWEndpoint.h"

namespace filter {

enum class NEFilterAction : int { allow = 1, drop = 2, filterData = 4 };
enum class NENetworkRuleProtocol : int { any = 0, tcp = 1, udp = 2 };

// Which flows a rule matches: those to a destination host (any port when the port is "0"), or
// those to a destination network given by an address, a prefix length and a port.
class NENetworkRule {
  public:
    enum class Kind { destinationHost, destinationNetwork };

    // `initWithDestinationHost:protocol:`
    static NENetworkRule destinationHost(std::shared_ptr<NWHostEndpoint> host,
                                         NENetworkRuleProtocol protocol);
    // `initWithDestinationNetwork:prefix:protocol:`
    static NENetworkRule destinationNetwork(std::shared_ptr<NWHostEndpoint> network,
                                            int prefix,
                                            NENetworkRuleProtocol protocol);

    Kind kind() const { return ruleKind; }
    // The host (for a host rule) or the network address (for a network rule), with the port.
    const std::shared_ptr<NWHostEndpoint>& endpoint() const { return destination; }
    int prefix() const { return prefixLength; }
    NENetworkRuleProtocol protocol() const { return ruleProtocol; }

  private:
    NENetworkRule(Kind kind,
                  std::shared_ptr<NWHostEndpoint> destination,
                  int prefix,
                  NENetworkRuleProtocol protocol)
        : ruleKind(kind),
          destination(std::move(destination)),
          prefixLength(prefix),
          ruleProtocol(protocol) {}

    Kind ruleKind;
    std::shared_ptr<NWHostEndpoint> destination;
    int prefixLength;
    NENetworkRuleProtocol ruleProtocol;
};

// `initWithNetworkRule:action:`
struct NEFilterRule {
    NENetworkRule networkRule;
    NEFilterAction action;
};

// `initWithRules:defaultAction:`: flows that match a rule take its action, all others the
// default action.
struct NEFilterSettings {
    std::vector<NEFilterRule> rules;
    NEFilterAction defaultAction = NEFilterAction::allow;
};

}  // namespace filter

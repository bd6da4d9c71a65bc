#include "filter/framework/NEFilterSettings.h"

namespace filter {

NENetworkRule NENetworkRule::destinationHost(std::shared_ptr<NWHostEndpoint> host,
                                             NENetworkRuleProtocol protocol) {
    return NENetworkRule(Kind::destinationHost, std::move(host), 0, protocol);
}

NENetworkRule NENetworkRule::destinationNetwork(std::shared_ptr<NWHostEndpoint> network,
                                                int prefix,
                                                NENetworkRuleProtocol protocol) {
    return NENetworkRule(Kind::destinationNetwork, std::move(network), prefix, protocol);
}

}  // namespace filter

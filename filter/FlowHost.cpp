#include "filter/FlowHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/HostNormalization.h"

namespace filter {
namespace {

const NEFilterSocketFlow* socketFlowOf(const NEFilterFlow& flow) {
    return dynamic_cast<const NEFilterSocketFlow*>(&flow);
}

const NWHostEndpoint* hostEndpoint(const NEFilterSocketFlow& flow) {
    return dynamic_cast<const NWHostEndpoint*>(flow.remoteEndpoint().get());
}

}  // namespace

std::optional<std::string> hostOfFlow(const NEFilterFlow& flow) {
    if (flow.URL() && flow.URL()->host()) {
        return common::normalizedHostText(*flow.URL()->host());
    }
    const auto* socketFlow = socketFlowOf(flow);
    if (socketFlow == nullptr) {
        return std::nullopt;
    }
    if (socketFlow->remoteHostname()) {
        return common::normalizedHostText(*socketFlow->remoteHostname());
    }
    if (const auto* endpoint = hostEndpoint(*socketFlow)) {
        if (isIPAddress(endpoint->hostname())) {
            return std::nullopt;
        }
        return common::normalizedHostText(endpoint->hostname());
    }
    return std::nullopt;
}

std::optional<std::string> urlOfFlow(const NEFilterFlow& flow) {
    if (!flow.URL()) {
        return std::nullopt;
    }
    return flow.URL()->absoluteString();
}

std::string endpointSummary(const NEFilterFlow& flow) {
    const auto* socketFlow = socketFlowOf(flow);
    if (socketFlow == nullptr) {
        return unavailableFlowDetail;
    }
    if (socketFlow->remoteHostname()) {
        return *socketFlow->remoteHostname();
    }
    if (socketFlow->remoteEndpoint()) {
        return socketFlow->remoteEndpoint()->description();
    }
    return unavailableFlowDetail;
}

bool shouldInspectUnknownFlow(const NEFilterFlow& flow) {
    const auto* socketFlow = socketFlowOf(flow);
    if (socketFlow == nullptr || socketFlow->socketType() != SOCK_STREAM) {
        return false;
    }
    const auto* endpoint = hostEndpoint(*socketFlow);
    return endpoint != nullptr && (endpoint->port() == "80" || endpoint->port() == "443");
}

bool isIPAddress(const std::string& text) {
    in6_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

}  // namespace filter

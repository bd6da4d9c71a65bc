#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/HostNormalization.h"
#include "common/SharedDefaultsKeys.h"
#include "filter/FilterDataProvider.h"

namespace filter {
namespace {

// Stands in every recorded field that a flow does not supply.
constexpr char unavailable[] = "<unavailable>";

const NWHostEndpoint* hostEndpoint(const NEFilterSocketFlow& flow) {
    return dynamic_cast<const NWHostEndpoint*>(flow.remoteEndpoint().get());
}

}  // namespace

NEFilterNewFlowVerdict FilterDataProvider::handleNewFlow(const NEFilterFlow& flow) {
    std::lock_guard lock(mutex);
    refreshPolicyIfNeeded(false);
    if (cachedPolicy.blockedDomains().empty()) {
        return NEFilterNewFlowVerdict::allowVerdict();
    }

    const auto host = normalizedHost(flow);
    if (host) {
        recordObservedFlow(flow, host);
        const auto domain = matchedDomain(*host);
        if (domain && cachedPolicy.enforcementEnabled()) {
            writeBlockDecision(*host, *domain);
            return NEFilterNewFlowVerdict::dropVerdict();
        }
        return NEFilterNewFlowVerdict::allowVerdict();
    }

    if (cachedPolicy.enforcementEnabled() && shouldInspectUnknownFlow(flow)) {
        pendingInspections.insert_or_assign(flow.identifier(),
                                            PendingInspection{{}, endpointSummary(flow)});
        recordObservedFlow(flow, std::nullopt);
        logger.log("inspecting unresolved flow endpoint=%{public}s",
                   {pendingInspections.at(flow.identifier()).endpointSummary});
        return NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, peekOutboundBytes);
    }
    recordObservedFlow(flow, std::nullopt);
    return NEFilterNewFlowVerdict::allowVerdict();
}

std::optional<std::string> FilterDataProvider::normalizedHost(const NEFilterFlow& flow) const {
    if (flow.URL() && flow.URL()->host()) {
        return common::normalizedHostText(*flow.URL()->host());
    }
    const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
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

std::optional<std::string> FilterDataProvider::normalizedURLString(const NEFilterFlow& flow) {
    if (!flow.URL()) {
        return std::nullopt;
    }
    return flow.URL()->absoluteString();
}

bool FilterDataProvider::isIPAddress(const std::string& text) {
    in6_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

bool FilterDataProvider::shouldInspectUnknownFlow(const NEFilterFlow& flow) {
    const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
    if (socketFlow == nullptr || socketFlow->socketType() != SOCK_STREAM) {
        return false;
    }
    const auto* endpoint = hostEndpoint(*socketFlow);
    return endpoint != nullptr && (endpoint->port() == "80" || endpoint->port() == "443");
}

std::string FilterDataProvider::endpointSummary(const NEFilterFlow& flow) {
    const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
    if (socketFlow == nullptr) {
        return unavailable;
    }
    if (socketFlow->remoteHostname()) {
        return *socketFlow->remoteHostname();
    }
    if (socketFlow->remoteEndpoint()) {
        return socketFlow->remoteEndpoint()->description();
    }
    return unavailable;
}

std::optional<std::string> FilterDataProvider::matchedDomain(const std::string& host) const {
    if (const auto position = blockedDomainIndex.firstCoveringPosition(host)) {
        return cachedPolicy.blockedDomains()[*position];
    }
    return std::nullopt;
}

void FilterDataProvider::recordObservedFlow(const NEFilterFlow& flow,
                                            const std::optional<std::string>& resolvedHost) {
    const std::string host =
        resolvedHost ? *resolvedHost : normalizedHost(flow).value_or(unavailable);
    const std::string url = normalizedURLString(flow).value_or(unavailable);
    const std::string endpoint = endpointSummary(flow);
    if (sharedDefaults) {
        const auto count =
            sharedDefaults->integerForKey(common::keys::contentFilterObservedFlowCount);
        sharedDefaults->setInteger(count + 1, common::keys::contentFilterObservedFlowCount);
        sharedDefaults->setObject(host, common::keys::contentFilterLastObservedHost);
        sharedDefaults->setObject(url, common::keys::contentFilterLastObservedURL);
        sharedDefaults->setObject(endpoint, common::keys::contentFilterLastObservedEndpoint);
        sharedDefaults->synchronize();
    }
    logger.log("observed flow host=%{public}s url=%{public}s endpoint=%{public}s",
               {host, url, endpoint});
}

void FilterDataProvider::writeBlockDecision(const std::string& host,
                                            const std::string& matchedDomain) {
    if (sharedDefaults) {
        sharedDefaults->setObject(host, common::keys::contentFilterLastBlockedHost);
        sharedDefaults->setObject(matchedDomain, common::keys::contentFilterLastMatchedDomain);
        sharedDefaults->setObject(base::Date::now(), common::keys::contentFilterLastBlockedAt);
    }
    writeDiagnostics("blocked " + matchedDomain, std::nullopt);
    logger.log("blocked flow host=%{public}s domain=%{public}s", {host, matchedDomain});
}

}  // namespace filter

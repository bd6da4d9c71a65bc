#include "filter/FilterDataProvider.h"
#include "filter/FlowHost.h"

namespace filter {

NEFilterNewFlowVerdict FilterDataProvider::handleNewFlow(const NEFilterFlow& flow) {
    std::lock_guard lock(mutex);
    refreshPolicyIfNeeded(false);
    if (cachedPolicy.blockedDomains().empty()) {
        return NEFilterNewFlowVerdict::allowVerdict();
    }

    const auto host = hostOfFlow(flow);
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

std::optional<std::string> FilterDataProvider::matchedDomain(const std::string& host) const {
    if (const auto position = blockedDomainIndex.firstCoveringPosition(host)) {
        return cachedPolicy.blockedDomains()[*position];
    }
    return std::nullopt;
}

void FilterDataProvider::recordObservedFlow(const NEFilterFlow& flow,
                                            const std::optional<std::string>& resolvedHost) {
    const std::string host = resolvedHost.value_or(unavailableFlowDetail);
    const std::string url = urlOfFlow(flow).value_or(unavailableFlowDetail);
    const std::string endpoint = endpointSummary(flow);
    diagnostics.recordObservedFlow(host, url, endpoint);
    logger.log("observed flow host=%{public}s url=%{public}s endpoint=%{public}s",
               {host, url, endpoint});
}

void FilterDataProvider::writeBlockDecision(const std::string& host,
                                            const std::string& matchedDomain) {
    diagnostics.writeBlockDecision(host, matchedDomain, base::Date::now());
    logger.log("blocked flow host=%{public}s domain=%{public}s", {host, matchedDomain});
}

}  // namespace filter

#include <algorithm>
#include <utility>

#include "filter/FilterDataProvider.h"
#include "filter/FlowHost.h"
#include "filter/HostSniffing.h"

namespace filter {

NEFilterDataVerdict FilterDataProvider::handleOutboundData(
    const NEFilterFlow& flow,
    std::size_t,
    std::span<const std::uint8_t> readBytes) {
    std::lock_guard lock(mutex);
    refreshPolicyIfNeeded(false);

    if (const auto host = hostOfFlow(flow)) {
        recordObservedFlow(flow, host);
        pendingInspections.erase(flow.identifier());
        const auto domain = matchedDomain(*host);
        if (domain && cachedPolicy.enforcementEnabled()) {
            writeBlockDecision(*host, *domain);
            return NEFilterDataVerdict::drop();
        }
        return NEFilterDataVerdict::allow();
    }
    recordObservedFlow(flow, std::nullopt);
    if (!cachedPolicy.enforcementEnabled()) {
        pendingInspections.erase(flow.identifier());
        return NEFilterDataVerdict::allow();
    }

    // A flow whose entry is gone (the filter stopped in between, say) starts over.
    auto [entry, isNew] = pendingInspections.try_emplace(flow.identifier());
    if (isNew) {
        entry->second.endpointSummary = endpointSummary(flow);
    }
    auto& buffer = entry->second.bufferedOutboundData;
    const std::size_t room = maxInspectionBytes - std::min(buffer.size(), maxInspectionBytes);
    const auto kept = readBytes.first(std::min(room, readBytes.size()));
    buffer.insert(buffer.end(), kept.begin(), kept.end());

    auto outcome = parseHTTPHost(buffer);
    if (outcome.kind == InspectionOutcome::Kind::noHostname) {
        outcome = parseTLSClientHelloSNI(buffer);
    }
    if (outcome.kind == InspectionOutcome::Kind::needMoreData &&
        buffer.size() < maxInspectionBytes) {
        return NEFilterDataVerdict::pass(readBytes.size(), peekOutboundBytes);
    }

    const std::string summary = std::move(entry->second.endpointSummary);
    pendingInspections.erase(entry);
    switch (outcome.kind) {
        case InspectionOutcome::Kind::blocked:
            // Only the matched domain is known here: it stands for the host as well.
            writeBlockDecision(*outcome.name, *outcome.name);
            return NEFilterDataVerdict::drop();
        case InspectionOutcome::Kind::allowed:
            logger.log("allowed inspected flow host=%{public}s endpoint=%{public}s",
                       {*outcome.name, summary});
            break;
        case InspectionOutcome::Kind::noHostname:
            logger.log("allowing unresolved flow without hostname endpoint=%{public}s", {summary});
            break;
        case InspectionOutcome::Kind::needMoreData:
            logger.log("allowing unresolved flow after max inspection bytes endpoint=%{public}s",
                       {summary});
            break;
    }
    return NEFilterDataVerdict::allow();
}

NEFilterDataVerdict FilterDataProvider::handleOutboundDataComplete(const NEFilterFlow& flow) {
    std::lock_guard lock(mutex);
    pendingInspections.erase(flow.identifier());
    return NEFilterDataVerdict::allow();
}

InspectionOutcome FilterDataProvider::parseHTTPHost(std::span<const std::uint8_t> bytes) const {
    return outcomeOf(filter::parseHTTPHost(bytes));
}

InspectionOutcome FilterDataProvider::parseTLSClientHelloSNI(
    std::span<const std::uint8_t> bytes) const {
    return outcomeOf(filter::parseTLSClientHelloSNI(bytes));
}

InspectionOutcome FilterDataProvider::outcomeOf(const SniffedHost& sniffed) const {
    switch (sniffed.kind) {
        case SniffedHost::Kind::host:
            if (auto domain = matchedDomain(*sniffed.host)) {
                return InspectionOutcome::blocked(std::move(*domain));
            }
            return InspectionOutcome::allowed(*sniffed.host);
        case SniffedHost::Kind::needMoreData:
            return InspectionOutcome::needMoreData();
        case SniffedHost::Kind::noHostname:
            break;
    }
    return InspectionOutcome::noHostname();
}

}  // namespace filter

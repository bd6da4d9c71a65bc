#include "bench/SimpleFilterPath.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "common/BuildConstants.h"
#include "common/HostNormalization.h"
#include "common/SharedDefaultsKeys.h"
#include "filter/HostSniffing.h"
#include "filter/InspectionOutcome.h"

namespace bench {
namespace {

constexpr char unavailable[] = "<unavailable>";
constexpr std::size_t maxInspectionBytes = 4096;
constexpr std::size_t peekBytes = 1024;

const filter::NWHostEndpoint* hostEndpoint(const filter::NEFilterSocketFlow& flow) {
    return dynamic_cast<const filter::NWHostEndpoint*>(flow.remoteEndpoint().get());
}

bool isIPAddress(const std::string& text) {
    in6_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

std::string endpointSummary(const filter::NEFilterFlow& flow) {
    const auto* socketFlow = dynamic_cast<const filter::NEFilterSocketFlow*>(&flow);
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

bool shouldInspectUnknownFlow(const filter::NEFilterFlow& flow) {
    const auto* socketFlow = dynamic_cast<const filter::NEFilterSocketFlow*>(&flow);
    if (socketFlow == nullptr || socketFlow->socketType() != SOCK_STREAM) {
        return false;
    }
    const auto* endpoint = hostEndpoint(*socketFlow);
    return endpoint != nullptr && (endpoint->port() == "80" || endpoint->port() == "443");
}

std::string joined(const std::vector<std::string>& parts) {
    std::string result;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        result += (index > 0 ? "," : "") + parts[index];
    }
    return result;
}

}  // namespace

SimpleFilterPath::SimpleFilterPath(std::shared_ptr<filter::FilterFramework> framework,
                                   std::shared_ptr<common::UserDefaults> sharedDefaults)
    : logger(common::filterLogSubsystem, "provider"),
      framework(std::move(framework)),
      sharedDefaults(std::move(sharedDefaults)) {}

void SimpleFilterPath::refreshPolicyIfNeeded(bool force) {
    auto loaded = loadPolicy();
    if (!force && cachedPolicyVersion == loaded.policyVersion()) {
        return;
    }
    cachedPolicy = loaded;
    logger.log(
        "loaded policy version=%{public}ld enforcement=%{bool,public}d domains=%{public}s",
        {loaded.policyVersion(), loaded.enforcementEnabled(), joined(loaded.blockedDomains())});
    cachedPolicyVersion = loaded.policyVersion();
}

common::ContentFilterPolicy SimpleFilterPath::loadPolicy() const {
    if (auto configured = loadPolicyFromConfiguration()) {
        return *configured;
    }
    if (sharedDefaults) {
        if (auto blob = sharedDefaults->dataForKey(common::keys::contentFilterPolicyBlob)) {
            if (auto decoded = common::ContentFilterPolicy::decode(*blob)) {
                return std::move(decoded).value();
            }
        }
    }
    return common::ContentFilterPolicy::empty;
}

std::optional<common::ContentFilterPolicy> SimpleFilterPath::loadPolicyFromConfiguration() const {
    const auto configuration = framework->filterConfiguration();
    if (!configuration->vendorConfiguration) {
        logger.log("filterConfiguration.vendorConfiguration missing");
        return std::nullopt;
    }
    const auto& dictionary = *configuration->vendorConfiguration;
    std::vector<std::string> domains;
    if (const auto* listed = dictionary.find("blockedDomains")) {
        if (const auto* entries = listed->array()) {
            if (std::all_of(entries->begin(), entries->end(),
                            [](const auto& entry) { return entry.text(); })) {
                for (const auto& entry : *entries) {
                    if (auto normalized = fullyNormalizedHostText(*entry.text());
                        !normalized.empty()) {
                        domains.push_back(std::move(normalized));
                    }
                }
            }
        }
    }
    std::sort(domains.begin(), domains.end());
    domains.erase(std::unique(domains.begin(), domains.end()), domains.end());
    std::int64_t version = 0;
    if (const auto* found = dictionary.find("policyVersion")) {
        version = found->integer().value_or(0);
    }
    bool enforcing = false;
    if (const auto* found = dictionary.find("enforcementEnabled")) {
        enforcing = found->boolean().value_or(false);
    }
    return common::ContentFilterPolicy(std::move(domains), enforcing, version, base::Date::now());
}

filter::NEFilterNewFlowVerdict SimpleFilterPath::handleNewFlow(const filter::NEFilterFlow& flow) {
    refreshPolicyIfNeeded(false);
    if (cachedPolicy.blockedDomains().empty()) {
        return filter::NEFilterNewFlowVerdict::allowVerdict();
    }
    if (const auto host = normalizedHost(flow)) {
        recordObservedFlow(flow, host);
        const auto domain = linearMatchedDomain(cachedPolicy.blockedDomains(), *host);
        if (domain && cachedPolicy.enforcementEnabled()) {
            writeBlockDecision(*host, *domain);
            return filter::NEFilterNewFlowVerdict::dropVerdict();
        }
        return filter::NEFilterNewFlowVerdict::allowVerdict();
    }
    if (cachedPolicy.enforcementEnabled() && shouldInspectUnknownFlow(flow)) {
        pendingInspections.insert_or_assign(flow.identifier(),
                                            PendingInspection{{}, endpointSummary(flow)});
        recordObservedFlow(flow, std::nullopt);
        logger.log("inspecting unresolved flow endpoint=%{public}s",
                   {pendingInspections.at(flow.identifier()).endpointSummary});
        return filter::NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, peekBytes);
    }
    recordObservedFlow(flow, std::nullopt);
    return filter::NEFilterNewFlowVerdict::allowVerdict();
}

filter::NEFilterDataVerdict SimpleFilterPath::handleOutboundData(
    const filter::NEFilterFlow& flow,
    std::span<const std::uint8_t> readBytes) {
    refreshPolicyIfNeeded(false);
    if (const auto host = normalizedHost(flow)) {
        recordObservedFlow(flow, host);
        pendingInspections.erase(flow.identifier());
        const auto domain = linearMatchedDomain(cachedPolicy.blockedDomains(), *host);
        if (domain && cachedPolicy.enforcementEnabled()) {
            writeBlockDecision(*host, *domain);
            return filter::NEFilterDataVerdict::drop();
        }
        return filter::NEFilterDataVerdict::allow();
    }
    recordObservedFlow(flow, std::nullopt);
    if (!cachedPolicy.enforcementEnabled()) {
        pendingInspections.erase(flow.identifier());
        return filter::NEFilterDataVerdict::allow();
    }
    auto [entry, isNew] = pendingInspections.try_emplace(flow.identifier());
    if (isNew) {
        entry->second.endpointSummary = endpointSummary(flow);
    }
    auto& buffer = entry->second.bufferedOutboundData;
    const std::size_t room = maxInspectionBytes - std::min(buffer.size(), maxInspectionBytes);
    const auto kept = readBytes.first(std::min(room, readBytes.size()));
    buffer.insert(buffer.end(), kept.begin(), kept.end());

    auto sniffed = filter::parseHTTPHost(buffer);
    if (sniffed.kind == filter::SniffedHost::Kind::noHostname) {
        sniffed = filter::parseTLSClientHelloSNI(buffer);
    }
    auto outcome = sniffed.kind == filter::SniffedHost::Kind::needMoreData
                       ? filter::InspectionOutcome::needMoreData()
                       : filter::InspectionOutcome::noHostname();
    if (sniffed.host) {
        auto domain = linearMatchedDomain(cachedPolicy.blockedDomains(), *sniffed.host);
        outcome = domain ? filter::InspectionOutcome::blocked(std::move(*domain))
                         : filter::InspectionOutcome::allowed(*sniffed.host);
    }
    if (outcome.kind == filter::InspectionOutcome::Kind::needMoreData &&
        buffer.size() < maxInspectionBytes) {
        return filter::NEFilterDataVerdict::pass(readBytes.size(), peekBytes);
    }

    const std::string summary = std::move(entry->second.endpointSummary);
    pendingInspections.erase(entry);
    switch (outcome.kind) {
        case filter::InspectionOutcome::Kind::blocked:
            writeBlockDecision(*outcome.name, *outcome.name);
            return filter::NEFilterDataVerdict::drop();
        case filter::InspectionOutcome::Kind::allowed:
            logger.log("allowed inspected flow host=%{public}s endpoint=%{public}s",
                       {*outcome.name, summary});
            break;
        case filter::InspectionOutcome::Kind::noHostname:
            logger.log("allowing unresolved flow without hostname endpoint=%{public}s", {summary});
            break;
        case filter::InspectionOutcome::Kind::needMoreData:
            logger.log("allowing unresolved flow after max inspection bytes endpoint=%{public}s",
                       {summary});
            break;
    }
    return filter::NEFilterDataVerdict::allow();
}

std::optional<std::string> SimpleFilterPath::normalizedHost(
    const filter::NEFilterFlow& flow) const {
    if (flow.URL() && flow.URL()->host()) {
        return common::normalizedHostText(*flow.URL()->host());
    }
    const auto* socketFlow = dynamic_cast<const filter::NEFilterSocketFlow*>(&flow);
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

void SimpleFilterPath::recordObservedFlow(const filter::NEFilterFlow& flow,
                                          const std::optional<std::string>& resolvedHost) {
    const std::string host =
        resolvedHost ? *resolvedHost : normalizedHost(flow).value_or(unavailable);
    const std::string url = flow.URL() ? flow.URL()->absoluteString() : unavailable;
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

void SimpleFilterPath::writeBlockDecision(const std::string& host,
                                          const std::string& matchedDomain) {
    if (sharedDefaults) {
        sharedDefaults->setObject(host, common::keys::contentFilterLastBlockedHost);
        sharedDefaults->setObject(matchedDomain, common::keys::contentFilterLastMatchedDomain);
        sharedDefaults->setObject(base::Date::now(), common::keys::contentFilterLastBlockedAt);
        sharedDefaults->setObject(std::string("blocked ") + matchedDomain,
                                  common::keys::contentFilterExtensionState);
        sharedDefaults->setObject(std::nullopt, common::keys::contentFilterExtensionError);
        sharedDefaults->synchronize();
    }
    logger.log("blocked flow host=%{public}s domain=%{public}s", {host, matchedDomain});
}

}  // namespace bench

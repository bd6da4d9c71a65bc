#include "platform/netfilter/LearnedNameRouting.h"

#include "common/BuildConstants.h"

namespace platform::netfilter {

LearnedNameRouting::LearnedNameRouting(AddressSetWriter writer, ResolvedNameLimits limits)
    : logger(common::filterLogSubsystem, "netfilter"), writer(std::move(writer)), table(limits) {}

bool LearnedNameRouting::isCovered(const std::string& name) const {
    return coveringIndex.firstCoveringPosition(name).has_value();
}

void LearnedNameRouting::learn(const DNSAnswer& answer, Clock::time_point now) {
    std::lock_guard lock(mutex);
    const bool isRouted = isCovered(answer.questionName);
    std::vector<TimedAddress> routed;
    for (const auto& each : answer.addresses) {
        table.record(each.address, answer.questionName, each.ttlSeconds, now);
        if (isRouted) {
            routed.push_back({each.address, table.lifetime(each.ttlSeconds)});
        }
    }
    if (routed.empty() || !writer) {
        return;
    }
    if (auto written = writer(routed); !written && !didReportWriteFailure) {
        didReportWriteFailure = true;
        logger.error("flows to addresses learnt from DNS may go unseen: %{public}s",
                     {written.error().description});
    }
}

std::optional<std::string> LearnedNameRouting::nameFor(const IPAddress& address,
                                                       Clock::time_point now) {
    std::lock_guard lock(mutex);
    return table.nameFor(address, now);
}

base::Expected<bool> LearnedNameRouting::replaceHostNames(const std::vector<std::string>& names,
                                                          Clock::time_point now,
                                                          const AddressSetWriter& install) {
    std::lock_guard lock(mutex);
    common::DomainIndex replacement(names);
    std::vector<TimedAddress> covered;
    for (const auto& entry : table.liveEntries(now)) {
        if (replacement.firstCoveringPosition(entry.name)) {
            covered.push_back(
                {entry.address, std::chrono::ceil<std::chrono::milliseconds>(entry.expiry - now)});
        }
    }
    auto installed = install(covered);
    if (installed) {
        coveringIndex = std::move(replacement);
        didReportWriteFailure = false;
    }
    return installed;
}

}  // namespace platform::netfilter

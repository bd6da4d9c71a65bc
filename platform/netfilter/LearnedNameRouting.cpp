#include "platform/netfilter/LearnedNameRouting.h"

#include "common/BuildConstants.h"

namespace platform::netfilter {

LearnedNameRouting::LearnedNameRouting(AddressSetWriter writer, ResolvedNameLimits limits)
    : logger(common::filterLogSubsystem, "netfilter"), writer(std::move(writer)), table(limits) {}

bool LearnedNameRouting::isCovered(const std::string& name) const {
    return coveringIndex.firstCoveringPosition(name).has_value();
}

void LearnedNameRouting::learn(const DNSAnswer& answer, Clock::time_point now) {
    std::lock_guard writing(writeMutex);
    const bool isRouted = isCovered(answer.questionName);
    std::vector<TimedAddress> routed;
    {
        std::lock_guard lock(mutex);
        for (const auto& each : answer.addresses) {
            table.record(each.address, answer.questionName, each.ttlSeconds, now);
            if (!isRouted) {
                continue;
            }
            // Writing to the kernel costs tens of microseconds while the answer waits: an
            // address the sets hold for at least half its new lifetime is left as it is.
            const auto lifetime = table.lifetime(each.ttlSeconds);
            const auto routedUntil = table.routedUntil(each.address);
            if (!routedUntil || *routedUntil - now < lifetime / 2) {
                routed.push_back({each.address, lifetime});
            }
        }
    }
    if (routed.empty() || !writer) {
        return;
    }
    if (auto written = writer(routed); !written) {
        if (!didReportWriteFailure) {
            didReportWriteFailure = true;
            logger.error("flows to addresses learnt from DNS may go unseen: %{public}s",
                         {written.error().description});
        }
        return;
    }
    std::lock_guard lock(mutex);
    for (const auto& each : routed) {
        table.setRoutedUntil(each.address, now + each.timeout);
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
    // No answer is learnt until the new sets are in; flows are still named meanwhile.
    std::lock_guard writing(writeMutex);
    common::DomainIndex replacement(names);
    std::vector<TimedAddress> covered;
    {
        std::lock_guard lock(mutex);
        for (const auto& entry : table.liveEntries(now)) {
            if (replacement.firstCoveringPosition(entry.name)) {
                covered.push_back({entry.address, std::chrono::ceil<std::chrono::milliseconds>(
                                                      entry.expiry - now)});
            }
        }
    }
    auto installed = install(covered);
    if (installed) {
        coveringIndex = std::move(replacement);
        didReportWriteFailure = false;
        std::lock_guard lock(mutex);
        table.forgetRouting();
        for (const auto& each : covered) {
            table.setRoutedUntil(each.address, now + each.timeout);
        }
    }
    return installed;
}

}  // namespace platform::netfilter

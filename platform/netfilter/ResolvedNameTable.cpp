#include "platform/netfilter/ResolvedNameTable.h"

#include <algorithm>

namespace platform::netfilter {

std::size_t ResolvedNameTable::AddressHash::operator()(const IPAddress& address) const noexcept {
    std::size_t result = static_cast<std::size_t>(address.family);
    for (const std::uint8_t byte : address.view()) {
        result = result * 1000003 ^ byte;
    }
    return result;
}

ResolvedNameTable::ResolvedNameTable(ResolvedNameLimits limits) : limits(limits) {}

std::chrono::seconds ResolvedNameTable::lifetime(std::uint32_t ttlSeconds) const {
    return std::min(std::chrono::seconds(ttlSeconds), limits.maximumTTL) + limits.gracePeriod;
}

void ResolvedNameTable::record(const IPAddress& address,
                               std::string_view name,
                               std::uint32_t ttlSeconds,
                               Clock::time_point now) {
    const auto expiry = now + lifetime(ttlSeconds);
    if (const auto found = entriesByAddress.find(address); found != entriesByAddress.end()) {
        found->second->name.assign(name);
        found->second->expiry = expiry;
        entries.splice(entries.end(), entries, found->second);
        return;
    }
    if (limits.maximumAddresses == 0) {
        return;
    }
    if (entries.size() >= limits.maximumAddresses) {
        entriesByAddress.erase(entries.front().address);
        entries.pop_front();
    }
    entries.push_back({address, std::string(name), expiry});
    entriesByAddress.emplace(address, std::prev(entries.end()));
}

std::optional<std::string> ResolvedNameTable::nameFor(const IPAddress& address,
                                                      Clock::time_point now) {
    const auto found = entriesByAddress.find(address);
    if (found == entriesByAddress.end()) {
        return std::nullopt;
    }
    if (found->second->expiry <= now) {
        entries.erase(found->second);
        entriesByAddress.erase(found);
        return std::nullopt;
    }
    entries.splice(entries.end(), entries, found->second);
    return found->second->name;
}

std::optional<ResolvedNameTable::Clock::time_point> ResolvedNameTable::routedUntil(
    const IPAddress& address) const {
    const auto found = entriesByAddress.find(address);
    if (found == entriesByAddress.end() || found->second->routedUntil == Clock::time_point{}) {
        return std::nullopt;
    }
    return found->second->routedUntil;
}

void ResolvedNameTable::setRoutedUntil(const IPAddress& address, Clock::time_point until) {
    if (const auto found = entriesByAddress.find(address); found != entriesByAddress.end()) {
        found->second->routedUntil = until;
    }
}

void ResolvedNameTable::forgetRouting() {
    for (auto& entry : entries) {
        entry.routedUntil = {};
    }
}

std::vector<ResolvedNameTable::Entry> ResolvedNameTable::liveEntries(Clock::time_point now) const {
    std::vector<Entry> live;
    for (const auto& entry : entries) {
        if (entry.expiry > now) {
            live.push_back(entry);
        }
    }
    return live;
}

}  // namespace platform::netfilter

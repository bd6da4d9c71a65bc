#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// Every bound of the names learnt from DNS answers, in one place.
struct ResolvedNameLimits {
    // Addresses remembered at once. When a new one comes, the least recently used (resolved or
    // looked up) is forgotten to make room. With names of at most 253 bytes this keeps the table
    // under about 8 MiB.
    std::size_t maximumAddresses = 16384;
    // How long a name outlives its record's TTL. Programs go on using an answer a little past its
    // TTL: a connection opened right after a TTL-0 answer, a pool that reconnects, a cache that
    // rounds up. Two minutes covers those without keeping names that an address may have lost.
    std::chrono::seconds gracePeriod{120};
    // A TTL above this counts as this (a record may claim up to 68 years).
    std::chrono::seconds maximumTTL{24 * 60 * 60};
};

// Which name each address was last resolved for: the name that was asked for, not the CNAME
// target that gave the address. An address resolved again, for the same name or another one,
// takes the newer name and lifetime. A name is known until its TTL (capped at `maximumTTL`) plus
// the grace period have passed.
//
// Not thread-safe.
class ResolvedNameTable {
  public:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        IPAddress address;
        std::string name;
        Clock::time_point expiry;
        // Until when the kernel's sets hold the address, as far as the owner told the table; the
        // epoch when they do not.
        Clock::time_point routedUntil{};
    };

    explicit ResolvedNameTable(ResolvedNameLimits limits = {});

    // How long a name resolved with `ttlSeconds` is known.
    std::chrono::seconds lifetime(std::uint32_t ttlSeconds) const;

    void record(const IPAddress& address,
                std::string_view name,
                std::uint32_t ttlSeconds,
                Clock::time_point now);
    // The name `address` was last resolved for, or nothing when none is known any more.
    std::optional<std::string> nameFor(const IPAddress& address, Clock::time_point now);
    // Every entry still known, least recently used first.
    std::vector<Entry> liveEntries(Clock::time_point now) const;

    // Whether the kernel's sets hold a known address, and until when; kept across a change of the
    // address's name.
    std::optional<Clock::time_point> routedUntil(const IPAddress& address) const;
    void setRoutedUntil(const IPAddress& address, Clock::time_point until);
    // The sets were replaced by empty ones.
    void forgetRouting();

    std::size_t size() const { return entries.size(); }

  private:
    struct AddressHash {
        std::size_t operator()(const IPAddress& address) const noexcept;
    };
    using EntryList = std::list<Entry>;

    const ResolvedNameLimits limits;
    // Least recently used first.
    EntryList entries;
    std::unordered_map<IPAddress, EntryList::iterator, AddressHash> entriesByAddress;
};

}  // namespace platform::netfilter

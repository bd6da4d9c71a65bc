#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/log/Log.h"
#include "base/value/Expected.h"
#include "common/DomainIndex.h"
#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/IPAddress.h"
#include "platform/netfilter/ResolvedNameTable.h"

namespace platform::netfilter {

// An address for the stand-in's sets, kept there for `timeout`.
struct TimedAddress {
    IPAddress address;
    std::chrono::milliseconds timeout{0};

    bool operator==(const TimedAddress&) const = default;
};

// Puts addresses into the kernel's sets of addresses whose flows go to the queue.
using AddressSetWriter = std::function<base::Expected<bool>(std::span<const TimedAddress>)>;

// Names flows that carry none from the DNS answers the machine receives. Every answer's addresses
// are remembered with the name that was asked for (ResolvedNameTable); an address whose name a
// host rule covers (it equals the rule's host or ends with "." and the host) goes into the
// kernel's sets with the name's lifetime, so that new flows to it reach the queue. An address the
// sets already hold for at least half of its new lifetime is not written again.
//
// Thread-safe: answers are learnt on one thread while flows are named on another and host names
// replaced on a third. Naming a flow never waits for a write to the kernel's sets: those run with
// the table free, one at a time.
class LearnedNameRouting {
  public:
    using Clock = ResolvedNameTable::Clock;

    explicit LearnedNameRouting(AddressSetWriter writer, ResolvedNameLimits limits = {});

    void learn(const DNSAnswer& answer, Clock::time_point now);
    // The name `address` was last resolved for, while it is known.
    std::optional<std::string> nameFor(const IPAddress& address, Clock::time_point now);
    // Replaces the host rules' names. `install` is given the known addresses the new names cover,
    // to put into new sets, and runs while no answer is learnt, so that none falls between the
    // old sets and the new. When it fails the old names stay.
    base::Expected<bool> replaceHostNames(const std::vector<std::string>& names,
                                          Clock::time_point now,
                                          const AddressSetWriter& install);

  private:
    bool isCovered(const std::string& name) const;

    const base::Logger logger;
    AddressSetWriter writer;

    // Held by whoever writes to the kernel's sets, for the whole of its change; taken before
    // `mutex`. Guards coveringIndex and didReportWriteFailure.
    std::mutex writeMutex;
    common::DomainIndex coveringIndex;
    bool didReportWriteFailure = false;
    // Guards the table, held for moments only.
    std::mutex mutex;
    ResolvedNameTable table;
};

}  // namespace platform::netfilter

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/value/Expected.h"
#include "filter/framework/NEFilterSettings.h"
#include "platform/netfilter/IPAddress.h"

namespace platform::netfilter {

// One packet-level rule made from a filter rule: new outbound flows of one transport protocol
// (IPPROTO_TCP or IPPROTO_UDP) to a destination network, and to one port or any, take `action`.
struct PacketMatch {
    IPAddress network;
    int prefix = 0;
    std::optional<std::uint16_t> port;
    std::uint8_t protocol = 0;
    filter::NEFilterAction action = filter::NEFilterAction::allow;

    bool operator==(const PacketMatch&) const = default;
};

struct TranslatedSettings {
    // In the order of the rules they come from; the first that matches a flow decides it.
    std::vector<PacketMatch> matches;
    // Host rules naming a host by name, by that name, in rule order. Flows match them by the
    // names learnt from DNS answers (LearnedNameRouting), or, for web flows, by their first bytes.
    std::vector<std::string> hostRuleNames;
    filter::NEFilterAction defaultAction = filter::NEFilterAction::allow;
};

// Turns filter settings into packet-level rules. A network rule matches its address and prefix;
// a host rule whose host is an address literal matches that one address, one whose host is a name
// is kept by name; a port "0" (or none)
// matches any port; protocol any gives one match for TCP and one for UDP. Fails, naming the rule,
// for an address that is not a literal, a prefix out of range or a port that is not a number.
base::Expected<TranslatedSettings> translateFilterSettings(
    const filter::NEFilterSettings& settings);

}  // namespace platform::netfilter

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

// A host rule naming a host by name, for the UDP flows whose host name the stand-in learns (see
// NamedFlowRouting).
struct NamedHostRule {
    std::string host;
    filter::NEFilterAction action = filter::NEFilterAction::allow;

    bool operator==(const NamedHostRule&) const = default;
};

struct TranslatedSettings {
    // In the order of the rules they come from; the first that matches a flow decides it.
    std::vector<PacketMatch> matches;
    // Host rules naming a host by name, of protocol any or UDP, in order. The stand-in learns the
    // names of QUIC flows (UDP to port 443) from their Initial packets, and these rules decide
    // those flows.
    std::vector<NamedHostRule> namedHostRules;
    // Host rules naming a host by name for TCP only: they decide no QUIC flow.
    std::size_t unmatchableHostRuleCount = 0;
    // Every host rule naming a host by name, by that name, in rule order. Other flows than web
    // flows match them by the names learnt from DNS answers (LearnedNameRouting).
    std::vector<std::string> hostRuleNames;
    filter::NEFilterAction defaultAction = filter::NEFilterAction::allow;
};

// Turns filter settings into packet-level rules. A network rule matches its address and prefix;
// a host rule whose host is an address literal matches that one address; a host rule naming a host
// by name is kept by name (and becomes a named host rule for QUIC flows unless it is for TCP
// only); a port "0" (or none)
// matches any port; protocol any gives one match for TCP and one for UDP. Fails, naming the rule,
// for an address that is not a literal, a prefix out of range or a port that is not a number.
base::Expected<TranslatedSettings> translateFilterSettings(
    const filter::NEFilterSettings& settings);

}  // namespace platform::netfilter

#pragma once

#include <optional>
#include <string>

#include "filter/framework/NEFilterFlow.h"

namespace filter {

// What a flow tells about its remote end, read from the flow alone: pure functions, no state.

// The host of `flow`, normalised (common::normalizedHostText): the host of its URL when it has
// one, else its remote hostname, else the hostname of its remote host endpoint unless that is an
// IPv4 or IPv6 address literal. Nothing when none of them gives a host; possibly empty.
std::optional<std::string> hostOfFlow(const NEFilterFlow& flow);
// The absolute text of the flow's URL; nothing without a URL.
std::optional<std::string> urlOfFlow(const NEFilterFlow& flow);
// The printable name of the remote end: the remote hostname, else the endpoint's description,
// else "<unavailable>".
std::string endpointSummary(const NEFilterFlow& flow);
// Whether a flow that carries no host is a web flow whose first outbound bytes may name it: a
// stream socket to port 80 or 443.
bool shouldInspectUnknownFlow(const NEFilterFlow& flow);
// Whether `text` is an IPv4 or IPv6 address literal.
bool isIPAddress(const std::string& text);

// Stands in every recorded flow detail that a flow does not supply.
inline constexpr char unavailableFlowDetail[] = "<unavailable>";

}  // namespace filter

#pragma once

#include <string>

#include "base/value/Value.h"

namespace filter {

// The state kept for a flow whose host is not known yet while its first outbound bytes are read.
struct PendingInspection {
    // The flow's first outbound bytes in the order delivered, never more than 4096; empty when
    // the entry is made.
    base::Data bufferedOutboundData;
    // The printable name of the remote end, for log lines; never changes once the entry is made.
    std::string endpointSummary;

    bool operator==(const PendingInspection&) const = default;
};

}  // namespace filter

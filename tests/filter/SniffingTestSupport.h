#pragma once

#include <ostream>

#include "filter/HostSniffing.h"
#include "filter/InspectionOutcome.h"

namespace filter {

inline void PrintTo(const InspectionOutcome& outcome, std::ostream* stream) {
    switch (outcome.kind) {
        case InspectionOutcome::Kind::blocked:
            *stream << "blocked(matchedDomain: \"" << outcome.name.value_or("") << "\")";
            return;
        case InspectionOutcome::Kind::allowed:
            *stream << "allowed(host: \"" << outcome.name.value_or("") << "\")";
            return;
        case InspectionOutcome::Kind::needMoreData:
            *stream << "needMoreData";
            return;
        case InspectionOutcome::Kind::noHostname:
            *stream << "noHostname";
            return;
    }
}

inline void PrintTo(const SniffedHost& sniffed, std::ostream* stream) {
    switch (sniffed.kind) {
        case SniffedHost::Kind::host:
            *stream << "host(\"" << sniffed.host.value_or("") << "\")";
            return;
        case SniffedHost::Kind::needMoreData:
            *stream << "needMoreData";
            return;
        case SniffedHost::Kind::noHostname:
            *stream << "noHostname";
            return;
    }
}

}  // namespace filter

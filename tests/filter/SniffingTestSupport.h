#pragma once

#include <ostream>

#include "filter/HostSniffing.h"

namespace filter {

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

#pragma once

#include <ostream>
#include <string>

#include "filter/HostSniffing.h"

namespace filter {

inline void PrintTo(const SniffedHost& sniffed, std::ostream* stream) {
    using Kind = SniffedHost::Kind;
    *stream << (sniffed.kind == Kind::host           ? "host(\"" + sniffed.host.value_or("") + "\")"
                : sniffed.kind == Kind::needMoreData ? std::string("needMoreData")
                                                     : std::string("noHostname"));
}

}  // namespace filter

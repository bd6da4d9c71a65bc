#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/value/Expected.h"

namespace tools {

// Why `entry` cannot be a blocked domain, or nothing when it can. The entry must be a name of
// ASCII letters, digits, "-", "_" and ".", optionally followed by ":" and a port number, and its
// normalised host text must be a host name: labels of at most 63 bytes, none empty, separated by
// ".", at most 253 bytes in all.
std::optional<std::string> domainProblem(std::string_view entry);

// The blocked domains written in `text`, split at commas, white space and newlines; a "#" starts
// a comment that runs to the end of its line. Each entry is normalised as hosts are compared;
// duplicates after the first are dropped and the order is kept. Fails, naming the entry, when
// one is not a host name (see domainProblem).
base::Expected<std::vector<std::string>> parseDomainList(std::string_view text);

}  // namespace tools

#pragma once

#include <span>
#include <string_view>

#include "tools/tovrinctl/Console.h"

namespace tools {

// `tovrinctl policy set (--block LIST | --block-file FILE)... (--enforce | --monitor)`.
//
// Publishes the policy in both places the system reads it: the filter's provider configuration
// file (its vendor dictionary) and the policy blob in the shared suite, both with the next
// version (one more than the higher of the two current versions, at least 1) and, in the blob,
// the current time. Every domain is checked first; one that is not a host name fails the command
// and nothing is written.
//
// The two writes cannot be one transaction, so they are ordered to leave nothing half-published:
// the suite is opened and both current versions are read before anything is written; then the
// configuration file is replaced (the write that fails when the file is not ours to write, which
// leaves everything as it was); then the blob is stored. Should the blob write fail, the old
// configuration file is put back (or the new one removed, when there was none) and the command
// says whether that worked.
int runPolicySet(std::span<const std::string_view> arguments, Console& console);

// `tovrinctl policy show`: the policy as the filter would load it (the configuration file when it
// holds a vendor dictionary, else the blob, else the empty policy) and as the browser handler
// would (the blob only, its "configuredDomains" in preference to "blockedDomains").
int runPolicyShow(std::span<const std::string_view> arguments, Console& console);

}  // namespace tools

#pragma once

#include <span>
#include <string_view>

#include "tools/tovrinctl/Console.h"

namespace tools {

// `tovrinctl status`: the filter's diagnostics in the shared suite in plain words (state, error,
// start count, policy summary, observed flows, last observed host, URL and endpoint, last block
// with its time and how long ago), then the latest browser event the handler stored.
int runStatus(std::span<const std::string_view> arguments, Console& console);

}  // namespace tools

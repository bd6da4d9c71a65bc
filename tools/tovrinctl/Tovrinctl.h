#pragma once

#include <cstdio>
#include <span>
#include <string_view>

namespace tools {

// Runs `tovrinctl` with `arguments` (without the program name), writing results to `output` and
// messages to `errors`, and returns the exit status (see Console.h). The shared suite is found
// under sharedSuiteRoot() (SharedSuite.h) and the filter's configuration file at
// platform::providerconfiguration::path().
int runTovrinctl(std::span<const std::string_view> arguments, std::FILE* output, std::FILE* errors);

}  // namespace tools

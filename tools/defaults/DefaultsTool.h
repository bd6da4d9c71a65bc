#pragma once

#include <cstdio>
#include <span>
#include <string_view>

namespace tools {

// Exit statuses of `defaults`.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;  // an absent key, a suite that cannot be opened or written
inline constexpr int exitUsage = 2;    // arguments that do not form a command

// Runs `defaults` with `arguments` (without the program name) on the suites under
// platform::appGroupContainersRoot(), writing results to `output` and messages to `errors`, and
// returns the exit status.
int runDefaultsTool(std::span<const std::string_view> arguments,
                    std::FILE* output,
                    std::FILE* errors);

}  // namespace tools

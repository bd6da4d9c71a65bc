// tovrinctl: publishes the policy, shows the diagnostics and connects browsers, as the host
// application does on its own platform.

#include <string_view>
#include <vector>

#include "tools/tovrinctl/Tovrinctl.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return tools::runTovrinctl(arguments, stdout, stderr);
}

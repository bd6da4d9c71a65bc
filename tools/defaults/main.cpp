#include <string_view>
#include <vector>

#include "tools/defaults/DefaultsTool.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return tools::runDefaultsTool(arguments, stdout, stderr);
}

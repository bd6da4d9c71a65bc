// Runs a fuzz target over every file of its corpus folders, for machines without libFuzzer. A
// folder that cannot be read ends the run with an exception.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argumentCount, char** arguments) {
    std::size_t count = 0;
    for (int index = 1; index < argumentCount; ++index) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(arguments[index])) {
            if (entry.is_regular_file()) {
                std::ifstream file(entry.path(), std::ios::binary);
                const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
                LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
                ++count;
            }
        }
    }
    return count > 0 ? 0 : 1;  // an empty corpus replays nothing
}

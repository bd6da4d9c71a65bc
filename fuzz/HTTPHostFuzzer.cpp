// Feeds arbitrary bytes to the HTTP Host parser. A host read from a Host line that CR LF has
// ended must not change when more of the request arrives.

#include <cstdlib>
#include <vector>

#include "filter/HostSniffing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    const auto outcome = filter::parseHTTPHost(bytes);
    if (outcome.host) {
        bytes.insert(bytes.end(), {'\r', '\n'});
        if (filter::parseHTTPHost(bytes) != outcome) {
            std::abort();
        }
    }
    return 0;
}

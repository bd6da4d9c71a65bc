// Feeds arbitrary bytes to the TLS ClientHello parser. A server name, once read, must not change
// when more bytes arrive after the ClientHello.

#include <cstdlib>
#include <vector>

#include "filter/HostSniffing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    const auto outcome = filter::parseTLSClientHelloSNI(bytes);
    if (outcome.host) {
        bytes.insert(bytes.end(), data, data + size);
        if (filter::parseTLSClientHelloSNI(bytes) != outcome) {
            std::abort();
        }
    }
    return 0;
}

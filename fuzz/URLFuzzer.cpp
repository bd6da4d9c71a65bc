#include <cstdlib>
#include <string>

#include "base/url/URL.h"

// Parses any text as a URL reference. A reference that parses keeps its text; characters that
// browsers leave raw, added after the host, never change it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto url = base::URL::fromString(text);
    if (url && url->absoluteString() != text) {
        std::abort();
    }
    if (url && url->host()) {
        const auto extended = base::URL::fromString(text + "/a|b{c}^`[d] \xC3\xA9%");
        if (!extended || extended->host() != url->host()) {
            std::abort();
        }
    }
    return 0;
}

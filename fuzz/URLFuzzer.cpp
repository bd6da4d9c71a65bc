#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/url/URL.h"

// Parses any text as a URL reference. A reference that parses keeps its text; characters that
// browsers leave raw, added after the host, never change it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto url = base::URL::fromString(text);
    if (!url) {
        return 0;
    }
    if (url->absoluteString() != text) {
        std::abort();
    }
    if (!url->host()) {
        return 0;
    }
    const auto extended = base::URL::fromString(std::string(text) + "/a|b{c}^`[d] \xC3\xA9%");
    if (!extended || extended->host() != url->host()) {
        std::abort();
    }
    return 0;
}

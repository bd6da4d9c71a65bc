#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"

// Parses any bytes; whatever parses and is writable must write the same text again after a
// second parse. The decoder's conversions run on every object for the sanitizers to watch.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace base::json;
    const std::span<const std::uint8_t> input(data, size);
    if (const auto container = KeyedDecodingContainer::fromData(input)) {
        (void)container->decodeInt64IfPresent("a");
        (void)container->decodeDate("b");
        (void)container->decodeStringArrayIfPresent("c");
    }
    const auto parsed = JSONObjectWithData(input, true);
    if (!parsed || !isValidJSONObject(*parsed)) {
        return 0;
    }
    const auto written = dataWithJSONObject(*parsed);
    if (!written) {
        std::abort();
    }
    const auto reparsed = JSONObjectWithData(*written);
    if (!reparsed) {
        std::abort();
    }
    const auto rewritten = dataWithJSONObject(*reparsed);
    if (!rewritten || *rewritten != *written) {
        std::abort();
    }
    return 0;
}

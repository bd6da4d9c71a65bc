#include <cstdlib>

#include "base/json/JSON.h"

// Parses any bytes; whatever parses and is writable must write the same text again after a
// second parse (value() of a failure throws). JSONDecoderFuzzer runs the decoder.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace base::json;
    const auto parsed = JSONObjectWithData(std::span(data, size), true);
    if (!parsed || !isValidJSONObject(*parsed)) {
        return 0;
    }
    const auto written = dataWithJSONObject(*parsed).value();
    if (dataWithJSONObject(JSONObjectWithData(written).value()).value() != written) {
        std::abort();
    }
    return 0;
}

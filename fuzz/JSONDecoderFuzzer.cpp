#include <cstdlib>

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"

using Container = base::json::KeyedDecodingContainer;

template <typename T>
static bool same(const base::Expected<T>& one, const base::Expected<T>& other) {
    return one ? other && one.value() == other.value()
               : !other && one.error().description == other.error().description;
}

// Walking the array under `key` in place, to the end or stopping at the first string, answers as
// decoding it from the parsed tree.
static bool walksAsDecoded(const Container& viewed, const Container& parsed, std::string_view key) {
    const auto decoded = parsed.decodeStringArrayIfPresent(key);
    std::vector<std::string> seen;
    const auto walked = viewed.visitStringArrayIfPresent(key, [&](std::string_view text) {
        seen.emplace_back(text);
        return true;
    });
    const auto stopped = viewed.visitStringArray(key, [](std::string_view) { return false; });
    if (!walked || !decoded) {
        return !walked && !decoded && !stopped &&
               walked.error().description == decoded.error().description;
    }
    return bool(stopped) == decoded->has_value() && (*walked ? *decoded == seen : !*decoded);
}

// A container read from JSON text (which scans the text and reads members only when asked) must
// answer exactly as one built from the parsed tree: the same texts accepted, the same values and
// the same failure descriptions, for every kind of member.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto fast = Container::fromData(input);
    auto tree = base::json::JSONObjectWithData(input, true);
    const auto parsed = tree ? Container::fromValue(std::move(tree).value())
                             : base::Expected<Container>(tree.error());
    if (!fast || !parsed) {
        if (fast || parsed || fast.error().description != parsed.error().description) {
            std::abort();
        }
        return 0;
    }
    const auto viewed = Container::viewingData(input);
    const auto agree = [&](std::string_view key, auto... decode) {
        return ((same((*fast.*decode)(key), (*parsed.*decode)(key))) && ...);
    };
    for (std::string_view key : {"a", "b", "c", "blockedDomains", "configuredDomains"}) {
        if (!viewed || !walksAsDecoded(*viewed, *parsed, key) ||
            !agree(key, &Container::decodeBool, &Container::decodeInt64, &Container::decodeDouble,
                   &Container::decodeString, &Container::decodeDate, &Container::decodeStringArray,
                   &Container::decodeBoolIfPresent, &Container::decodeInt64IfPresent,
                   &Container::decodeDoubleIfPresent, &Container::decodeStringIfPresent,
                   &Container::decodeStringArrayIfPresent)) {
            std::abort();
        }
    }
    return 0;
}

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"

namespace {

using base::json::KeyedDecodingContainer;

template <typename T>
bool same(const base::Expected<T>& fast, const base::Expected<T>& parsed) {
    if (static_cast<bool>(fast) != static_cast<bool>(parsed)) {
        return false;
    }
    return fast ? fast.value() == parsed.value()
                : fast.error().description == parsed.error().description;
}

// Walking the array under `key` in place, to the end or stopping at the first string, answers as
// decoding it from the parsed tree.
bool walksAsDecoded(const KeyedDecodingContainer& viewed,
                    const KeyedDecodingContainer& parsed,
                    std::string_view key) {
    const auto decoded = parsed.decodeStringArrayIfPresent(key);
    std::vector<std::string> seen;
    const auto walked = viewed.visitStringArrayIfPresent(key, [&](std::string_view text) {
        seen.emplace_back(text);
        return true;
    });
    const auto stopped = viewed.visitStringArray(key, [](std::string_view) { return false; });
    if (static_cast<bool>(walked) != static_cast<bool>(decoded) ||
        static_cast<bool>(stopped) != (decoded && *decoded)) {
        return false;
    }
    if (!walked) {
        return walked.error().description == decoded.error().description;
    }
    return *walked ? *decoded == seen : !*decoded;
}

}  // namespace

// A container read from JSON text (which scans the text and reads members only when asked) must
// answer exactly as one built from the parsed tree: the same texts accepted, the same values and
// the same failure descriptions, for every kind of member.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto fast = KeyedDecodingContainer::fromData(input);
    auto tree = base::json::JSONObjectWithData(input, true);
    const auto parsed = tree ? KeyedDecodingContainer::fromValue(std::move(tree).value())
                             : base::Expected<KeyedDecodingContainer>(tree.error());
    if (static_cast<bool>(fast) != static_cast<bool>(parsed)) {
        std::abort();
    }
    if (!fast) {
        if (fast.error().description != parsed.error().description) {
            std::abort();
        }
        return 0;
    }
    const auto viewed = KeyedDecodingContainer::viewingData(input);
    if (!viewed) {
        std::abort();
    }
    for (std::string_view key : {"a", "b", "c", "blockedDomains", "configuredDomains"}) {
        const bool agree =
            same(fast->decodeBool(key), parsed->decodeBool(key)) &&
            same(fast->decodeInt64(key), parsed->decodeInt64(key)) &&
            same(fast->decodeDouble(key), parsed->decodeDouble(key)) &&
            same(fast->decodeString(key), parsed->decodeString(key)) &&
            same(fast->decodeDate(key), parsed->decodeDate(key)) &&
            same(fast->decodeStringArray(key), parsed->decodeStringArray(key)) &&
            same(fast->decodeBoolIfPresent(key), parsed->decodeBoolIfPresent(key)) &&
            same(fast->decodeInt64IfPresent(key), parsed->decodeInt64IfPresent(key)) &&
            same(fast->decodeDoubleIfPresent(key), parsed->decodeDoubleIfPresent(key)) &&
            same(fast->decodeStringIfPresent(key), parsed->decodeStringIfPresent(key)) &&
            same(fast->decodeStringArrayIfPresent(key), parsed->decodeStringArrayIfPresent(key));
        if (!agree || !walksAsDecoded(*viewed, *parsed, key)) {
            std::abort();
        }
    }
    return 0;
}

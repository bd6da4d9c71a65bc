#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace base {

// Strict UTF-8 throughout: no overlong forms, no surrogates, nothing above U+10FFFF.

struct UTF8Character {
    char32_t codePoint;
    // The number of bytes it takes, 1 to 4.
    std::size_t length;
};

// The character that begins `text`; nothing when `text` is empty or does not begin with a whole,
// valid UTF-8 sequence.
std::optional<UTF8Character> decodeUTF8Character(std::string_view text);

// Appends the UTF-8 form of `codePoint`, which must be a valid scalar value.
void appendUTF8(std::string& output, char32_t codePoint);

enum class UTF8Validity {
    valid,
    // Valid up to a character that the end of the bytes cuts off: more bytes could complete it.
    cutOff,
    invalid,
};
UTF8Validity validateUTF8(std::string_view text);

inline bool isValidUTF8(std::string_view text) {
    return validateUTF8(text) == UTF8Validity::valid;
}
inline bool isValidUTF8(std::span<const std::uint8_t> bytes) {
    return isValidUTF8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace base

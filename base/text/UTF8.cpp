#include "base/text/UTF8.h"

namespace base {
namespace {

enum class Scan { whole, cutOff, invalid };

struct ScannedCharacter {
    Scan scan;
    UTF8Character character;
};

// Reads the sequence that begins the non-empty `text`.
ScannedCharacter scanCharacter(std::string_view text) {
    const auto lead = static_cast<std::uint8_t>(text[0]);
    if (lead < 0x80) {
        return {Scan::whole, {lead, 1}};
    }
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    std::size_t length = 0;
    char32_t codePoint = 0;
    std::uint8_t secondLowest = 0x80;
    std::uint8_t secondHighest = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        secondLowest = lead == 0xE0 ? 0xA0 : 0x80;
        secondHighest = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        secondLowest = lead == 0xF0 ? 0x90 : 0x80;
        secondHighest = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {Scan::invalid, {}};
    }
    for (std::size_t offset = 1; offset < length; ++offset) {
        if (offset >= text.size()) {
            return {Scan::cutOff, {}};
        }
        const auto byte = static_cast<std::uint8_t>(text[offset]);
        const std::uint8_t lowest = offset == 1 ? secondLowest : 0x80;
        const std::uint8_t highest = offset == 1 ? secondHighest : 0xBF;
        if (byte < lowest || byte > highest) {
            return {Scan::invalid, {}};
        }
        codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    return {Scan::whole, {codePoint, length}};
}

}  // namespace

std::optional<UTF8Character> decodeUTF8Character(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const auto scanned = scanCharacter(text);
    if (scanned.scan != Scan::whole) {
        return std::nullopt;
    }
    return scanned.character;
}

UTF8Validity validateUTF8(std::string_view text) {
    while (!text.empty()) {
        const auto scanned = scanCharacter(text);
        if (scanned.scan == Scan::invalid) {
            return UTF8Validity::invalid;
        }
        if (scanned.scan == Scan::cutOff) {
            return UTF8Validity::cutOff;
        }
        text.remove_prefix(scanned.character.length);
    }
    return UTF8Validity::valid;
}

void appendUTF8(std::string& output, char32_t codePoint) {
    if (codePoint < 0x80) {
        output += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        output += static_cast<char>(0xC0 | (codePoint >> 6));
        output += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        output += static_cast<char>(0xE0 | (codePoint >> 12));
        output += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        output += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        output += static_cast<char>(0xF0 | (codePoint >> 18));
        output += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        output += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        output += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace base

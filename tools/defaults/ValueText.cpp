#include "tools/defaults/ValueText.h"

#include <charconv>
#include <cstdio>
#include <string_view>

#include "base/text/Hex.h"
#include "base/text/UTF8.h"
#include "tools/defaults/ISO8601.h"

namespace tools {
namespace {

bool isControl(char32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7f && codePoint <= 0x9f);
}

}  // namespace

std::string escapedForListing(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        switch (character) {
            case '\\':
                result += "\\\\";
                break;
            case '\t':
                result += "\\t";
                break;
            case '\n':
                result += "\\n";
                break;
            case '\r':
                result += "\\r";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof(buffer), "\\x%02x", byte);
                    result += buffer;
                } else {
                    result += character;
                }
        }
    }
    return result;
}

bool isPrintableUTF8(const base::Data& data) {
    if (data.empty()) {
        return false;
    }
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    while (!text.empty()) {
        const auto character = base::decodeUTF8Character(text);
        if (!character) {
            return false;
        }
        const char32_t codePoint = character->codePoint;
        if (isControl(codePoint) && codePoint != '\t' && codePoint != '\n' && codePoint != '\r') {
            return false;
        }
        text.remove_prefix(character->length);
    }
    return true;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    std::int64_t integer = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, integer);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return integer;
}

std::string valueText(const platform::StoredValue& value) {
    switch (platform::kindOf(value)) {
        case platform::StoredKind::data: {
            const auto& data = std::get<base::Data>(value);
            return std::string(data.begin(), data.end());
        }
        case platform::StoredKind::integer:
            return std::to_string(std::get<std::int64_t>(value));
        case platform::StoredKind::string:
            return std::get<std::string>(value);
        case platform::StoredKind::date:
            return iso8601Text(std::get<base::Date>(value));
        case platform::StoredKind::real: {
            char buffer[64];
            const auto end =
                std::to_chars(buffer, buffer + sizeof(buffer), std::get<double>(value)).ptr;
            return std::string(buffer, end);
        }
    }
    return {};
}

std::string listingText(const platform::StoredValue& value) {
    switch (platform::kindOf(value)) {
        case platform::StoredKind::data: {
            const auto& data = std::get<base::Data>(value);
            if (isPrintableUTF8(data)) {
                return escapedForListing(
                    std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
            }
            return "<" + base::hexText(data) + ">";
        }
        case platform::StoredKind::string:
            return escapedForListing(std::get<std::string>(value));
        default:
            return valueText(value);
    }
}

}  // namespace tools

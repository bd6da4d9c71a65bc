#include "common/HostNormalization.h"

#include <locale.h>

#include <array>
#include <clocale>
#include <cstdint>
#include <cwctype>
#include <optional>

#include "base/text/UTF8.h"

namespace common {
namespace {

// The Unicode White_Space property, which includes the newline characters.
bool isWhitespaceOrNewline(char32_t codePoint) {
    return (codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x20 || codePoint == 0x85 ||
           codePoint == 0xA0 || codePoint == 0x1680 ||
           (codePoint >= 0x2000 && codePoint <= 0x200A) || codePoint == 0x2028 ||
           codePoint == 0x2029 || codePoint == 0x202F || codePoint == 0x205F || codePoint == 0x3000;
}

locale_t unicodeLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

char32_t lowercased(char32_t codePoint) {
    if (codePoint < 0x80) {
        return (codePoint >= 'A' && codePoint <= 'Z') ? codePoint + ('a' - 'A') : codePoint;
    }
    const locale_t locale = unicodeLocale();
    if (locale == static_cast<locale_t>(0)) {
        return codePoint;
    }
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(codePoint), locale));
}

std::string_view trimmedWhitespace(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const auto decoded = base::decodeUTF8Character(text.substr(start));
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        start += decoded->length;
    }
    // Finds the end by walking forward, so that a trailing blank is only recognised on a
    // character boundary.
    std::size_t end = start;
    std::size_t position = start;
    while (position < text.size()) {
        const auto decoded = base::decodeUTF8Character(text.substr(position));
        const std::size_t length = decoded ? decoded->length : 1;
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            end = position + length;
        }
        position += length;
    }
    return text.substr(start, end - start);
}

std::string lowercasedText(std::string_view text) {
    std::string output;
    output.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            output += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
            ++position;
            continue;
        }
        const auto decoded = base::decodeUTF8Character(text.substr(position));
        if (!decoded) {
            output += text[position];
            ++position;
            continue;
        }
        base::appendUTF8(output, lowercased(decoded->codePoint));
        position += decoded->length;
    }
    return output;
}

std::string removingWWW(std::string_view text) {
    static constexpr std::string_view marker = "www.";
    std::string output;
    output.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        if (text.substr(position, marker.size()) == marker) {
            position += marker.size();
        } else {
            output += text[position];
            ++position;
        }
    }
    return output;
}

std::optional<std::string_view> firstNonEmptyPieceBeforeColon(std::string_view text) {
    std::size_t position = 0;
    while (position <= text.size()) {
        const std::size_t colon = text.find(':', position);
        const std::size_t end = colon == std::string_view::npos ? text.size() : colon;
        if (end > position) {
            return text.substr(position, end - position);
        }
        if (colon == std::string_view::npos) {
            break;
        }
        position = colon + 1;
    }
    return std::nullopt;
}

}  // namespace

bool isNormalizedHostText(std::string_view text) {
    // Blanks, controls, capitals, colons and every byte outside printable ASCII.
    static constexpr auto isOdd = [] {
        std::array<bool, 256> table{};
        for (int byte = 0; byte < 256; ++byte) {
            table[byte] =
                byte <= ' ' || byte >= 0x7F || (byte >= 'A' && byte <= 'Z') || byte == ':';
        }
        return table;
    }();
    if (text.empty() || text.front() == '.' || text.back() == '.') {
        return false;
    }
    // Without an early exit, so that the loop runs without branches over long lists of domains.
    bool hasOddByte = false;
    bool hasW = false;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        hasOddByte |= isOdd[byte];
        hasW |= byte == 'w';
    }
    return !hasOddByte && (!hasW || text.find("www.") == std::string_view::npos);
}

std::string normalizedHostText(std::string_view text) {
    if (isNormalizedHostText(text)) {
        return std::string(text);
    }
    const std::string lowered = lowercasedText(trimmedWhitespace(text));
    const std::string withoutWWW = removingWWW(lowered);
    const auto piece = firstNonEmptyPieceBeforeColon(withoutWWW);
    if (!piece) {
        return {};
    }
    std::string_view host = *piece;
    while (!host.empty() && host.front() == '.') {
        host.remove_prefix(1);
    }
    while (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return std::string(host);
}

}  // namespace common

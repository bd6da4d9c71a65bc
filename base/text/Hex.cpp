#include "base/text/Hex.h"

namespace base {
namespace {

std::optional<int> hexDigit(char character) {
    if (character >= '0' && character <= '9') {
        return character - '0';
    }
    if (character >= 'a' && character <= 'f') {
        return character - 'a' + 10;
    }
    if (character >= 'A' && character <= 'F') {
        return character - 'A' + 10;
    }
    return std::nullopt;
}

}  // namespace

std::string hexText(const Data& data) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (const std::uint8_t byte : data) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

std::optional<Data> parseHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Data data;
    data.reserve(text.size() / 2);
    for (std::size_t index = 0; index < text.size(); index += 2) {
        const std::optional<int> high = hexDigit(text[index]);
        const std::optional<int> low = hexDigit(text[index + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        data.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    return data;
}

}  // namespace base

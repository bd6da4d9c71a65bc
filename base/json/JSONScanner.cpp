#include "base/json/JSONScanner.h"

#include <locale.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/text/UTF8.h"

namespace base::json {
namespace {

constexpr int maximumNestingDepth = 512;

bool isBlank(std::uint8_t byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

bool isDigit(std::uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

int hexValue(std::uint8_t byte) {
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'a' && byte <= 'f') {
        return byte - 'a' + 10;
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

// Bytes that end a plain run inside a string: the quote, the backslash, control characters and
// the lead and continuation bytes of multi-byte UTF-8 sequences.
constexpr auto stopsPlainRun = [] {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        table[byte] = byte < 0x20 || byte == '"' || byte == '\\' || byte >= 0x80;
    }
    return table;
}();

// Whether the number token `token` reads as a finite double, as the C library's strtod reads it
// in the C locale.
bool isFiniteDouble(std::span<const std::uint8_t> token) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    const std::string text(token.begin(), token.end());
    const double value = cLocale != static_cast<locale_t>(0)
                             ? strtod_l(text.c_str(), nullptr, cLocale)
                             : std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

// A position in the text. Every read checks the bounds.
class Cursor {
  public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes(bytes) {}

    bool atEnd() const { return position >= bytes.size(); }
    // The byte at the position, or -1 at the end.
    int peek() const { return atEnd() ? -1 : bytes[position]; }
    std::size_t offset() const { return position; }

    void skipBlanks() {
        while (position < bytes.size() && isBlank(bytes[position])) {
            ++position;
        }
    }

    bool consume(std::uint8_t byte) {
        if (peek() != byte) {
            return false;
        }
        ++position;
        return true;
    }

    bool consumeWord(std::string_view word) {
        if (bytes.size() - position < word.size()) {
            return false;
        }
        for (std::size_t index = 0; index < word.size(); ++index) {
            if (bytes[position + index] != static_cast<std::uint8_t>(word[index])) {
                return false;
            }
        }
        position += word.size();
        return true;
    }

    // A string token, starting at its quote. With `output`, its text with the escapes resolved
    // is appended there.
    bool string(std::string* output) {
        if (!consume('"')) {
            return false;
        }
        std::size_t runStart = position;
        for (;;) {
            skipPlainRun();
            if (position >= bytes.size()) {
                return false;
            }
            const std::uint8_t byte = bytes[position];
            if (byte == '"') {
                appendRun(output, runStart);
                ++position;
                return true;
            }
            if (byte < 0x20) {
                return false;
            }
            if (byte == '\\') {
                appendRun(output, runStart);
                if (!escape(output)) {
                    return false;
                }
                runStart = position;
                continue;
            }
            const std::size_t length = utf8SequenceLength();
            if (length == 0) {
                return false;
            }
            position += length;
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, whose value is finite as a double unless it
    // is an integer that fits 64 bits: the parser refuses the others as an overflow.
    bool number() {
        const std::size_t start = position;
        bool isInteger = true;
        consume('-');
        if (consume('0')) {
        } else if (peek() >= '1' && peek() <= '9') {
            skipDigits();
        } else {
            return false;
        }
        if (consume('.')) {
            isInteger = false;
            if (!skipDigits()) {
                return false;
            }
        }
        if (consume('e') || consume('E')) {
            isInteger = false;
            if (!consume('+')) {
                consume('-');
            }
            if (!skipDigits()) {
                return false;
            }
        }
        // An integer of up to 300 digits is finite whether or not it fits 64 bits.
        constexpr std::size_t longestSurelyFiniteInteger = 300;
        if (isInteger && position - start <= longestSurelyFiniteInteger) {
            return true;
        }
        return isFiniteDouble(bytes.subspan(start, position - start));
    }

    // One value of any kind, its blanks around it not included.
    bool value(int depth) {
        switch (peek()) {
            case '"':
                return string(nullptr);
            case '{':
                return object(depth + 1, nullptr);
            case '[':
                return array(depth + 1);
            case 't':
                return consumeWord("true");
            case 'f':
                return consumeWord("false");
            case 'n':
                return consumeWord("null");
            default:
                return number();
        }
    }

    // An object at nesting depth `depth`; with `members`, the first span of each key is noted.
    bool object(int depth, TopLevelMembers* members) {
        if (depth > maximumNestingDepth || !consume('{')) {
            return false;
        }
        skipBlanks();
        if (consume('}')) {
            return true;
        }
        std::string key;
        for (;;) {
            key.clear();
            if (!string(members ? &key : nullptr)) {
                return false;
            }
            skipBlanks();
            if (!consume(':')) {
                return false;
            }
            skipBlanks();
            const std::size_t start = position;
            if (!value(depth)) {
                return false;
            }
            if (members && !members->contains(key)) {
                members->emplace(key, ValueSpan{start, position - start});
            }
            skipBlanks();
            if (consume('}')) {
                return true;
            }
            if (!consume(',')) {
                return false;
            }
            skipBlanks();
        }
    }

    bool array(int depth) {
        if (depth > maximumNestingDepth || !consume('[')) {
            return false;
        }
        skipBlanks();
        if (consume(']')) {
            return true;
        }
        for (;;) {
            if (!value(depth)) {
                return false;
            }
            skipBlanks();
            if (consume(']')) {
                return true;
            }
            if (!consume(',')) {
                return false;
            }
            skipBlanks();
        }
    }

  private:
    // Moves past bytes that need no attention inside a string, eight at a time where it can.
    void skipPlainRun() {
        constexpr std::uint64_t ones = 0x0101010101010101;
        constexpr std::uint64_t highs = 0x8080808080808080;
        while (bytes.size() - position >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + position, 8);
            // A high bit set in any of these marks a byte that ends the run: below 0x20, a quote,
            // a backslash, or 0x80 and above.
            const std::uint64_t quotes = word ^ (ones * '"');
            const std::uint64_t backslashes = word ^ (ones * '\\');
            const std::uint64_t stops =
                ((word - ones * 0x20) | (quotes - ones) | (backslashes - ones) | word) & highs;
            if (stops != 0) {
                break;
            }
            position += 8;
        }
        while (position < bytes.size() && !stopsPlainRun[bytes[position]]) {
            ++position;
        }
    }

    void appendRun(std::string* output, std::size_t runStart) const {
        if (output && position > runStart) {
            output->append(reinterpret_cast<const char*>(bytes.data() + runStart),
                           position - runStart);
        }
    }

    bool skipDigits() {
        const std::size_t start = position;
        while (position < bytes.size() && isDigit(bytes[position])) {
            ++position;
        }
        return position > start;
    }

    // Four hex digits after "\u".
    std::optional<char32_t> hexQuad() {
        if (bytes.size() - position < 4) {
            return std::nullopt;
        }
        char32_t unit = 0;
        for (int index = 0; index < 4; ++index) {
            const int digit = hexValue(bytes[position + index]);
            if (digit < 0) {
                return std::nullopt;
            }
            unit = (unit << 4) | static_cast<char32_t>(digit);
        }
        position += 4;
        return unit;
    }

    // An escape, starting at its backslash.
    bool escape(std::string* output) {
        ++position;
        if (atEnd()) {
            return false;
        }
        const std::uint8_t kind = bytes[position++];
        char resolved = 0;
        switch (kind) {
            case '"':
            case '\\':
            case '/':
                resolved = static_cast<char>(kind);
                break;
            case 'b':
                resolved = '\b';
                break;
            case 'f':
                resolved = '\f';
                break;
            case 'n':
                resolved = '\n';
                break;
            case 'r':
                resolved = '\r';
                break;
            case 't':
                resolved = '\t';
                break;
            case 'u': {
                auto unit = hexQuad();
                if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) {
                    return false;
                }
                char32_t codePoint = *unit;
                if (*unit >= 0xD800 && *unit <= 0xDBFF) {
                    if (!consume('\\') || !consume('u')) {
                        return false;
                    }
                    const auto low = hexQuad();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF) {
                        return false;
                    }
                    codePoint = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
                }
                if (output) {
                    base::appendUTF8(*output, codePoint);
                }
                return true;
            }
            default:
                return false;
        }
        if (output) {
            *output += resolved;
        }
        return true;
    }

    // The length of the valid UTF-8 sequence of two to four bytes at the position, or 0. The
    // ranges of the second byte exclude overlong forms, surrogates and code points past U+10FFFF.
    std::size_t utf8SequenceLength() const {
        const std::uint8_t lead = bytes[position];
        std::size_t length = 0;
        std::uint8_t secondLowest = 0x80;
        std::uint8_t secondHighest = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            secondLowest = lead == 0xE0 ? 0xA0 : 0x80;
            secondHighest = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            secondLowest = lead == 0xF0 ? 0x90 : 0x80;
            secondHighest = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (bytes.size() - position < length) {
            return 0;
        }
        for (std::size_t offset = 1; offset < length; ++offset) {
            const std::uint8_t byte = bytes[position + offset];
            const std::uint8_t lowest = offset == 1 ? secondLowest : 0x80;
            const std::uint8_t highest = offset == 1 ? secondHighest : 0xBF;
            if (byte < lowest || byte > highest) {
                return 0;
            }
        }
        return length;
    }

    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
};

}  // namespace

std::optional<TopLevelMembers> scanTopLevelObject(std::span<const std::uint8_t> bytes) {
    Cursor cursor(bytes);
    // A byte order mark is allowed only as the very first bytes.
    static constexpr std::uint8_t byteOrderMark[] = {0xEF, 0xBB, 0xBF};
    if (bytes.size() >= 3 && std::equal(bytes.begin(), bytes.begin() + 3, byteOrderMark)) {
        cursor = Cursor(bytes.subspan(3));
    }
    cursor.skipBlanks();
    if (cursor.peek() != '{') {
        return std::nullopt;
    }
    TopLevelMembers members;
    if (!cursor.object(1, &members)) {
        return std::nullopt;
    }
    cursor.skipBlanks();
    if (!cursor.atEnd()) {
        return std::nullopt;
    }
    // Offsets are those of `bytes`, mark included.
    if (bytes.size() >= 3 && std::equal(bytes.begin(), bytes.begin() + 3, byteOrderMark)) {
        for (auto& [key, span] : members) {
            span.offset += 3;
        }
    }
    return members;
}

bool visitStringArray(std::span<const std::uint8_t> bytes,
                      const std::function<bool(std::string_view)>& visit) {
    Cursor cursor(bytes);
    cursor.skipBlanks();
    if (!cursor.consume('[')) {
        return false;
    }
    bool visiting = true;
    std::string unescaped;
    cursor.skipBlanks();
    if (!cursor.consume(']')) {
        for (;;) {
            const std::size_t start = cursor.offset();
            if (cursor.peek() != '"' || !cursor.string(nullptr)) {
                return false;
            }
            if (visiting) {
                // The token without its quotes.
                const auto token = bytes.subspan(start + 1, cursor.offset() - start - 2);
                std::string_view text(reinterpret_cast<const char*>(token.data()), token.size());
                if (text.find('\\') != std::string_view::npos) {
                    unescaped.clear();
                    Cursor again(bytes.subspan(start, cursor.offset() - start));
                    again.string(&unescaped);
                    text = unescaped;
                }
                visiting = visit(text);
            }
            cursor.skipBlanks();
            if (cursor.consume(']')) {
                break;
            }
            if (!cursor.consume(',')) {
                return false;
            }
            cursor.skipBlanks();
        }
    }
    cursor.skipBlanks();
    return cursor.atEnd();
}

std::optional<std::vector<std::string>> decodeStringArray(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> texts;
    // Room for entries of eight bytes or more with their quotes and comma, which covers host
    // names; pages never written are never touched.
    texts.reserve(bytes.size() / 8);
    const bool isStringArray = visitStringArray(bytes, [&](std::string_view text) {
        texts.emplace_back(text);
        return true;
    });
    if (!isStringArray) {
        return std::nullopt;
    }
    return texts;
}

}  // namespace base::json

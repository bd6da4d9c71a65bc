#include "base/url/URL.h"

#include <uriparser/Uri.h>

#include <cstddef>
#include <cstdint>

namespace base {
namespace {

bool isASCIILetter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z');
}

bool isHexDigit(char character) {
    return (character >= '0' && character <= '9') || (character >= 'a' && character <= 'f') ||
           (character >= 'A' && character <= 'F');
}

int hexValue(char character) {
    if (character >= '0' && character <= '9') {
        return character - '0';
    }
    if (character >= 'a' && character <= 'f') {
        return character - 'a' + 10;
    }
    return character - 'A' + 10;
}

// Where the authority of `text` begins and ends, as [begin, end): after "scheme://" or a leading
// "//". Nothing when the reference has no authority.
struct AuthorityRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

std::optional<AuthorityRange> authorityRange(std::string_view text) {
    std::size_t position = 0;
    if (!text.empty() && isASCIILetter(text.front())) {
        std::size_t index = 1;
        while (index < text.size() &&
               (isASCIILetter(text[index]) || (text[index] >= '0' && text[index] <= '9') ||
                text[index] == '+' || text[index] == '-' || text[index] == '.')) {
            ++index;
        }
        if (index < text.size() && text[index] == ':') {
            position = index + 1;
        }
    }
    if (text.substr(position, 2) != "//") {
        return std::nullopt;
    }
    const std::size_t begin = position + 2;
    const std::size_t end = text.find_first_of("/?#", begin);
    return AuthorityRange{begin, end == std::string_view::npos ? text.size() : end};
}

// Characters that may stand unescaped in a path, query or fragment: unreserved characters,
// sub-delimiters, ":", "@", "/", "?" and "#".
bool isAllowedOutsideAuthority(char character) {
    constexpr std::string_view allowed = "-._~!$&'()*+,;=:@/?#";
    return isASCIILetter(character) || (character >= '0' && character <= '9') ||
           (character != '\0' && allowed.find(character) != std::string_view::npos);
}

// Browsers leave characters that RFC 3986 forbids raw in paths, queries and fragments ("|",
// "{", "}", "[", "]", "^", "`", spaces, non-ASCII bytes, a "%" not starting an escape, a second
// "#"). Escaping them there, and only there, lets the reference parse without touching the
// authority, so the host comes out as the browser sees it. A reference without an authority has
// no host to gain and is left as it is.
std::string escapedOutsideAuthority(std::string_view text) {
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    const auto authority = authorityRange(text);
    if (!authority) {
        return std::string(text);
    }
    std::string escaped;
    escaped.reserve(text.size());
    bool isInFragment = false;
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char character = text[index];
        if (index < authority->end) {
            escaped.push_back(character);
            continue;
        }
        const bool isEscapeStart = character == '%' && index + 2 < text.size() &&
                                   isHexDigit(text[index + 1]) && isHexDigit(text[index + 2]);
        const bool isSecondHash = character == '#' && isInFragment;
        if (isEscapeStart || (isAllowedOutsideAuthority(character) && !isSecondHash)) {
            isInFragment = isInFragment || character == '#';
            escaped.push_back(character);
            continue;
        }
        const auto byte = static_cast<std::uint8_t>(character);
        escaped.push_back('%');
        escaped.push_back(hexDigits[byte >> 4]);
        escaped.push_back(hexDigits[byte & 0x0F]);
    }
    return escaped;
}

// The host text with its escapes of ASCII characters decoded, as the platform's host accessor
// gives it (`ex%61mple.com` is example.com). Escapes of other bytes stay as they are, so the
// result is UTF-8 whenever the text is; a malformed escape or an escaped NUL leaves the text
// unchanged.
std::string decodedHost(std::string_view host) {
    std::string decoded;
    decoded.reserve(host.size());
    for (std::size_t index = 0; index < host.size(); ++index) {
        if (host[index] != '%') {
            decoded.push_back(host[index]);
            continue;
        }
        if (index + 2 >= host.size() || !isHexDigit(host[index + 1]) ||
            !isHexDigit(host[index + 2])) {
            return std::string(host);
        }
        const int value = hexValue(host[index + 1]) * 16 + hexValue(host[index + 2]);
        if (value == 0) {
            return std::string(host);
        }
        if (value >= 0x80) {
            decoded.append(host.substr(index, 3));
        } else {
            decoded.push_back(static_cast<char>(value));
        }
        index += 2;
    }
    return decoded;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    const std::string escaped = escapedOutsideAuthority(text);
    UriUriA uri;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, escaped.data(), escaped.data() + escaped.size(),
                             &errorPosition) != URI_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> host;
    // No authority leaves the host range unset; an empty one ("http:///x") counts as none too.
    // A host left empty beside a port ("https://:443/") is the empty text. The host text of an
    // IP literal comes without its brackets.
    const auto authority = authorityRange(text);
    const bool hasEmptyAuthority = authority && authority->begin == authority->end;
    if (uri.hostText.first != nullptr && !hasEmptyAuthority) {
        host = decodedHost(std::string_view(
            uri.hostText.first,
            static_cast<std::size_t>(uri.hostText.afterLast - uri.hostText.first)));
    }
    uriFreeUriMembersA(&uri);
    return URL(std::string(text), std::move(host));
}

}  // namespace base

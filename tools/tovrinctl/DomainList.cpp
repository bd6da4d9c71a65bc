#include "tools/tovrinctl/DomainList.h"

#include <algorithm>

#include "common/HostNormalization.h"

namespace tools {
namespace {

constexpr std::size_t maximumLabelLength = 63;
constexpr std::size_t maximumNameLength = 253;

bool isHostNameCharacter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= '0' && character <= '9') ||
           character == '-' || character == '_';
}

bool isSeparator(char character) {
    return character == ',' || character == ' ' || character == '\t' || character == '\n' ||
           character == '\r';
}

}  // namespace

std::optional<std::string> domainProblem(std::string_view entry) {
    // A URL or a name with a path would normalise to a different, valid name ("https"), so the
    // entry itself must be a name, optionally followed by a port.
    if (entry.find('/') != std::string_view::npos) {
        return "write the name alone, not a URL or a path";
    }
    const std::size_t colon = entry.find(':');
    const std::string_view name = entry.substr(0, colon);
    for (const char character : name) {
        if (static_cast<unsigned char>(character) >= 0x80) {
            return "it is not ASCII (write an international name in its xn-- form)";
        }
        const char lowered =
            (character >= 'A' && character <= 'Z') ? character - 'A' + 'a' : character;
        if (!isHostNameCharacter(lowered) && lowered != '.') {
            return std::string("it contains \"") + character + "\"";
        }
    }
    if (name.empty()) {
        return "it has no name before \":\"";
    }
    if (colon != std::string_view::npos) {
        const std::string_view port = entry.substr(colon + 1);
        if (port.empty() || !std::all_of(port.begin(), port.end(),
                                         [](char digit) { return digit >= '0' && digit <= '9'; })) {
            return "only a port number may follow \":\"";
        }
    }
    const std::string host = common::normalizedHostText(entry);
    if (host.empty()) {
        return "it names no host";
    }
    if (host.size() > maximumNameLength) {
        return "it is longer than 253 characters";
    }
    std::size_t labelLength = 0;
    for (const char character : host) {
        if (character == '.') {
            if (labelLength == 0) {
                return "it has an empty label";
            }
            labelLength = 0;
            continue;
        }
        if (++labelLength > maximumLabelLength) {
            return "it has a label longer than 63 characters";
        }
    }
    return std::nullopt;
}

base::Expected<std::vector<std::string>> parseDomainList(std::string_view text) {
    std::vector<std::string> domains;
    std::size_t position = 0;
    while (position < text.size()) {
        if (text[position] == '#') {
            const std::size_t lineEnd = text.find('\n', position);
            position = lineEnd == std::string_view::npos ? text.size() : lineEnd;
            continue;
        }
        if (isSeparator(text[position])) {
            ++position;
            continue;
        }
        std::size_t end = position;
        while (end < text.size() && !isSeparator(text[end]) && text[end] != '#') {
            ++end;
        }
        const std::string_view entry = text.substr(position, end - position);
        position = end;
        if (auto problem = domainProblem(entry)) {
            return base::Error{"not a domain: \"" + std::string(entry) + "\": " + *problem};
        }
        std::string domain = common::normalizedHostText(entry);
        if (std::find(domains.begin(), domains.end(), domain) == domains.end()) {
            domains.push_back(std::move(domain));
        }
    }
    return domains;
}

}  // namespace tools

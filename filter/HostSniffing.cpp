#include "filter/HostSniffing.h"

#include <array>
#include <string_view>

#include "base/ByteReader.h"
#include "base/text/UTF8.h"
#include "common/HostNormalization.h"

namespace filter {
namespace {

using base::ByteReader;

constexpr std::uint8_t handshakeRecordType = 22;
constexpr std::uint8_t clientHelloHandshakeType = 1;
constexpr std::size_t clientVersionAndRandomLength = 2 + 32;
constexpr std::uint16_t serverNameExtensionType = 0;
// The list length (2) plus the smallest entry (type 1, length 2).
constexpr std::size_t smallestServerNameExtensionLength = 5;
constexpr std::uint8_t hostNameType = 0;

constexpr std::array<std::string_view, 5> requestMethodPrefixes = {"GET ", "POST ", "HEAD ", "PUT ",
                                                                   "DELETE "};
constexpr std::string_view hostHeaderName = "host:";
constexpr std::string_view lineEnd = "\r\n";

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

SniffedHost foundHost(std::string_view hostText) {
    return SniffedHost::found(common::normalizedHostText(hostText));
}

bool beginsWithRequestMethod(std::string_view text) {
    for (const auto prefix : requestMethodPrefixes) {
        if (text.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

char lowercasedASCII(char character) {
    return (character >= 'A' && character <= 'Z') ? static_cast<char>(character - 'A' + 'a')
                                                  : character;
}

// Whether `text` equals the start of `lowercasePrefix`, up to its own length, in any case.
bool matchesStartIgnoringCase(std::string_view text, std::string_view lowercasePrefix) {
    if (text.size() > lowercasePrefix.size()) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (lowercasedASCII(text[index]) != lowercasePrefix[index]) {
            return false;
        }
    }
    return true;
}

bool isHostLine(std::string_view line) {
    return line.size() >= hostHeaderName.size() &&
           matchesStartIgnoringCase(line.substr(0, hostHeaderName.size()), hostHeaderName);
}

// Whether a line that the end of the buffer has cut short could still become the Host line.
bool couldBecomeHostLine(std::string_view line) {
    return !line.empty() && matchesStartIgnoringCase(line, hostHeaderName);
}

// Walks the host_name entries of a server-name list.
std::optional<SniffedHost> hostOfServerNameList(std::span<const std::uint8_t> list) {
    ByteReader entries(list);
    while (entries.remaining() >= 3) {
        const auto nameType = entries.readU8();
        const auto nameLength = entries.readU16BigEndian();
        const auto name = entries.readBytes(*nameLength);
        if (!name) {
            return SniffedHost::noHostname();
        }
        if (*nameType != hostNameType || !base::isValidUTF8(*name)) {
            continue;
        }
        return foundHost(asText(*name));
    }
    return std::nullopt;
}

}  // namespace

SniffedHost parseHTTPHost(std::span<const std::uint8_t> bytes) {
    std::string_view text = asText(bytes);
    const auto validity = base::validateUTF8(text);
    if (validity == base::UTF8Validity::invalid) {
        return SniffedHost::noHostname();
    }
    // A Host line cut inside a character is as incomplete as any other cut-off Host line. Any
    // other request that is not UTF-8 so far names no host.
    const bool endsInsideCharacter = validity == base::UTF8Validity::cutOff;
    if (endsInsideCharacter) {
        while (!text.empty() && (static_cast<std::uint8_t>(text.back()) & 0xC0) == 0x80) {
            text.remove_suffix(1);
        }
        text.remove_suffix(1);
    }
    if (!beginsWithRequestMethod(text)) {
        return SniffedHost::noHostname();
    }
    std::size_t lineStart = 0;
    while (true) {
        const std::size_t lineEndOffset = text.find(lineEnd, lineStart);
        const bool isEnded = lineEndOffset != std::string_view::npos;
        const std::string_view line =
            isEnded ? text.substr(lineStart, lineEndOffset - lineStart) : text.substr(lineStart);
        if (isHostLine(line)) {
            if (!isEnded) {
                return SniffedHost::needMoreData();
            }
            if (endsInsideCharacter) {
                return SniffedHost::noHostname();
            }
            // normalizedHostText trims every kind of white space from both ends of the value.
            return foundHost(line.substr(hostHeaderName.size()));
        }
        if (!isEnded) {
            return !endsInsideCharacter && couldBecomeHostLine(line) ? SniffedHost::needMoreData()
                                                                     : SniffedHost::noHostname();
        }
        lineStart = lineEndOffset + lineEnd.size();
    }
}

SniffedHost parseTLSClientHelloSNI(std::span<const std::uint8_t> bytes) {
    ByteReader record(bytes);
    if (record.remaining() < 5) {
        return SniffedHost::needMoreData();
    }
    if (record.readU8() != handshakeRecordType) {
        return SniffedHost::noHostname();
    }
    record.skip(2);
    const auto recordLength = record.readU16BigEndian();
    if (record.remaining() < *recordLength) {
        return SniffedHost::needMoreData();
    }
    if (record.remaining() < 4) {
        return SniffedHost::noHostname();
    }
    return parseClientHelloMessage(bytes.subspan(record.offset()));
}

SniffedHost parseClientHelloMessage(std::span<const std::uint8_t> bytes) {
    ByteReader record(bytes);
    const auto handshakeType = record.readU8();
    if (!handshakeType) {
        return SniffedHost::needMoreData();
    }
    if (*handshakeType != clientHelloHandshakeType) {
        return SniffedHost::noHostname();
    }
    if (!record.skip(3)) {
        return SniffedHost::needMoreData();
    }

    // From here on every field is bounded by the bytes buffered so far: a field that does not fit
    // yet means the ClientHello has not fully arrived.
    if (!record.skip(clientVersionAndRandomLength)) {
        return SniffedHost::needMoreData();
    }
    const auto sessionIDLength = record.readU8();
    if (!sessionIDLength || !record.skip(*sessionIDLength)) {
        return SniffedHost::needMoreData();
    }
    const auto cipherSuitesLength = record.readU16BigEndian();
    if (!cipherSuitesLength || !record.skip(*cipherSuitesLength)) {
        return SniffedHost::needMoreData();
    }
    const auto compressionMethodsLength = record.readU8();
    if (!compressionMethodsLength || !record.skip(*compressionMethodsLength)) {
        return SniffedHost::needMoreData();
    }
    const auto extensionsLength = record.readU16BigEndian();
    if (!extensionsLength) {
        return SniffedHost::needMoreData();
    }
    const auto extensionsBlock = record.readBytes(*extensionsLength);
    if (!extensionsBlock) {
        return SniffedHost::needMoreData();
    }

    ByteReader extensions(*extensionsBlock);
    while (extensions.remaining() >= 4) {
        const auto type = extensions.readU16BigEndian();
        const auto length = extensions.readU16BigEndian();
        const auto body = extensions.readBytes(*length);
        if (!body) {
            return SniffedHost::noHostname();
        }
        if (*type != serverNameExtensionType) {
            continue;
        }
        if (body->size() < smallestServerNameExtensionLength) {
            return SniffedHost::noHostname();
        }
        ByteReader serverName(*body);
        const auto listLength = serverName.readU16BigEndian();
        const auto list = serverName.readBytes(*listLength);
        if (!list) {
            return SniffedHost::noHostname();
        }
        if (auto outcome = hostOfServerNameList(*list)) {
            return *outcome;
        }
    }
    return SniffedHost::noHostname();
}

}  // namespace filter

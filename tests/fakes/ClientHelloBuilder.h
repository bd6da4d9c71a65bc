#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace fakes {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// One entry of a server_name extension's list. `declaredLength` replaces the true name length.
struct ServerNameEntry {
    std::uint8_t nameType = 0;
    Bytes name;
    std::optional<std::uint16_t> declaredLength = std::nullopt;
};

// One ClientHello extension. `declaredLength` replaces the true body length.
struct TLSExtension {
    std::uint16_t type = 0;
    Bytes body;
    std::optional<std::uint16_t> declaredLength = std::nullopt;
};

// Builds a TLS record holding a ClientHello: a 32-byte session id, three cipher suites, null
// compression, then the extensions added. Every length is computed from the content unless a
// test declares another, so a lying length is one field: `ClientHelloBuilder{.recordLength = 4}`.
struct ClientHelloBuilder {
    std::optional<std::uint16_t> recordLength = std::nullopt;
    std::uint8_t handshakeType = 1;
    std::optional<std::uint32_t> handshakeLength = std::nullopt;
    std::vector<TLSExtension> extensions = {};

    ClientHelloBuilder& withExtension(TLSExtension extension) {
        extensions.push_back(std::move(extension));
        return *this;
    }
    // A server_name extension holding `entries`; `listLength` replaces the true list length.
    ClientHelloBuilder& withServerNameList(std::vector<ServerNameEntry> entries,
                                           std::optional<std::uint16_t> listLength = {}) {
        Bytes list;
        for (const auto& entry : entries) {
            list.push_back(entry.nameType);
            appendWithLength(list, entry.name, entry.declaredLength);
        }
        Bytes body;
        appendWithLength(body, list, listLength);
        return withExtension({0, std::move(body)});
    }
    ClientHelloBuilder& withServerName(std::string_view host) {
        return withServerNameList({{0, bytesOf(host)}});
    }

    Bytes build() const {
        Bytes body = {0x03, 0x03};
        body.insert(body.end(), 32, 0xA5);  // the random
        body.push_back(32);
        body.insert(body.end(), 32, 0x5E);
        body.insert(body.end(), {0, 6, 0x13, 0x01, 0x13, 0x02, 0xC0, 0x2F, 1, 0x00});
        Bytes block;
        for (const auto& extension : extensions) {
            appendU16(block, extension.type);
            appendWithLength(block, extension.body, extension.declaredLength);
        }
        appendWithLength(body, block);

        const auto declared = handshakeLength.value_or(static_cast<std::uint32_t>(body.size()));
        Bytes handshake = {handshakeType, static_cast<std::uint8_t>(declared >> 16)};
        appendU16(handshake, static_cast<std::uint16_t>(declared));
        handshake.insert(handshake.end(), body.begin(), body.end());
        Bytes record = {22, 0x03, 0x01};  // a handshake record
        appendWithLength(record, handshake, recordLength);
        return record;
    }

    static void appendU16(Bytes& bytes, std::uint16_t value) {
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
    // Appends the length of `content`, or `declaredLength` in its place, then `content`.
    static void appendWithLength(Bytes& bytes,
                                 const Bytes& content,
                                 std::optional<std::uint16_t> declaredLength = {}) {
        appendU16(bytes, declaredLength.value_or(static_cast<std::uint16_t>(content.size())));
        bytes.insert(bytes.end(), content.begin(), content.end());
    }
};

}  // namespace fakes

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
    std::optional<std::uint16_t> declaredLength;
};

// One ClientHello extension. `declaredLength` replaces the true body length.
struct TLSExtension {
    std::uint16_t type = 0;
    Bytes body;
    std::optional<std::uint16_t> declaredLength;
};

// Builds a TLS record holding a ClientHello. Every length is computed from the content unless a
// test declares another, so a lying length or a record cut off at some byte is one call. By
// default: a 32-byte session id, three cipher suites, null compression, no extensions.
class ClientHelloBuilder {
  public:
    using Self = ClientHelloBuilder&;

    Self withRecordLength(std::uint16_t length) { return set(recordLength, length); }
    Self withHandshakeType(std::uint8_t type) { return set(handshakeType, type); }
    Self withHandshakeLength(std::uint32_t length) { return set(handshakeLength, length); }
    Self withSessionID(Bytes id) { return set(sessionID, std::move(id)); }
    Self withCipherSuites(Bytes suites) { return set(cipherSuites, std::move(suites)); }
    Self withCipherSuitesLength(std::uint16_t length) { return set(cipherSuitesLength, length); }
    Self withCompressionMethodsLength(std::uint8_t length) {
        return set(compressionMethodsLength, length);
    }
    // The ClientHello ends after its compression methods, with no extensions length at all.
    Self withoutExtensionsBlock() { return set(hasExtensionsBlock, false); }
    Self withExtensionsLength(std::uint16_t length) { return set(extensionsLength, length); }
    Self withExtension(TLSExtension extension) {
        extensions.push_back(std::move(extension));
        return *this;
    }
    // A server_name extension holding `entries`; `listLength` replaces the true list length.
    Self withServerNameList(std::vector<ServerNameEntry> entries,
                            std::optional<std::uint16_t> listLength = {}) {
        Bytes list;
        for (const auto& entry : entries) {
            list.push_back(entry.nameType);
            appendU16(list, entry.declaredLength.value_or(length(entry.name)));
            list.insert(list.end(), entry.name.begin(), entry.name.end());
        }
        Bytes body;
        appendU16(body, listLength.value_or(length(list)));
        body.insert(body.end(), list.begin(), list.end());
        return withExtension({0, std::move(body), std::nullopt});
    }
    Self withServerName(std::string_view host) {
        return withServerNameList({{0, bytesOf(host), std::nullopt}});
    }
    // Keeps only the first `count` bytes of the built record.
    Self truncatedTo(std::size_t count) { return set(truncation, count); }

    Bytes build() const {
        Bytes body;
        appendU16(body, 0x0303);
        body.insert(body.end(), 32, 0xA5);
        body.push_back(static_cast<std::uint8_t>(sessionID.size()));
        body.insert(body.end(), sessionID.begin(), sessionID.end());
        appendU16(body, cipherSuitesLength.value_or(length(cipherSuites)));
        body.insert(body.end(), cipherSuites.begin(), cipherSuites.end());
        body.push_back(compressionMethodsLength.value_or(
            static_cast<std::uint8_t>(compressionMethods.size())));
        body.insert(body.end(), compressionMethods.begin(), compressionMethods.end());
        if (hasExtensionsBlock) {
            Bytes block;
            for (const auto& extension : extensions) {
                appendU16(block, extension.type);
                appendU16(block, extension.declaredLength.value_or(length(extension.body)));
                block.insert(block.end(), extension.body.begin(), extension.body.end());
            }
            appendU16(body, extensionsLength.value_or(length(block)));
            body.insert(body.end(), block.begin(), block.end());
        }

        const auto declared = handshakeLength.value_or(static_cast<std::uint32_t>(body.size()));
        Bytes handshake{handshakeType, static_cast<std::uint8_t>(declared >> 16)};
        appendU16(handshake, static_cast<std::uint16_t>(declared));
        handshake.insert(handshake.end(), body.begin(), body.end());

        Bytes record{22};  // a handshake record
        appendU16(record, 0x0301);
        appendU16(record, recordLength.value_or(length(handshake)));
        record.insert(record.end(), handshake.begin(), handshake.end());
        if (truncation && *truncation < record.size()) {
            record.resize(*truncation);
        }
        return record;
    }

  private:
    template <typename Field, typename Value>
    ClientHelloBuilder& set(Field& field, Value value) {
        field = std::move(value);
        return *this;
    }
    static std::uint16_t length(const Bytes& bytes) {
        return static_cast<std::uint16_t>(bytes.size());
    }
    static void appendU16(Bytes& bytes, std::uint16_t value) {
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }

    std::optional<std::uint16_t> recordLength;
    std::uint8_t handshakeType = 1;
    std::optional<std::uint32_t> handshakeLength;
    Bytes sessionID = Bytes(32, 0x5E);
    Bytes cipherSuites = {0x13, 0x01, 0x13, 0x02, 0xC0, 0x2F};
    std::optional<std::uint16_t> cipherSuitesLength;
    Bytes compressionMethods = {0x00};
    std::optional<std::uint8_t> compressionMethodsLength;
    bool hasExtensionsBlock = true;
    std::vector<TLSExtension> extensions;
    std::optional<std::uint16_t> extensionsLength;
    std::optional<std::size_t> truncation;
};

}  // namespace fakes

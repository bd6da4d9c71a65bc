#include "platform/netfilter/QUICInitialReader.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "base/ByteReader.h"
#include "filter/HostSniffing.h"

namespace platform::netfilter {
namespace {

using base::ByteReader;

constexpr std::size_t secretLength = 32;
constexpr std::size_t keyLength = 16;
constexpr std::size_t ivLength = 12;
constexpr std::size_t tagLength = 16;
constexpr std::size_t sampleLength = 16;
constexpr std::size_t maximumConnectionIDLength = 20;
constexpr std::size_t handshakeHeaderLength = 4;
constexpr std::uint8_t longHeaderForm = 0x80;

constexpr std::uint64_t paddingFrame = 0x00;
constexpr std::uint64_t pingFrame = 0x01;
constexpr std::uint64_t ackFrame = 0x02;
constexpr std::uint64_t ackWithECNFrame = 0x03;
constexpr std::uint64_t cryptoFrame = 0x06;

// What tells the QUIC versions apart in Initial packets.
struct VersionParameters {
    std::uint32_t version;
    std::array<std::uint8_t, 20> salt;
    std::string_view keyLabel;
    std::string_view ivLabel;
    std::string_view headerProtectionLabel;
    // The long-header packet type of Initial packets.
    std::uint8_t initialType;
};

constexpr VersionParameters version1{
    0x00000001,
    {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
     0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a},
    "quic key",
    "quic iv",
    "quic hp",
    0,
};

constexpr VersionParameters version2{
    0x6b3343cf,
    {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
     0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9},
    "quicv2 key",
    "quicv2 iv",
    "quicv2 hp",
    1,
};

const VersionParameters* parametersFor(std::uint32_t version) {
    if (version == version1.version) {
        return &version1;
    }
    if (version == version2.version) {
        return &version2;
    }
    return nullptr;
}

std::optional<std::uint32_t> readU32(ByteReader& reader) {
    const auto bytes = reader.readBytes(4);
    if (!bytes) {
        return std::nullopt;
    }
    return (std::uint32_t{(*bytes)[0]} << 24) | (std::uint32_t{(*bytes)[1]} << 16) |
           (std::uint32_t{(*bytes)[2]} << 8) | (*bytes)[3];
}

// A variable-length integer (RFC 9000 section 16).
std::optional<std::uint64_t> readVarint(ByteReader& reader) {
    const auto first = reader.readU8();
    if (!first) {
        return std::nullopt;
    }
    const std::size_t extra = (std::size_t{1} << (*first >> 6)) - 1;
    const auto more = reader.readBytes(extra);
    if (!more) {
        return std::nullopt;
    }
    std::uint64_t value = *first & 0x3f;
    for (const std::uint8_t byte : *more) {
        value = (value << 8) | byte;
    }
    return value;
}

// The algorithms are looked up once; the objects are shared and never freed.
EVP_KDF* hkdfAlgorithm() {
    static EVP_KDF* const algorithm = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return algorithm;
}
EVP_CIPHER* cipher(const char* name) {
    return EVP_CIPHER_fetch(nullptr, name, nullptr);
}
EVP_CIPHER* aesECB() {
    static EVP_CIPHER* const algorithm = cipher("AES-128-ECB");
    return algorithm;
}
EVP_CIPHER* aesGCM() {
    static EVP_CIPHER* const algorithm = cipher("AES-128-GCM");
    return algorithm;
}

struct KDFContextDeleter {
    void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};
struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

using KDFContext = std::unique_ptr<EVP_KDF_CTX, KDFContextDeleter>;

// An HKDF context with its digest, SHA-256, chosen once for all the derivations of one
// connection's keys; each step sets its own mode, key and salt or info.
KDFContext newHKDFContext() {
    if (hkdfAlgorithm() == nullptr) {
        return nullptr;
    }
    KDFContext context(EVP_KDF_CTX_new(hkdfAlgorithm()));
    char digest[] = "SHA256";
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (!context || EVP_KDF_CTX_set_params(context.get(), parameters) != 1) {
        return nullptr;
    }
    return context;
}

// One HKDF step: extract (`salt` given) or expand (`info` given).
bool hkdf(EVP_KDF_CTX* context,
          int mode,
          std::span<const std::uint8_t> key,
          std::span<const std::uint8_t> saltOrInfo,
          std::span<std::uint8_t> output) {
    const bool isExtract = mode == EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()),
                                          key.size()),
        OSSL_PARAM_construct_octet_string(isExtract ? OSSL_KDF_PARAM_SALT : OSSL_KDF_PARAM_INFO,
                                          const_cast<std::uint8_t*>(saltOrInfo.data()),
                                          saltOrInfo.size()),
        OSSL_PARAM_construct_end(),
    };
    return EVP_KDF_derive(context, output.data(), output.size(), parameters) == 1;
}

// HKDF-Expand-Label of TLS 1.3 (RFC 8446 section 7.1) with an empty context.
bool expandLabel(EVP_KDF_CTX* context,
                 std::span<const std::uint8_t> secret,
                 std::string_view label,
                 std::span<std::uint8_t> output) {
    constexpr std::string_view prefix = "tls13 ";
    std::array<std::uint8_t, 64> info{};
    std::size_t length = 0;
    info[length++] = static_cast<std::uint8_t>(output.size() >> 8);
    info[length++] = static_cast<std::uint8_t>(output.size());
    info[length++] = static_cast<std::uint8_t>(prefix.size() + label.size());
    for (const std::string_view part : {prefix, label}) {
        std::memcpy(info.data() + length, part.data(), part.size());
        length += part.size();
    }
    info[length++] = 0;
    return hkdf(context, EVP_KDF_HKDF_MODE_EXPAND_ONLY, secret, {info.data(), length}, output);
}

}  // namespace

// The client's Initial keys of one connection, ready for use.
struct QUICInitialReader::Keys {
    const VersionParameters* parameters = nullptr;
    std::array<std::uint8_t, keyLength> key{};
    std::array<std::uint8_t, ivLength> iv{};
    CipherContext headerProtection;
    CipherContext payload;
    std::vector<std::uint8_t> header;
    // The plaintext of the packet opened last.
    std::vector<std::uint8_t> plaintext;

    static std::unique_ptr<Keys> derive(const VersionParameters& parameters,
                                        std::span<const std::uint8_t> connectionID) {
        std::array<std::uint8_t, secretLength> initialSecret{};
        std::array<std::uint8_t, secretLength> clientSecret{};
        std::array<std::uint8_t, keyLength> headerProtectionKey{};
        auto keys = std::make_unique<Keys>();
        keys->parameters = &parameters;
        keys->headerProtection.reset(EVP_CIPHER_CTX_new());
        keys->payload.reset(EVP_CIPHER_CTX_new());
        const auto kdf = newHKDFContext();
        EVP_KDF_CTX* const context = kdf.get();
        const bool derived =
            aesECB() != nullptr && aesGCM() != nullptr && keys->headerProtection && keys->payload &&
            context != nullptr &&
            hkdf(context, EVP_KDF_HKDF_MODE_EXTRACT_ONLY, connectionID, parameters.salt,
                 initialSecret) &&
            expandLabel(context, initialSecret, "client in", clientSecret) &&
            expandLabel(context, clientSecret, parameters.keyLabel, keys->key) &&
            expandLabel(context, clientSecret, parameters.ivLabel, keys->iv) &&
            expandLabel(context, clientSecret, parameters.headerProtectionLabel,
                        headerProtectionKey) &&
            EVP_EncryptInit_ex2(keys->headerProtection.get(), aesECB(), headerProtectionKey.data(),
                                nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(keys->headerProtection.get(), 0) == 1 &&
            EVP_DecryptInit_ex2(keys->payload.get(), aesGCM(), keys->key.data(), nullptr,
                                nullptr) == 1;
        if (!derived) {
            return nullptr;
        }
        return keys;
    }

    // The header protection mask of the sample that begins at `sample`.
    bool headerMask(const std::uint8_t* sample, std::array<std::uint8_t, 32>& mask) {
        int maskLength = 0;
        return EVP_EncryptUpdate(headerProtection.get(), mask.data(), &maskLength, sample,
                                 static_cast<int>(sampleLength)) == 1 &&
               maskLength >= 5;
    }

    std::array<std::uint8_t, ivLength> nonceFor(std::uint64_t packetNumber) const {
        std::array<std::uint8_t, ivLength> nonce = iv;
        for (std::size_t index = 0; index < 8; ++index) {
            nonce[ivLength - 1 - index] ^= static_cast<std::uint8_t>(packetNumber >> (8 * index));
        }
        return nonce;
    }

    // Removes header protection from `packet`, whose packet number begins at `numberOffset`,
    // and decrypts it into `plaintext`.
    bool open(std::span<const std::uint8_t> packet,
              std::size_t numberOffset,
              std::vector<std::uint8_t>& plaintext) {
        if (packet.size() < numberOffset + 4 + sampleLength) {
            return false;
        }
        std::array<std::uint8_t, 32> mask{};
        if (!headerMask(packet.data() + numberOffset + 4, mask)) {
            return false;
        }
        const std::size_t numberLength = ((packet[0] ^ mask[0]) & 0x03) + 1u;
        const std::size_t headerLength = numberOffset + numberLength;
        // The unprotected header, in a buffer kept from one packet to the next.
        header.assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(headerLength));
        header[0] ^= mask[0] & 0x0f;
        std::uint64_t packetNumber = 0;
        for (std::size_t index = 0; index < numberLength; ++index) {
            header[numberOffset + index] ^= mask[1 + index];
            packetNumber = (packetNumber << 8) | header[numberOffset + index];
        }
        const auto nonce = nonceFor(packetNumber);
        const auto sealed = packet.subspan(headerLength);
        if (sealed.size() < tagLength) {
            return false;
        }
        const auto ciphertext = sealed.first(sealed.size() - tagLength);
        std::array<std::uint8_t, tagLength> tag{};
        std::memcpy(tag.data(), sealed.data() + ciphertext.size(), tagLength);
        plaintext.resize(ciphertext.size() + 16);
        int length = 0;
        int finalLength = 0;
        const bool opened =
            EVP_DecryptInit_ex2(payload.get(), nullptr, nullptr, nonce.data(), nullptr) == 1 &&
            EVP_DecryptUpdate(payload.get(), nullptr, &length, header.data(),
                              static_cast<int>(headerLength)) == 1 &&
            EVP_DecryptUpdate(payload.get(), plaintext.data(), &length, ciphertext.data(),
                              static_cast<int>(ciphertext.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(payload.get(), EVP_CTRL_AEAD_SET_TAG, tagLength, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(payload.get(), plaintext.data() + length, &finalLength) == 1;
        if (!opened) {
            return false;
        }
        plaintext.resize(static_cast<std::size_t>(length + finalLength));
        return true;
    }

    // Encrypts `packet`, whose header ends with a four-byte packet number at `numberOffset` and
    // whose length field counts the tag, in place, tag appended; then protects the header.
    bool seal(std::vector<std::uint8_t>& packet, std::size_t numberOffset, std::uint32_t number) {
        const std::size_t headerLength = numberOffset + 4;
        const auto nonce = nonceFor(number);
        CipherContext context(EVP_CIPHER_CTX_new());
        std::vector<std::uint8_t> ciphertext(packet.size() - headerLength + 16);
        std::array<std::uint8_t, tagLength> tag{};
        int length = 0;
        int finalLength = 0;
        if (!context ||
            EVP_EncryptInit_ex2(context.get(), aesGCM(), key.data(), nonce.data(), nullptr) != 1 ||
            EVP_EncryptUpdate(context.get(), nullptr, &length, packet.data(),
                              static_cast<int>(headerLength)) != 1 ||
            EVP_EncryptUpdate(context.get(), ciphertext.data(), &length,
                              packet.data() + headerLength,
                              static_cast<int>(packet.size() - headerLength)) != 1 ||
            EVP_EncryptFinal_ex(context.get(), ciphertext.data() + length, &finalLength) != 1 ||
            EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, tagLength, tag.data()) != 1) {
            return false;
        }
        ciphertext.resize(static_cast<std::size_t>(length + finalLength));
        packet.resize(headerLength);
        packet.insert(packet.end(), ciphertext.begin(), ciphertext.end());
        packet.insert(packet.end(), tag.begin(), tag.end());
        std::array<std::uint8_t, 32> mask{};
        if (!headerMask(packet.data() + headerLength, mask)) {
            return false;
        }
        packet[0] ^= mask[0] & 0x0f;
        for (std::size_t index = 0; index < 4; ++index) {
            packet[numberOffset + index] ^= mask[1 + index];
        }
        return true;
    }
};

namespace {

// The parts of a long-header packet that the reader needs.
struct LongHeader {
    const VersionParameters* parameters = nullptr;
    bool isInitial = false;
    std::span<const std::uint8_t> destinationConnectionID;
    // Where the packet number begins, and where the packet ends.
    std::size_t numberOffset = 0;
    std::size_t packetLength = 0;
};

enum class HeaderRead { packet, notLongHeader, malformed, unknownVersion };

HeaderRead readLongHeader(std::span<const std::uint8_t> bytes, LongHeader& header) {
    ByteReader reader(bytes);
    const auto first = reader.readU8();
    if (!first || (*first & longHeaderForm) == 0) {
        return HeaderRead::notLongHeader;
    }
    const auto version = readU32(reader);
    if (!version) {
        return HeaderRead::malformed;
    }
    header.parameters = parametersFor(*version);
    if (header.parameters == nullptr) {
        return HeaderRead::unknownVersion;
    }
    const auto destinationLength = reader.readU8();
    if (!destinationLength || *destinationLength > maximumConnectionIDLength) {
        return HeaderRead::malformed;
    }
    const auto destination = reader.readBytes(*destinationLength);
    const auto sourceLength = reader.readU8();
    if (!destination || !sourceLength || *sourceLength > maximumConnectionIDLength ||
        !reader.skip(*sourceLength)) {
        return HeaderRead::malformed;
    }
    header.destinationConnectionID = *destination;
    const std::uint8_t type = (*first >> 4) & 0x03;
    header.isInitial = type == header.parameters->initialType;
    if (header.isInitial) {
        const auto tokenLength = readVarint(reader);
        if (!tokenLength || *tokenLength > reader.remaining() || !reader.skip(*tokenLength)) {
            return HeaderRead::malformed;
        }
    } else if (type == (header.parameters->initialType + 3) % 4) {
        // Retry, which has no length field; a client never sends one.
        return HeaderRead::malformed;
    }
    const auto length = readVarint(reader);
    if (!length || *length > reader.remaining()) {
        return HeaderRead::malformed;
    }
    header.numberOffset = reader.offset();
    header.packetLength = header.numberOffset + static_cast<std::size_t>(*length);
    return HeaderRead::packet;
}

bool skipAckFrame(ByteReader& reader, bool hasECNCounts) {
    const auto largest = readVarint(reader);
    const auto delay = readVarint(reader);
    const auto rangeCount = readVarint(reader);
    const auto firstRange = readVarint(reader);
    if (!largest || !delay || !rangeCount || !firstRange) {
        return false;
    }
    // Each further range takes at least two bytes.
    if (*rangeCount > reader.remaining() / 2) {
        return false;
    }
    for (std::uint64_t index = 0; index < *rangeCount * 2; ++index) {
        if (!readVarint(reader)) {
            return false;
        }
    }
    if (hasECNCounts) {
        for (int index = 0; index < 3; ++index) {
            if (!readVarint(reader)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

QUICInitialReader::QUICInitialReader() = default;
QUICInitialReader::~QUICInitialReader() = default;

const QUICInitialReader::Outcome& QUICInitialReader::addDatagram(
    std::span<const std::uint8_t> datagram) {
    if (current.kind != Kind::needMore) {
        return current;
    }
    ++datagramCount;
    auto rest = datagram;
    for (bool isFirst = true;; isFirst = false) {
        const Step step = readPacket(rest, isFirst && !keys);
        if (current.kind != Kind::needMore) {
            return current;
        }
        if (step == Step::fail) {
            finish(Kind::noName);
            return current;
        }
        if (step == Step::endOfDatagram) {
            break;
        }
    }
    decideIfComplete();
    if (current.kind == Kind::needMore && datagramCount >= maximumDatagrams) {
        finish(Kind::noName);
    }
    return current;
}

QUICInitialReader::Step QUICInitialReader::readPacket(std::span<const std::uint8_t>& rest,
                                                      bool mustBeInitial) {
    LongHeader header;
    switch (readLongHeader(rest, header)) {
        case HeaderRead::packet:
            break;
        case HeaderRead::notLongHeader:
            return mustBeInitial ? Step::fail : Step::endOfDatagram;
        case HeaderRead::malformed:
        case HeaderRead::unknownVersion:
            return Step::fail;
    }
    const auto packet = rest.first(header.packetLength);
    rest = rest.subspan(header.packetLength);
    if (!header.isInitial) {
        return mustBeInitial ? Step::fail : Step::goOn;
    }
    if (!keys) {
        keys = Keys::derive(*header.parameters, header.destinationConnectionID);
        if (!keys) {
            return Step::fail;
        }
    } else if (keys->parameters != header.parameters) {
        return Step::fail;
    }
    if (!keys->open(packet, header.numberOffset, keys->plaintext) || !readFrames(keys->plaintext)) {
        return Step::fail;
    }
    return Step::goOn;
}

bool QUICInitialReader::readFrames(std::span<const std::uint8_t> plaintext) {
    ByteReader reader(plaintext);
    while (reader.remaining() > 0) {
        // Runs of PADDING, which fill most of a client's first Initial, one byte each.
        const std::size_t start = reader.offset();
        std::size_t end = start;
        while (end < plaintext.size() && plaintext[end] == paddingFrame) {
            ++end;
        }
        if (end > start) {
            reader.skip(end - start);
            continue;
        }
        const auto type = readVarint(reader);
        if (!type) {
            return false;
        }
        switch (*type) {
            case paddingFrame:
            case pingFrame:
                break;
            case ackFrame:
            case ackWithECNFrame:
                if (!skipAckFrame(reader, *type == ackWithECNFrame)) {
                    return false;
                }
                break;
            case cryptoFrame: {
                const auto offset = readVarint(reader);
                const auto length = readVarint(reader);
                if (!offset || !length || *length > reader.remaining()) {
                    return false;
                }
                const auto data = reader.readBytes(static_cast<std::size_t>(*length));
                if (!data || !addCrypto(*offset, *data)) {
                    return false;
                }
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

bool QUICInitialReader::addCrypto(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (offset > maximumClientHelloBytes || data.size() > maximumClientHelloBytes - offset) {
        return false;
    }
    const std::size_t end = static_cast<std::size_t>(offset) + data.size();
    if (cryptoStream.size() < end) {
        cryptoStream.resize(end);
        filled.resize(end);
    }
    std::copy(data.begin(), data.end(), cryptoStream.begin() + static_cast<std::ptrdiff_t>(offset));
    std::fill(filled.begin() + static_cast<std::ptrdiff_t>(offset),
              filled.begin() + static_cast<std::ptrdiff_t>(end), std::uint8_t{1});
    return true;
}

void QUICInitialReader::decideIfComplete() {
    contiguous = static_cast<std::size_t>(
        std::find(filled.begin() + static_cast<std::ptrdiff_t>(contiguous), filled.end(), 0) -
        filled.begin());
    if (contiguous < handshakeHeaderLength) {
        return;
    }
    ByteReader reader(cryptoStream);
    reader.skip(1);
    const std::size_t messageLength = handshakeHeaderLength + *reader.readU24BigEndian();
    if (messageLength > maximumClientHelloBytes) {
        finish(Kind::noName);
        return;
    }
    if (contiguous < messageLength) {
        return;
    }
    const auto outcome = filter::parseClientHelloMessage(
        std::span<const std::uint8_t>(cryptoStream).first(messageLength));
    if (outcome.kind == filter::SniffedHost::Kind::host && outcome.host) {
        finish(Kind::name, *outcome.host);
    } else {
        finish(Kind::noName);
    }
}

void QUICInitialReader::finish(Kind kind, std::string name) {
    current = {kind, std::move(name)};
    keys.reset();
    cryptoStream = {};
    filled = {};
    contiguous = 0;
}

std::optional<std::vector<std::uint8_t>> QUICInitialReader::decryptInitialPacket(
    std::span<const std::uint8_t> packet) {
    LongHeader header;
    if (readLongHeader(packet, header) != HeaderRead::packet || !header.isInitial) {
        return std::nullopt;
    }
    auto keys = Keys::derive(*header.parameters, header.destinationConnectionID);
    std::vector<std::uint8_t> plaintext;
    if (!keys || !keys->open(packet.first(header.packetLength), header.numberOffset, plaintext)) {
        return std::nullopt;
    }
    return plaintext;
}

std::vector<std::uint8_t> QUICInitialReader::sealInitialPacket(
    std::uint32_t version,
    std::span<const std::uint8_t> destinationConnectionID,
    std::uint32_t packetNumber,
    std::span<const std::uint8_t> frames) {
    const auto* parameters = parametersFor(version);
    if (parameters == nullptr || destinationConnectionID.size() > maximumConnectionIDLength ||
        frames.size() > 0x3fff - 4 - tagLength) {
        return {};
    }
    auto keys = Keys::derive(*parameters, destinationConnectionID);
    if (!keys) {
        return {};
    }
    std::vector<std::uint8_t> packet;
    packet.push_back(static_cast<std::uint8_t>(0xc3 | (parameters->initialType << 4)));
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<std::uint8_t>(version >> shift));
    }
    packet.push_back(static_cast<std::uint8_t>(destinationConnectionID.size()));
    packet.insert(packet.end(), destinationConnectionID.begin(), destinationConnectionID.end());
    packet.push_back(0);  // no source connection ID
    packet.push_back(0);  // no token
    const std::size_t length = 4 + frames.size() + tagLength;
    packet.push_back(static_cast<std::uint8_t>(0x40 | (length >> 8)));
    packet.push_back(static_cast<std::uint8_t>(length));
    const std::size_t numberOffset = packet.size();
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<std::uint8_t>(packetNumber >> shift));
    }
    packet.insert(packet.end(), frames.begin(), frames.end());
    if (!keys->seal(packet, numberOffset, packetNumber)) {
        return {};
    }
    return packet;
}

}  // namespace platform::netfilter

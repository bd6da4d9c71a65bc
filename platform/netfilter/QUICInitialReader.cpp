#include "platform/netfilter/QUICInitialReader.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

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

struct MACContextDeleter {
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using MACContext = std::unique_ptr<EVP_MAC_CTX, MACContextDeleter>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// The algorithms, looked up once for the process. Fetched algorithms are immutable and may be
// shared by every thread; they are never freed.
struct Algorithms {
    EVP_MAC* hmac = nullptr;
    EVP_CIPHER* aesECB = nullptr;
    EVP_CIPHER* aesGCM = nullptr;

    bool isComplete() const { return hmac != nullptr && aesECB != nullptr && aesGCM != nullptr; }
};

const Algorithms& algorithms() {
    static const Algorithms fetched{
        EVP_MAC_fetch(nullptr, "HMAC", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
    };
    return fetched;
}

using Key = std::array<std::uint8_t, keyLength>;
using Secret = std::array<std::uint8_t, secretLength>;

// The OpenSSL contexts and buffers that readers borrow for the length of one call. Contexts are
// not thread-safe, so each thread has its own workspace; readers that take turns on one thread
// share it, which is why nothing a flow needs later is left in it. Creating and keying contexts
// is what costs most, so they are created once per thread and keyed again only when the key
// changes (a flow's packets usually follow one another).
class Workspace {
  public:
    // This thread's workspace, or nothing when libcrypto lacks an algorithm.
    static Workspace* current() {
        thread_local const std::unique_ptr<Workspace> workspace = create();
        return workspace.get();
    }

    // HKDF-Extract with the version's salt: the initial secret of `connectionID`.
    bool extract(const VersionParameters& parameters,
                 std::span<const std::uint8_t> connectionID,
                 Secret& secret) {
        EVP_MAC_CTX* const context = saltedHMAC[&parameters == &version2 ? 1 : 0].get();
        return EVP_MAC_init(context, nullptr, 0, nullptr) == 1 &&
               (connectionID.empty() ||
                EVP_MAC_update(context, connectionID.data(), connectionID.size()) == 1) &&
               finishMAC(context, secret);
    }

    // HKDF-Expand-Label of TLS 1.3 (RFC 8446 section 7.1) with an empty context, for outputs of
    // one hash block at most: a single HMAC. `secret` null reuses the secret of the call before.
    bool expandLabel(const Secret* secret, std::string_view label, std::span<std::uint8_t> output) {
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
        info[length++] = 0;  // no context
        info[length++] = 1;  // the first block
        Secret block{};
        if (EVP_MAC_init(hmac.get(), secret != nullptr ? secret->data() : nullptr,
                         secret != nullptr ? secret->size() : 0, nullptr) != 1 ||
            EVP_MAC_update(hmac.get(), info.data(), length) != 1 || !finishMAC(hmac.get(), block)) {
            return false;
        }
        std::memcpy(output.data(), block.data(), output.size());
        return true;
    }

    // The header protection mask of the 16-byte sample that begins at `sample`.
    bool headerMask(const Key& key,
                    const std::uint8_t* sample,
                    std::array<std::uint8_t, 32>& mask) {
        if (!headerProtectionKey || *headerProtectionKey != key) {
            headerProtectionKey.reset();
            if (EVP_EncryptInit_ex2(headerProtection.get(), nullptr, key.data(), nullptr,
                                    nullptr) != 1) {
                return false;
            }
            headerProtectionKey = key;
        }
        int maskLength = 0;
        return EVP_EncryptUpdate(headerProtection.get(), mask.data(), &maskLength, sample,
                                 static_cast<int>(sampleLength)) == 1 &&
               maskLength >= 5;
    }

    // Sets the key (when it changed) and the nonce of the decryption context for one packet.
    EVP_CIPHER_CTX* openingContext(const Key& key, const std::uint8_t* nonce) {
        const bool isKeyed = openingKey && *openingKey == key;
        openingKey.reset();
        if (EVP_DecryptInit_ex2(opening.get(), nullptr, isKeyed ? nullptr : key.data(), nonce,
                                nullptr) != 1) {
            return nullptr;
        }
        openingKey = key;
        return opening.get();
    }

    EVP_CIPHER_CTX* sealingContext(const Key& key, const std::uint8_t* nonce) {
        return EVP_EncryptInit_ex2(sealing.get(), nullptr, key.data(), nonce, nullptr) == 1
                   ? sealing.get()
                   : nullptr;
    }

    // The unprotected header and the plaintext of the packet being opened. They keep their
    // capacity from one packet to the next.
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> plaintext;

  private:
    static std::unique_ptr<Workspace> create() {
        const Algorithms& fetched = algorithms();
        if (!fetched.isComplete()) {
            return nullptr;
        }
        auto workspace = std::make_unique<Workspace>();
        char digest[] = "SHA256";
        const OSSL_PARAM parameters[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
            OSSL_PARAM_construct_end(),
        };
        workspace->hmac.reset(EVP_MAC_CTX_new(fetched.hmac));
        if (!workspace->hmac || EVP_MAC_CTX_set_params(workspace->hmac.get(), parameters) != 1) {
            return nullptr;
        }
        // Each version's salt is the same for every connection: those contexts are keyed once.
        const VersionParameters* const versions[] = {&version1, &version2};
        for (std::size_t index = 0; index < workspace->saltedHMAC.size(); ++index) {
            auto& context = workspace->saltedHMAC[index];
            context.reset(EVP_MAC_CTX_new(fetched.hmac));
            if (!context || EVP_MAC_init(context.get(), versions[index]->salt.data(),
                                         versions[index]->salt.size(), parameters) != 1) {
                return nullptr;
            }
        }
        workspace->headerProtection.reset(EVP_CIPHER_CTX_new());
        workspace->opening.reset(EVP_CIPHER_CTX_new());
        workspace->sealing.reset(EVP_CIPHER_CTX_new());
        if (!workspace->headerProtection || !workspace->opening || !workspace->sealing ||
            EVP_EncryptInit_ex2(workspace->headerProtection.get(), fetched.aesECB, nullptr, nullptr,
                                nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(workspace->headerProtection.get(), 0) != 1 ||
            EVP_DecryptInit_ex2(workspace->opening.get(), fetched.aesGCM, nullptr, nullptr,
                                nullptr) != 1 ||
            EVP_EncryptInit_ex2(workspace->sealing.get(), fetched.aesGCM, nullptr, nullptr,
                                nullptr) != 1) {
            return nullptr;
        }
        return workspace;
    }

    static bool finishMAC(EVP_MAC_CTX* context, Secret& output) {
        std::size_t length = 0;
        return EVP_MAC_final(context, output.data(), &length, output.size()) == 1 &&
               length == output.size();
    }

    // HMAC-SHA-256, keyed with version 1's and version 2's salt.
    std::array<MACContext, 2> saltedHMAC;
    // HMAC-SHA-256, keyed for each use.
    MACContext hmac;
    // AES-128-ECB without padding, for header protection masks.
    CipherContext headerProtection;
    // AES-128-GCM, one for opening packets and one for sealing them.
    CipherContext opening;
    CipherContext sealing;
    // The keys those contexts hold, when known.
    std::optional<Key> headerProtectionKey;
    std::optional<Key> openingKey;
};

}  // namespace

// The client's Initial keys of one connection.
struct QUICInitialReader::Keys {
    const VersionParameters* parameters = nullptr;
    Key key{};
    std::array<std::uint8_t, ivLength> iv{};
    Key headerProtectionKey{};

    static std::unique_ptr<Keys> derive(Workspace& workspace,
                                        const VersionParameters& parameters,
                                        std::span<const std::uint8_t> connectionID) {
        Secret initialSecret{};
        Secret clientSecret{};
        auto keys = std::make_unique<Keys>();
        keys->parameters = &parameters;
        const bool derived = workspace.extract(parameters, connectionID, initialSecret) &&
                             workspace.expandLabel(&initialSecret, "client in", clientSecret) &&
                             workspace.expandLabel(&clientSecret, parameters.keyLabel, keys->key) &&
                             workspace.expandLabel(nullptr, parameters.ivLabel, keys->iv) &&
                             workspace.expandLabel(nullptr, parameters.headerProtectionLabel,
                                                   keys->headerProtectionKey);
        if (!derived) {
            return nullptr;
        }
        return keys;
    }

    std::array<std::uint8_t, ivLength> nonceFor(std::uint64_t packetNumber) const {
        std::array<std::uint8_t, ivLength> nonce = iv;
        for (std::size_t index = 0; index < 8; ++index) {
            nonce[ivLength - 1 - index] ^= static_cast<std::uint8_t>(packetNumber >> (8 * index));
        }
        return nonce;
    }

    // Removes header protection from `packet`, whose packet number begins at `numberOffset`,
    // and decrypts it: the plaintext, held in the workspace until its next use.
    std::optional<std::span<const std::uint8_t>> open(Workspace& workspace,
                                                      std::span<const std::uint8_t> packet,
                                                      std::size_t numberOffset) const {
        if (packet.size() < numberOffset + 4 + sampleLength) {
            return std::nullopt;
        }
        std::array<std::uint8_t, 32> mask{};
        if (!workspace.headerMask(headerProtectionKey, packet.data() + numberOffset + 4, mask)) {
            return std::nullopt;
        }
        const std::size_t numberLength = ((packet[0] ^ mask[0]) & 0x03) + 1u;
        const std::size_t headerLength = numberOffset + numberLength;
        auto& header = workspace.header;
        header.assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(headerLength));
        header[0] ^= mask[0] & 0x0f;
        std::uint64_t packetNumber = 0;
        for (std::size_t index = 0; index < numberLength; ++index) {
            header[numberOffset + index] ^= mask[1 + index];
            packetNumber = (packetNumber << 8) | header[numberOffset + index];
        }
        const auto sealed = packet.subspan(headerLength);
        if (sealed.size() < tagLength) {
            return std::nullopt;
        }
        const auto ciphertext = sealed.first(sealed.size() - tagLength);
        std::array<std::uint8_t, tagLength> tag{};
        std::memcpy(tag.data(), sealed.data() + ciphertext.size(), tagLength);
        // Room for a whole block beyond the ciphertext; grown, never shrunk, so not zeroed again.
        auto& plaintext = workspace.plaintext;
        if (plaintext.size() < ciphertext.size() + 16) {
            plaintext.resize(ciphertext.size() + 16);
        }
        const auto nonce = nonceFor(packetNumber);
        EVP_CIPHER_CTX* const context = workspace.openingContext(key, nonce.data());
        int length = 0;
        int finalLength = 0;
        const bool opened =
            context != nullptr &&
            EVP_DecryptUpdate(context, nullptr, &length, header.data(),
                              static_cast<int>(headerLength)) == 1 &&
            EVP_DecryptUpdate(context, plaintext.data(), &length, ciphertext.data(),
                              static_cast<int>(ciphertext.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, tagLength, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(context, plaintext.data() + length, &finalLength) == 1;
        if (!opened) {
            return std::nullopt;
        }
        return std::span<const std::uint8_t>(plaintext).first(
            static_cast<std::size_t>(length + finalLength));
    }

    // Encrypts `packet`, whose header ends with a four-byte packet number at `numberOffset` and
    // whose length field counts the tag, in place, tag appended; then protects the header.
    bool seal(Workspace& workspace,
              std::vector<std::uint8_t>& packet,
              std::size_t numberOffset,
              std::uint32_t number) const {
        const std::size_t headerLength = numberOffset + 4;
        const std::size_t payloadLength = packet.size() - headerLength;
        const auto nonce = nonceFor(number);
        EVP_CIPHER_CTX* const context = workspace.sealingContext(key, nonce.data());
        packet.resize(packet.size() + tagLength);
        std::uint8_t* const payload = packet.data() + headerLength;
        int length = 0;
        int finalLength = 0;
        // GCM output never exceeds its input, so the payload is encrypted where it lies.
        if (context == nullptr ||
            EVP_EncryptUpdate(context, nullptr, &length, packet.data(),
                              static_cast<int>(headerLength)) != 1 ||
            EVP_EncryptUpdate(context, payload, &length, payload,
                              static_cast<int>(payloadLength)) != 1 ||
            EVP_EncryptFinal_ex(context, payload + length, &finalLength) != 1 ||
            static_cast<std::size_t>(length + finalLength) != payloadLength ||
            EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, tagLength,
                                payload + payloadLength) != 1) {
            return false;
        }
        std::array<std::uint8_t, 32> mask{};
        if (!workspace.headerMask(headerProtectionKey, packet.data() + headerLength, mask)) {
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
    Workspace* const workspace = Workspace::current();
    if (workspace == nullptr) {
        return Step::fail;
    }
    if (!keys) {
        keys = Keys::derive(*workspace, *header.parameters, header.destinationConnectionID);
        if (!keys) {
            return Step::fail;
        }
    } else if (keys->parameters != header.parameters) {
        return Step::fail;
    }
    const auto plaintext = keys->open(*workspace, packet, header.numberOffset);
    if (!plaintext || !readFrames(*plaintext)) {
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
    if (data.empty()) {
        return true;
    }
    if (!cryptoStream) {
        // Only the bytes that arrived are ever read: no need to clear the buffer.
        cryptoStream = std::make_unique_for_overwrite<std::uint8_t[]>(maximumClientHelloBytes);
    }
    std::memcpy(cryptoStream.get() + offset, data.data(), data.size());
    // Merge [begin, end) with the ranges it overlaps or touches.
    Range merged{static_cast<std::size_t>(offset), static_cast<std::size_t>(offset) + data.size()};
    const auto first =
        std::lower_bound(received.begin(), received.end(), merged.begin,
                         [](const Range& range, std::size_t begin) { return range.end < begin; });
    auto last = first;
    while (last != received.end() && last->begin <= merged.end) {
        merged.begin = std::min(merged.begin, last->begin);
        merged.end = std::max(merged.end, last->end);
        ++last;
    }
    if (first == last) {
        received.insert(first, merged);
    } else {
        *first = merged;
        received.erase(first + 1, last);
    }
    return true;
}

void QUICInitialReader::decideIfComplete() {
    const std::size_t contiguous =
        !received.empty() && received.front().begin == 0 ? received.front().end : 0;
    if (contiguous < handshakeHeaderLength) {
        return;
    }
    const std::span<const std::uint8_t> stream(cryptoStream.get(), contiguous);
    ByteReader reader(stream);
    reader.skip(1);
    const std::size_t messageLength = handshakeHeaderLength + *reader.readU24BigEndian();
    if (messageLength > maximumClientHelloBytes) {
        finish(Kind::noName);
        return;
    }
    if (contiguous < messageLength) {
        return;
    }
    const auto outcome = filter::parseClientHelloMessage(stream.first(messageLength));
    if (outcome.kind == filter::SniffedHost::Kind::host && outcome.host) {
        finish(Kind::name, *outcome.host);
    } else {
        finish(Kind::noName);
    }
}

void QUICInitialReader::finish(Kind kind, std::string name) {
    current = {kind, std::move(name)};
    keys.reset();
    cryptoStream.reset();
    received = {};
}

std::optional<std::vector<std::uint8_t>> QUICInitialReader::decryptInitialPacket(
    std::span<const std::uint8_t> packet) {
    LongHeader header;
    if (readLongHeader(packet, header) != HeaderRead::packet || !header.isInitial) {
        return std::nullopt;
    }
    Workspace* const workspace = Workspace::current();
    if (workspace == nullptr) {
        return std::nullopt;
    }
    const auto keys = Keys::derive(*workspace, *header.parameters, header.destinationConnectionID);
    if (!keys) {
        return std::nullopt;
    }
    const auto plaintext =
        keys->open(*workspace, packet.first(header.packetLength), header.numberOffset);
    if (!plaintext) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(plaintext->begin(), plaintext->end());
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
    Workspace* const workspace = Workspace::current();
    if (workspace == nullptr) {
        return {};
    }
    // Callers seal many packets of one connection in a row: its keys are kept for the next call.
    thread_local std::vector<std::uint8_t> lastConnectionID;
    thread_local std::unique_ptr<Keys> lastKeys;
    if (!lastKeys || lastKeys->parameters != parameters ||
        !std::ranges::equal(lastConnectionID, destinationConnectionID)) {
        lastKeys = Keys::derive(*workspace, *parameters, destinationConnectionID);
        lastConnectionID.assign(destinationConnectionID.begin(), destinationConnectionID.end());
    }
    const Keys* const keys = lastKeys.get();
    if (keys == nullptr) {
        return {};
    }
    std::vector<std::uint8_t> packet;
    packet.reserve(1 + 4 + 1 + destinationConnectionID.size() + 1 + 1 + 2 + 4 + frames.size() +
                   tagLength);
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
    if (!keys->seal(*workspace, packet, numberOffset, packetNumber)) {
        return {};
    }
    return packet;
}

}  // namespace platform::netfilter

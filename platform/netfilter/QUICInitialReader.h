#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::netfilter {

// Learns the server name a QUIC client gives in the ClientHello of its Initial packets, the way
// any on-path observer can: Initial keys come from the Destination Connection ID alone (RFC 9001
// section 5.2, RFC 9369 section 3.3). No I/O. A reader holds its flow's state only; the OpenSSL
// contexts it borrows during a call belong to the calling thread, so readers may live on several
// threads (each reader used by one thread at a time).
//
// Feed the flow's client-to-server datagrams (UDP payloads) in arrival order. Understood are QUIC
// version 1 and version 2 long-header packets, several coalesced in one datagram; the keys come
// from the Destination Connection ID of the first Initial seen. Header protection is removed and
// the payload decrypted (AES-128-GCM, OpenSSL libcrypto). CRYPTO frames are reassembled by offset,
// across packets and datagrams and in any order; PADDING, PING and ACK frames are stepped over.
// Other long-header packets (0-RTT, Handshake) are stepped over by their length; a short-header
// packet or trailing bytes end the datagram.
//
// Once the ClientHello is whole it goes through filter::parseClientHelloMessage, the reader of TLS
// over TCP, and its server name comes out normalised by the same rule.
//
// The answer is final once it is not `needMore`: `noName` for a first datagram that does not
// begin with an Initial, an unknown version, a failed decryption, any other frame type, a
// malformed packet, a ClientHello larger than `maximumClientHelloBytes` or without a server name,
// and when `maximumDatagrams` datagrams have not completed the ClientHello.
class QUICInitialReader {
  public:
    static constexpr std::size_t maximumClientHelloBytes = 4096;
    static constexpr std::size_t maximumDatagrams = 8;

    enum class Kind { needMore, noName, name };
    struct Outcome {
        Kind kind = Kind::needMore;
        // The normalised server name, for `name` (possibly empty).
        std::string name;

        bool operator==(const Outcome&) const = default;
    };

    QUICInitialReader();
    ~QUICInitialReader();
    QUICInitialReader(const QUICInitialReader&) = delete;
    QUICInitialReader& operator=(const QUICInitialReader&) = delete;

    // Reads the next datagram of the flow; once final, further datagrams are ignored.
    const Outcome& addDatagram(std::span<const std::uint8_t> datagram);
    const Outcome& outcome() const { return current; }

    // One client Initial packet at the start of `packet`, decrypted with the keys its own
    // Destination Connection ID gives: its plaintext payload (frames), or nothing when it is not a
    // version 1 or 2 Initial or does not decrypt. For tests of the published examples.
    static std::optional<std::vector<std::uint8_t>> decryptInitialPacket(
        std::span<const std::uint8_t> packet);
    // A client Initial packet of `version` (1 or 2) carrying `frames`, with a four-byte packet
    // number and no token, protected as a client protects it; empty for another version. For
    // tests and fuzzing seeds.
    static std::vector<std::uint8_t> sealInitialPacket(
        std::uint32_t version,
        std::span<const std::uint8_t> destinationConnectionID,
        std::uint32_t packetNumber,
        std::span<const std::uint8_t> frames);

  private:
    struct Keys;
    enum class Step { goOn, endOfDatagram, fail };

    Step readPacket(std::span<const std::uint8_t>& rest, bool isFirstOfFlow);
    bool readFrames(std::span<const std::uint8_t> plaintext);
    bool addCrypto(std::uint64_t offset, std::span<const std::uint8_t> data);
    void decideIfComplete();
    void finish(Kind kind, std::string name = {});

    // Bytes [begin, end) of the CRYPTO stream.
    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    Outcome current;
    std::size_t datagramCount = 0;
    std::unique_ptr<Keys> keys;
    // The CRYPTO stream so far, `maximumClientHelloBytes` long once a CRYPTO frame came; only the
    // bytes of `received` are meaningful.
    std::unique_ptr<std::uint8_t[]> cryptoStream;
    // The ranges that arrived, sorted, neither overlapping nor touching.
    std::vector<Range> received;
};

}  // namespace platform::netfilter

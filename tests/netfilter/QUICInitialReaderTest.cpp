#include "platform/netfilter/QUICInitialReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "fakes/ClientHelloBuilder.h"
#include "support/TestData.h"

namespace platform::netfilter {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = QUICInitialReader::Kind;
using Outcome = QUICInitialReader::Outcome;
using support::datagramsOf;
using support::testData;

const Outcome needMore{Kind::needMore, ""};
const Outcome noName{Kind::noName, ""};

Outcome read(const std::vector<Bytes>& datagrams) {
    QUICInitialReader reader;
    for (const auto& datagram : datagrams) {
        reader.addDatagram(datagram);
    }
    return reader.outcome();
}

// The ClientHello handshake message, without its record header.
Bytes clientHello(fakes::ClientHelloBuilder builder) {
    const Bytes record = builder.build();
    return Bytes(record.begin() + 5, record.end());
}

// A CRYPTO frame carrying bytes [begin, end) of `stream`.
Bytes cryptoFrame(const Bytes& stream, std::size_t begin = 0, std::size_t end = SIZE_MAX) {
    Bytes frame;
    end = std::min(end, stream.size());
    const std::size_t length = end - begin;
    for (const std::size_t byte : {std::size_t{0x06}, std::size_t{0x80}, std::size_t{0}, begin >> 8,
                                   begin & 0xff, 0x40 | (length >> 8), length & 0xff}) {
        frame.push_back(static_cast<std::uint8_t>(byte));
    }
    frame.insert(frame.end(), stream.begin() + static_cast<std::ptrdiff_t>(begin),
                 stream.begin() + static_cast<std::ptrdiff_t>(end));
    return frame;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes seal(const Bytes& frames, std::uint32_t number = 0, std::uint32_t version = 1) {
    const Bytes connectionID = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    return QUICInitialReader::sealInitialPacket(version, connectionID, number, frames);
}

TEST(QUICInitialReaderTest, PublishedClientInitialsDecryptToTheirPlaintext) {
    const Bytes plaintext = testData("quic/rfc-client-initial-plaintext.bin");
    for (const char* name :
         {"quic/rfc9001-client-initial.bin", "quic/rfc9369-client-initial.bin"}) {
        SCOPED_TRACE(name);
        Bytes packet = testData(name);
        EXPECT_EQ(QUICInitialReader::decryptInitialPacket(packet), plaintext);
        EXPECT_EQ(read({packet}), (Outcome{Kind::name, "example.com"}));
        packet[600] ^= 0x01;
        EXPECT_EQ(QUICInitialReader::decryptInitialPacket(packet), std::nullopt);
    }
}

TEST(QUICInitialReaderTest, ChromiumCapturesYieldTheirNamesInEitherOrder) {
    for (const char* name : {"captures/quic-chromium-v4.bin", "captures/quic-chromium-v6.bin"}) {
        SCOPED_TRACE(name);
        auto datagrams = datagramsOf(testData(name));
        ASSERT_GE(datagrams.size(), 2u);
        EXPECT_EQ(read({datagrams[0]}), needMore);
        EXPECT_EQ(read(datagrams), (Outcome{Kind::name, "blocked.example"}));
        std::swap(datagrams[0], datagrams[1]);
        EXPECT_EQ(read(datagrams), (Outcome{Kind::name, "blocked.example"}));
    }
}

TEST(QUICInitialReaderTest, CryptoFramesAreReassembledAcrossPacketsAndDatagrams) {
    const Bytes hello = clientHello(fakes::ClientHelloBuilder().withServerName("split.example"));
    const std::size_t cut = hello.size() / 2;
    const Bytes head = cryptoFrame(hello, 0, cut);
    const Bytes tail = cryptoFrame(hello, cut);
    const Bytes start = seal(cryptoFrame(hello, 0, 10));
    const Bytes ping{0x01}, ack{0x02, 0, 0, 0, 0}, ackWithECN{0x03, 5, 0, 1, 0, 1, 0, 1, 2, 3};
    const Outcome named{Kind::name, "split.example"};

    struct Case {
        const char* name;
        std::vector<Bytes> datagrams;
        Outcome expected;
    } cases[] = {
        {"two packets coalesced in one datagram", {joined({seal(tail, 1), seal(head)})}, named},
        {"frames out of order in one packet, with PING, ACK and PADDING",
         {seal(joined({ping, tail, ack, ackWithECN, head, Bytes(40, 0x00)}))},
         named},
        {"zeros after the packet", {joined({seal(cryptoFrame(hello)), Bytes(30, 0)})}, named},
        {"overlapping pieces, the gap filled last",
         {seal(joined({cryptoFrame(hello, cut + 5), cryptoFrame(hello, 0, 20)})),
          seal(cryptoFrame(hello, 10, cut + 9), 1)},
         named},
        {"a gap in the middle", {seal(joined({cryptoFrame(hello, 0, cut - 1), tail}))}, needMore},
        {"seven datagrams without the whole ClientHello", std::vector<Bytes>(7, start), needMore},
        {"the ClientHello after eight such datagrams",
         {start, start, start, start, start, start, start, start, seal(joined({head, tail}))},
         noName},
        {"a STREAM frame", {seal(joined({head, Bytes{0x08, 0x00}}))}, noName},
        {"another version later", {seal(head), seal(tail, 1, 0x6b3343cf)}, noName},
        {"a datagram that is not QUIC", {Bytes{0x17, 0x03, 0x03, 0x00, 0x10}}, noName},
        {"a ClientHello without a server name", {seal(cryptoFrame(clientHello({})))}, noName},
        {"data beyond the ClientHello bound", {seal(cryptoFrame(Bytes(4100, 1), 4090))}, noName},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(read(testCase.datagrams), testCase.expected);
    }
}

// The live filter reads many flows on one thread, taking turns, and several threads may read.
TEST(QUICInitialReaderTest, ReadersOfSeveralConnectionsTakeTurnsAndRunOnSeveralThreads) {
    const auto chromium4 = datagramsOf(testData("captures/quic-chromium-v4.bin"));
    const auto chromium6 = datagramsOf(testData("captures/quic-chromium-v6.bin"));
    ASSERT_GE(std::min(chromium4.size(), chromium6.size()), 2u);
    Bytes damaged = chromium6[0];
    damaged[700] ^= 0x01;
    const auto add = [](QUICInitialReader& reader, const Bytes& datagram) {
        return reader.addDatagram(datagram);
    };
    const auto readInTurns = [&] {
        QUICInitialReader first, second, third;
        return std::vector<Outcome>{add(first, chromium4[0]), add(second, chromium6[0]),
                                    add(third, damaged), add(first, chromium4[1]),
                                    add(second, chromium6[1])};
    };
    const Outcome named{Kind::name, "blocked.example"};
    const std::vector<Outcome> expected = {needMore, needMore, noName, named, named};
    EXPECT_EQ(readInTurns(), expected);

    std::atomic<int> mismatches = 0;
    const auto readRepeatedly = [&] {
        for (int round = 0; round < 50; ++round) {
            mismatches += readInTurns() != expected;
        }
    };
    std::thread other(readRepeatedly);
    readRepeatedly();
    other.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace platform::netfilter

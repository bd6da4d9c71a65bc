#include "platform/netfilter/QUICInitialReader.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fakes/ClientHelloBuilder.h"
#include "support/TestData.h"

namespace platform::netfilter {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = QUICInitialReader::Kind;
using Outcome = QUICInitialReader::Outcome;

constexpr std::uint32_t version1 = 0x00000001;
constexpr std::uint32_t version2 = 0x6b3343cf;
const Bytes connectionID = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};

using support::datagramsOf;
using support::testData;

Outcome read(const std::vector<Bytes>& datagrams) {
    QUICInitialReader reader;
    for (const auto& datagram : datagrams) {
        reader.addDatagram(datagram);
    }
    return reader.outcome();
}

// The ClientHello handshake message, without its record header.
Bytes clientHello(std::string_view host) {
    Bytes record = fakes::ClientHelloBuilder().withServerName(host).build();
    return Bytes(record.begin() + 5, record.end());
}

Bytes cryptoFrame(std::size_t offset, std::span<const std::uint8_t> data) {
    Bytes frame;
    frame.reserve(7 + data.size());
    for (const std::size_t byte :
         {std::size_t{0x06}, std::size_t{0x80}, std::size_t{0}, offset >> 8, offset & 0xff,
          0x40 | (data.size() >> 8), data.size() & 0xff}) {
        frame.push_back(static_cast<std::uint8_t>(byte));
    }
    for (const std::uint8_t byte : data) {
        frame.push_back(byte);
    }
    return frame;
}

Bytes seal(const Bytes& frames, std::uint32_t number = 0, std::uint32_t version = version1) {
    return QUICInitialReader::sealInitialPacket(version, connectionID, number, frames);
}

Bytes sliced(const Bytes& bytes, std::size_t begin, std::size_t end) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                 bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

Bytes concatenated(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(QUICInitialReaderTest, PublishedClientInitialsDecryptToTheirPlaintext) {
    const Bytes plaintext = testData("quic/rfc-client-initial-plaintext.bin");
    ASSERT_EQ(plaintext.size(), 1162u);
    for (const char* name :
         {"quic/rfc9001-client-initial.bin", "quic/rfc9369-client-initial.bin"}) {
        SCOPED_TRACE(name);
        const Bytes packet = testData(name);
        ASSERT_EQ(packet.size(), 1200u);
        EXPECT_EQ(QUICInitialReader::decryptInitialPacket(packet), plaintext);
        EXPECT_EQ(read({packet}), (Outcome{Kind::name, "example.com"}));

        Bytes damaged = packet;
        damaged[600] ^= 0x01;
        EXPECT_EQ(QUICInitialReader::decryptInitialPacket(damaged), std::nullopt);
        EXPECT_EQ(read({damaged}).kind, Kind::noName);
    }
}

TEST(QUICInitialReaderTest, ChromiumCapturesYieldTheirNamesInEitherOrder) {
    for (const char* name : {"captures/quic-chromium-v4.bin", "captures/quic-chromium-v6.bin"}) {
        SCOPED_TRACE(name);
        auto datagrams = datagramsOf(testData(name));
        ASSERT_GE(datagrams.size(), 2u);
        EXPECT_EQ(read({datagrams[0]}).kind, Kind::needMore);
        EXPECT_EQ(read(datagrams), (Outcome{Kind::name, "blocked.example"}));
        std::swap(datagrams[0], datagrams[1]);
        EXPECT_EQ(read(datagrams), (Outcome{Kind::name, "blocked.example"}));
    }
}

TEST(QUICInitialReaderTest, CryptoFramesAreReassembledAcrossPacketsAndDatagrams) {
    const Bytes hello = clientHello("split.example");
    const std::size_t cut = hello.size() / 2;
    const Bytes head(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(cut));
    const Bytes tail(hello.begin() + static_cast<std::ptrdiff_t>(cut), hello.end());
    const Bytes ping{0x01};
    const Bytes padding(40, 0x00);
    const Bytes ack{0x02, 0x00, 0x00, 0x00, 0x00};
    const Bytes ackWithECN{0x03, 0x05, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x02, 0x03};

    struct Case {
        const char* name;
        std::vector<Bytes> datagrams;
        Outcome expected;
    } cases[] = {
        {"two packets coalesced in one datagram",
         {concatenated({seal(cryptoFrame(cut, tail), 1), seal(cryptoFrame(0, head))})},
         {Kind::name, "split.example"}},
        {"frames out of order in one packet, with PING, ACK and PADDING",
         {seal(concatenated(
             {ping, cryptoFrame(cut, tail), ack, ackWithECN, cryptoFrame(0, head), padding}))},
         {Kind::name, "split.example"}},
        {"a retransmitted half",
         {seal(cryptoFrame(0, head)), seal(cryptoFrame(0, head), 1),
          seal(cryptoFrame(cut, tail), 2)},
         {Kind::name, "split.example"}},
        {"trailing zero bytes after the packet",
         {concatenated({seal(cryptoFrame(0, hello)), Bytes(30, 0)})},
         {Kind::name, "split.example"}},
        {"overlapping pieces, the gap filled last",
         {seal(concatenated({cryptoFrame(cut + 5, sliced(hello, cut + 5, hello.size())),
                             cryptoFrame(0, sliced(hello, 0, 20))})),
          seal(cryptoFrame(10, sliced(hello, 10, cut + 9)), 1)},
         {Kind::name, "split.example"}},
        {"a gap in the middle",
         {seal(concatenated({cryptoFrame(0, sliced(hello, 0, cut - 1)), cryptoFrame(cut, tail)}))},
         {Kind::needMore, ""}},
        {"a STREAM frame",
         {seal(concatenated({cryptoFrame(0, head), Bytes{0x08, 0x00}}))},
         {Kind::noName, ""}},
        {"another version later",
         {seal(cryptoFrame(0, head)), seal(cryptoFrame(cut, tail), 1, version2)},
         {Kind::noName, ""}},
        {"a datagram that is not QUIC", {Bytes{0x17, 0x03, 0x03, 0x00, 0x10}}, {Kind::noName, ""}},
        {"an empty datagram", {Bytes{}}, {Kind::noName, ""}},
        {"an unknown version",
         {Bytes{0xc0, 0xff, 0x00, 0x00, 0x1d, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x00, 0x41,
                0x00}},
         {Kind::noName, ""}},
        {"a ClientHello without a server name",
         {seal(cryptoFrame(0,
                           [] {
                               Bytes record = fakes::ClientHelloBuilder().build();
                               return Bytes(record.begin() + 5, record.end());
                           }()))},
         {Kind::noName, ""}},
        {"a handshake message that is not a ClientHello",
         {seal(cryptoFrame(0, Bytes{0x02, 0x00, 0x00, 0x02, 0x03, 0x03}))},
         {Kind::noName, ""}},
        {"data beyond the ClientHello bound",
         {seal(cryptoFrame(4090, Bytes(10, 0x41)))},
         {Kind::noName, ""}},
        {"a ClientHello declared larger than the bound",
         {seal(cryptoFrame(0, Bytes{0x01, 0x00, 0x10, 0x00}))},
         {Kind::noName, ""}},
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
    ASSERT_GE(chromium4.size(), 2u);
    ASSERT_GE(chromium6.size(), 2u);
    const Outcome chromiumName{Kind::name, "blocked.example"};

    const auto readInTurns = [&] {
        QUICInitialReader first;
        QUICInitialReader second;
        QUICInitialReader damaged;
        Bytes broken = chromium6[0];
        broken[700] ^= 0x01;
        std::vector<Outcome> outcomes;
        outcomes.push_back(first.addDatagram(chromium4[0]));
        outcomes.push_back(second.addDatagram(chromium6[0]));
        outcomes.push_back(damaged.addDatagram(broken));
        outcomes.push_back(first.addDatagram(chromium4[1]));
        outcomes.push_back(second.addDatagram(chromium6[1]));
        return outcomes;
    };
    const std::vector<Outcome> expected = {
        {Kind::needMore, ""}, {Kind::needMore, ""}, {Kind::noName, ""}, chromiumName, chromiumName,
    };
    EXPECT_EQ(readInTurns(), expected);

    std::vector<std::vector<Outcome>> results(2);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                result = readInTurns();
                if (result != expected) {
                    break;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& result : results) {
        EXPECT_EQ(result, expected);
    }
}

TEST(QUICInitialReaderTest, GivesUpAfterEightDatagramsWithoutAClientHello) {
    const Bytes hello = clientHello("late.example");
    QUICInitialReader reader;
    const Bytes first(hello.begin(), hello.begin() + 10);
    for (std::size_t index = 0; index + 1 < QUICInitialReader::maximumDatagrams; ++index) {
        EXPECT_EQ(
            reader.addDatagram(seal(cryptoFrame(0, first), static_cast<std::uint32_t>(index))).kind,
            Kind::needMore);
    }
    EXPECT_EQ(reader.addDatagram(seal(cryptoFrame(0, first), 7)).kind, Kind::noName);
    // The answer is final.
    EXPECT_EQ(reader.addDatagram(seal(cryptoFrame(0, hello), 8)).kind, Kind::noName);
}

}  // namespace
}  // namespace platform::netfilter

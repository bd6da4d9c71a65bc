// Feeds arbitrary datagrams to the QUIC Initial reader. The input is a list of datagrams, each a
// two-byte big-endian length and its bytes (the layout of the Chromium captures). When the first
// byte is 0xff, the rest is such a list of frame sequences instead: each is sealed into a client
// Initial packet first, so that the frame reader and the CRYPTO reassembly are reached without
// the fuzzer having to forge the encryption. Once final, an answer must not change.

#include <cstdlib>

#include "platform/netfilter/QUICInitialReader.h"

using platform::netfilter::QUICInitialReader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const bool sealsFrames = !input.empty() && input[0] == 0xff;
    input = input.subspan(sealsFrames ? 1 : 0);
    const std::uint8_t connectionID[] = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    QUICInitialReader reader;
    std::uint32_t packetNumber = 0;
    while (input.size() >= 2) {
        const std::size_t length =
            std::min<std::size_t>((input[0] << 8) | input[1], input.size() - 2);
        const auto part = input.subspan(2, length);
        input = input.subspan(2 + length);
        const auto sealed = sealsFrames ? QUICInitialReader::sealInitialPacket(1, connectionID,
                                                                               packetNumber++, part)
                                        : std::vector<std::uint8_t>{};
        const bool wasFinal = reader.outcome().kind != QUICInitialReader::Kind::needMore;
        const auto before = wasFinal ? reader.outcome() : QUICInitialReader::Outcome{};
        const auto& after =
            reader.addDatagram(sealsFrames ? std::span<const std::uint8_t>(sealed) : part);
        if ((wasFinal && !(before == after)) ||
            (after.kind == QUICInitialReader::Kind::name &&
             after.name.size() > QUICInitialReader::maximumClientHelloBytes)) {
            std::abort();
        }
    }
    return 0;
}

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/netfilter/QueuedPacket.h"

namespace platform::netfilter {

// The outbound bytes of one flow under inspection, numbered from 0, and the queued packets that
// carry the bytes the provider has not passed yet.
//
// The provider is shown the bytes in order, each at most once: a chunk starts at the pass point
// (the end of the bytes passed so far), holds only bytes that have all arrived, and ends at the
// peek limit (the pass point plus the bytes the provider asked to peek at). A packet is held until
// every byte it carries has been passed; one that carries only bytes passed already, or bytes
// that held packets carry too (a retransmission), is not held again. The packet that ends the data
// (a TCP FIN) is held until the flow's final verdict.
class OutboundStream {
  public:
    using Clock = std::chrono::steady_clock;

    struct HeldSegment {
        QueuedPacket packet;
        std::uint64_t start = 0;
        std::vector<std::uint8_t> bytes;
        bool isEnd = false;
        Clock::time_point heldSince;

        std::uint64_t end() const { return start + bytes.size(); }
    };

    enum class Arrival {
        // Every byte was passed already: the packet may go.
        passed,
        // Held packets carry every byte already: the packet may be discarded.
        duplicate,
        // Held until its bytes are passed.
        held,
    };

    struct Chunk {
        std::uint64_t offset = 0;
        std::vector<std::uint8_t> bytes;
    };

    // The provider wants to peek at the first `peekBytes` bytes.
    explicit OutboundStream(std::size_t peekBytes) : peekEnd(peekBytes) {}

    // A packet carrying `bytes` from `start` on; `isEnd` when the data ends after them.
    Arrival add(const QueuedPacket& packet,
                std::uint64_t start,
                std::span<const std::uint8_t> bytes,
                bool isEnd,
                Clock::time_point now);

    // The bytes to show the provider next, or nothing while no byte it has not seen is available
    // within the peek limit.
    std::optional<Chunk> nextChunk() const;
    // The provider passed `passBytes` from the start of `chunk` and wants to peek at `peekBytes`
    // beyond them; `passBytes` may reach past the chunk. Returns the held packets whose bytes are
    // now all passed, in order; they are no longer held.
    std::vector<QueuedPacket> pass(const Chunk& chunk,
                                   std::size_t passBytes,
                                   std::size_t peekBytes);

    // The end of the data has arrived, every byte before it too, and nothing is left to show.
    bool isFinished() const;

    // Every held packet, in the order of their bytes; none is held afterwards.
    std::vector<HeldSegment> takeHeld();

    std::size_t heldBytes() const { return heldByteCount; }
    std::size_t heldSegmentCount() const { return held.size(); }
    std::optional<Clock::time_point> oldestHeldSince() const;
    // The end of the bytes let through so far: what the receiver expects next.
    std::uint64_t sentEnd() const { return sentOffset; }
    std::uint64_t passPoint() const { return passOffset; }

  private:
    // How far the bytes run on without a gap from `from`, counting held packets only.
    std::uint64_t contiguousEnd(std::uint64_t from) const;
    bool isCovered(std::uint64_t start, std::uint64_t sequenceEnd, std::uint64_t dataEnd) const;

    std::vector<HeldSegment> held;  // sorted by start
    std::size_t heldByteCount = 0;
    std::uint64_t passOffset = 0;
    std::uint64_t deliveredEnd = 0;
    std::uint64_t peekEnd;
    std::uint64_t sentOffset = 0;
    std::optional<std::uint64_t> endOffset;
};

}  // namespace platform::netfilter

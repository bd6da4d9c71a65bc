#include "platform/netfilter/OutboundStream.h"

#include <algorithm>
#include <utility>

namespace platform::netfilter {

OutboundStream::Arrival OutboundStream::add(const QueuedPacket& packet,
                                            std::uint64_t start,
                                            std::span<const std::uint8_t> bytes,
                                            bool isEnd,
                                            Clock::time_point now) {
    const std::uint64_t dataEnd = start + bytes.size();
    if (isEnd && !endOffset) {
        endOffset = dataEnd;
    }
    if (!isEnd && dataEnd <= passOffset) {
        sentOffset = std::max(sentOffset, dataEnd);
        return Arrival::passed;
    }
    // The end of the data takes one place in the numbering, as a FIN takes one sequence number,
    // so that a repeated FIN is a copy and a FIN after data is not.
    const std::uint64_t sequenceEnd = dataEnd + (isEnd ? 1 : 0);
    if (isCovered(start, sequenceEnd, dataEnd)) {
        return Arrival::duplicate;
    }
    HeldSegment segment{packet, start, {bytes.begin(), bytes.end()}, isEnd, now};
    const auto position = std::upper_bound(
        held.begin(), held.end(), start,
        [](std::uint64_t offset, const HeldSegment& other) { return offset < other.start; });
    heldByteCount += segment.bytes.size();
    held.insert(position, std::move(segment));
    return Arrival::held;
}

bool OutboundStream::isCovered(std::uint64_t start,
                               std::uint64_t sequenceEnd,
                               std::uint64_t dataEnd) const {
    std::uint64_t cursor = start;
    if (passOffset > cursor) {
        cursor = std::min(passOffset, dataEnd);
    }
    for (const auto& segment : held) {
        if (cursor >= sequenceEnd) {
            break;
        }
        const std::uint64_t segmentEnd = segment.end() + (segment.isEnd ? 1 : 0);
        if (segment.start <= cursor && segmentEnd > cursor) {
            cursor = segmentEnd;
        }
    }
    return cursor >= sequenceEnd;
}

std::uint64_t OutboundStream::contiguousEnd(std::uint64_t from) const {
    std::uint64_t cursor = from;
    for (const auto& segment : held) {
        if (segment.start > cursor) {
            break;
        }
        cursor = std::max(cursor, segment.end());
    }
    return cursor;
}

std::optional<OutboundStream::Chunk> OutboundStream::nextChunk() const {
    const std::uint64_t to = std::min(contiguousEnd(passOffset), peekEnd);
    if (to <= passOffset || to <= deliveredEnd) {
        return std::nullopt;
    }
    Chunk chunk{passOffset, std::vector<std::uint8_t>(to - passOffset)};
    for (const auto& segment : held) {
        if (segment.start >= to) {
            break;
        }
        const std::uint64_t from = std::max(segment.start, passOffset);
        const std::uint64_t until = std::min(segment.end(), to);
        if (from < until) {
            std::copy(segment.bytes.begin() + static_cast<std::ptrdiff_t>(from - segment.start),
                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(until - segment.start),
                      chunk.bytes.begin() + static_cast<std::ptrdiff_t>(from - passOffset));
        }
    }
    return chunk;
}

std::vector<QueuedPacket> OutboundStream::pass(const Chunk& chunk,
                                               std::size_t passBytes,
                                               std::size_t peekBytes) {
    passOffset = std::max(passOffset, chunk.offset + passBytes);
    deliveredEnd = std::max(deliveredEnd, chunk.offset + chunk.bytes.size());
    peekEnd = passOffset + peekBytes;

    std::vector<QueuedPacket> released;
    std::vector<HeldSegment> kept;
    for (auto& segment : held) {
        if (!segment.isEnd && segment.end() <= passOffset) {
            released.push_back(segment.packet);
            heldByteCount -= segment.bytes.size();
            sentOffset = std::max(sentOffset, segment.end());
        } else {
            kept.push_back(std::move(segment));
        }
    }
    held = std::move(kept);
    return released;
}

bool OutboundStream::isFinished() const {
    return endOffset && contiguousEnd(passOffset) >= *endOffset && !nextChunk();
}

std::vector<OutboundStream::HeldSegment> OutboundStream::takeHeld() {
    heldByteCount = 0;
    return std::exchange(held, {});
}

std::optional<OutboundStream::Clock::time_point> OutboundStream::oldestHeldSince() const {
    std::optional<Clock::time_point> oldest;
    for (const auto& segment : held) {
        if (!oldest || segment.heldSince < *oldest) {
            oldest = segment.heldSince;
        }
    }
    return oldest;
}

}  // namespace platform::netfilter

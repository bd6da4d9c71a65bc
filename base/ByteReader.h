#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace base {

// Reads a byte buffer from its start, one field at a time, and never past its end. A read that
// does not fit in the remaining bytes fails and consumes nothing, so that the caller can tell
// "too short" from a value and decide what that means.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes(bytes) {}

    // The bytes not yet read.
    std::size_t remaining() const { return bytes.size() - position; }
    // The bytes already read or skipped.
    std::size_t offset() const { return position; }

    std::optional<std::uint8_t> readU8() {
        const auto field = readBytes(1);
        if (!field) {
            return std::nullopt;
        }
        return (*field)[0];
    }

    std::optional<std::uint16_t> readU16BigEndian() {
        const auto field = readBytes(2);
        if (!field) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(((*field)[0] << 8) | (*field)[1]);
    }

    std::optional<std::uint32_t> readU24BigEndian() {
        const auto field = readBytes(3);
        if (!field) {
            return std::nullopt;
        }
        return (static_cast<std::uint32_t>((*field)[0]) << 16) |
               (static_cast<std::uint32_t>((*field)[1]) << 8) | (*field)[2];
    }

    // Steps over `count` bytes; false, and nothing skipped, when fewer remain.
    bool skip(std::size_t count) { return readBytes(count).has_value(); }

    // The next `count` bytes, as a view into the buffer; nothing when fewer remain.
    std::optional<std::span<const std::uint8_t>> readBytes(std::size_t count) {
        if (count > remaining()) {
            return std::nullopt;
        }
        const auto field = bytes.subspan(position, count);
        position += count;
        return field;
    }

  private:
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
};

}  // namespace base

#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace platform::netfilter {

// The ones'-complement sum of `bytes` as 16-bit big-endian words, added to `sum`.
inline std::uint32_t addChecksumWords(std::uint32_t sum, std::span<const std::uint8_t> bytes) {
    for (std::size_t index = 0; index + 1 < bytes.size(); index += 2) {
        sum += (std::uint32_t{bytes[index]} << 8) | bytes[index + 1];
    }
    if (bytes.size() % 2 != 0) {
        sum += std::uint32_t{bytes.back()} << 8;
    }
    return sum;
}

// The Internet checksum (RFC 1071) of a sum built with addChecksumWords.
inline std::uint16_t foldedChecksum(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

inline void appendU16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

inline void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    appendU16(bytes, static_cast<std::uint16_t>(value >> 16));
    appendU16(bytes, static_cast<std::uint16_t>(value));
}

inline void storeU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace platform::netfilter

#pragma once

// The files under tests/data/: real captures and published test vectors.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace support {

using Bytes = std::vector<std::uint8_t>;

// The whole of a file under tests/data/, such as "captures/dns-a.bin"; empty when unreadable.
inline Bytes testData(const std::string& name) {
    std::ifstream file(std::string(TOVRIN_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// The datagrams of a capture that holds each as a two-byte big-endian length, then the datagram.
inline std::vector<Bytes> datagramsOf(const Bytes& bytes) {
    std::vector<Bytes> datagrams;
    for (std::size_t offset = 0; offset + 2 <= bytes.size();) {
        const std::size_t length = (std::size_t{bytes[offset]} << 8) | bytes[offset + 1];
        offset += 2;
        if (offset + length > bytes.size()) {
            break;
        }
        datagrams.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                               bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    }
    return datagrams;
}

}  // namespace support

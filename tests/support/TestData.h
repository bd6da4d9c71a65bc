#pragma once

// The files under tests/data/: real captures and published test vectors.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/ByteReader.h"

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
    base::ByteReader reader(bytes);
    while (const auto length = reader.readU16BigEndian()) {
        const auto datagram = reader.readBytes(*length);
        if (!datagram) {
            break;
        }
        datagrams.emplace_back(datagram->begin(), datagram->end());
    }
    return datagrams;
}

}  // namespace support

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace platform::extension {

// Native-messaging frames as browsers exchange them with a host over pipes: a 32-bit length in
// the machine's native byte order, then that many bytes of UTF-8 JSON.
class NativeMessagingFrameReader {
  public:
    // Longer inbound frames are refused, as browsers never send them.
    static constexpr std::uint32_t maximumFrameLength = 64 * 1024 * 1024;

    // Reads from `fileDescriptor`, which stays open and owned by the caller.
    explicit NativeMessagingFrameReader(int fileDescriptor) : fileDescriptor(fileDescriptor) {}

    // The next frame's bytes, without the length; nothing when the input ended before a frame
    // began. Fails when the input ends inside a frame (its length included), when the length
    // exceeds maximumFrameLength (nothing of the frame is allocated or read), or when reading
    // fails. Memory grows with the bytes that actually arrive, not with the declared length.
    base::Expected<std::optional<base::Data>> readFrame();

  private:
    // Reads until `buffer` is full or the input ends; the count read.
    base::Expected<std::size_t> readFully(std::span<std::uint8_t> buffer);

    int fileDescriptor;
};

// Writes `message` as one frame to `fileDescriptor`, retrying short writes; fails with the reason
// when the output cannot take it (the reader went away) or `message` does not fit a frame.
base::Expected<std::monostate> writeNativeMessagingFrame(int fileDescriptor,
                                                         std::span<const std::uint8_t> message);

}  // namespace platform::extension

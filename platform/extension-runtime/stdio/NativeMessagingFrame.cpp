#include "platform/extension-runtime/stdio/NativeMessagingFrame.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

namespace platform::extension {
namespace {

// Frames are read in pieces of at most this size, so that a frame that claims to be long but
// is cut short costs only what arrived.
constexpr std::size_t readChunkLength = 1024 * 1024;

base::Error systemError(std::string_view what) {
    return base::Error{std::string(what) + ": " + std::strerror(errno)};
}

}  // namespace

base::Expected<std::size_t> NativeMessagingFrameReader::readFully(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t count =
            ::read(fileDescriptor, buffer.data() + filled, buffer.size() - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return systemError("cannot read a native message from standard input");
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    return filled;
}

base::Expected<std::optional<base::Data>> NativeMessagingFrameReader::readFrame() {
    std::array<std::uint8_t, sizeof(std::uint32_t)> prefix{};
    const auto prefixLength = readFully(prefix);
    if (!prefixLength) {
        return prefixLength.error();
    }
    if (*prefixLength == 0) {
        return std::optional<base::Data>();
    }
    if (*prefixLength < prefix.size()) {
        return base::Error{"input ended inside the length of a native message frame (" +
                           std::to_string(*prefixLength) + " of 4 bytes)"};
    }
    std::uint32_t length = 0;
    std::memcpy(&length, prefix.data(), sizeof length);
    if (length > maximumFrameLength) {
        return base::Error{"a native message frame of " + std::to_string(length) +
                           " bytes exceeds the limit of " + std::to_string(maximumFrameLength) +
                           " bytes"};
    }
    base::Data frame;
    while (frame.size() < length) {
        const std::size_t start = frame.size();
        const std::size_t wanted = std::min<std::size_t>(length - start, readChunkLength);
        frame.resize(start + wanted);
        const auto count = readFully(std::span(frame).subspan(start, wanted));
        if (!count) {
            return count.error();
        }
        if (*count < wanted) {
            return base::Error{"input ended inside a native message frame (" +
                               std::to_string(start + *count) + " of " + std::to_string(length) +
                               " bytes)"};
        }
    }
    return std::optional<base::Data>(std::move(frame));
}

base::Expected<std::monostate> writeNativeMessagingFrame(int fileDescriptor,
                                                         std::span<const std::uint8_t> message) {
    if (message.size() > std::numeric_limits<std::uint32_t>::max()) {
        return base::Error{"a native message reply of " + std::to_string(message.size()) +
                           " bytes does not fit a frame"};
    }
    const auto length = static_cast<std::uint32_t>(message.size());
    base::Data frame(sizeof length + message.size());
    std::memcpy(frame.data(), &length, sizeof length);
    std::copy(message.begin(), message.end(), frame.begin() + sizeof length);
    std::size_t written = 0;
    while (written < frame.size()) {
        const ssize_t count =
            ::write(fileDescriptor, frame.data() + written, frame.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return systemError("cannot write a native message reply to standard output");
        }
        written += static_cast<std::size_t>(count);
    }
    return std::monostate{};
}

}  // namespace platform::extension

#include "platform/netfilter/WakeDescriptor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::netfilter {

WakeDescriptor::WakeDescriptor() : fileDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fileDescriptor < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot make a wake descriptor");
    }
}

WakeDescriptor::~WakeDescriptor() {
    // Nothing is left to do should close() fail: the descriptor is gone either way.
    (void)::close(fileDescriptor);
}

std::error_code WakeDescriptor::signal() {
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fileDescriptor, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(sizeof(one))) {
        return {};
    }
    // EAGAIN: the counter is full, so the descriptor is readable already.
    if (written < 0 && errno == EAGAIN) {
        return {};
    }
    return std::error_code(written < 0 ? errno : EIO, std::generic_category());
}

std::error_code WakeDescriptor::drain() {
    std::uint64_t count = 0;
    ssize_t read;
    do {
        read = ::read(fileDescriptor, &count, sizeof(count));
    } while (read < 0 && errno == EINTR);
    if (read == static_cast<ssize_t>(sizeof(count))) {
        return {};
    }
    // EAGAIN: nothing was signalled since the last drain.
    if (read < 0 && errno == EAGAIN) {
        return {};
    }
    return std::error_code(read < 0 ? errno : EIO, std::generic_category());
}

}  // namespace platform::netfilter

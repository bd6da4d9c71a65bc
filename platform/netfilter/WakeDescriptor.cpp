#include "platform/netfilter/WakeDescriptor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace platform::netfilter {

WakeDescriptor::WakeDescriptor() : fileDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fileDescriptor < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot make a wake descriptor");
    }
}

WakeDescriptor::~WakeDescriptor() {
    ::close(fileDescriptor);
}

void WakeDescriptor::signal() {
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fileDescriptor, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the counter is full, so the descriptor is readable already. Nothing else can fail
    // on an eventfd that this object owns.
    assert(written == static_cast<ssize_t>(sizeof(one)) || errno == EAGAIN);
}

void WakeDescriptor::drain() {
    std::uint64_t count = 0;
    ssize_t read;
    do {
        read = ::read(fileDescriptor, &count, sizeof(count));
    } while (read < 0 && errno == EINTR);
    // EAGAIN: nothing was signalled since the last drain.
    assert(read == static_cast<ssize_t>(sizeof(count)) || errno == EAGAIN);
}

}  // namespace platform::netfilter

#pragma once

#include <cstddef>
#include <vector>

namespace platform::netfilter {

// Where a queue's reader runs when the kernel spreads packets over `count` queues by the
// processor that handles each packet: the processors whose packets go to queue `index`.
std::vector<unsigned> processorsOfQueue(std::size_t index, std::size_t count);

// Keeps the calling thread on `processors`, so that a packet queued on one of them wakes its
// reader without a cross-processor wake. Nothing happens when `processors` is empty or not this
// process's to use: the thread then runs anywhere, only slower to wake.
void keepCurrentThreadOn(const std::vector<unsigned>& processors);

}  // namespace platform::netfilter

#include "platform/netfilter/ProcessorAffinity.h"

#include <pthread.h>
#include <sched.h>

namespace platform::netfilter {

std::vector<unsigned> processorsOfQueue(std::size_t index, std::size_t count) {
    std::vector<unsigned> processors;
    for (unsigned processor = 0; processor < CPU_SETSIZE; ++processor) {
        if (processor % count == index) {
            processors.push_back(processor);
        }
    }
    return processors;
}

void keepCurrentThreadOn(const std::vector<unsigned>& processors) {
    if (processors.empty()) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const unsigned processor : processors) {
        if (processor < CPU_SETSIZE) {
            CPU_SET(processor, &set);
        }
    }
    (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

}  // namespace platform::netfilter

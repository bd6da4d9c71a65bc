// write-behind-peer ROOT SUITE COUNT SYNCHRONIZE INTERVAL_MICROSECONDS
//
// Writes COUNT integers through a WriteBehindUserDefaults on suite SUITE under ROOT: the i-th
// write stores i under "k<i>" and under "last", then calls synchronize() when SYNCHRONIZE is 1,
// then prints "<i> <steady-clock nanoseconds when the write began>" and sleeps for the interval.
// Then prints "done" and waits for a signal. SIGTERM and SIGINT flush the suite first.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/defaults/WriteBehindUserDefaults.h"

int main(int argumentCount, char** arguments) {
    if (argumentCount != 6) {
        std::fprintf(stderr, "usage: write-behind-peer ROOT SUITE COUNT SYNCHRONIZE INTERVAL\n");
        return 2;
    }
    platform::flushSuitesOnTerminationSignals();
    auto opened = platform::WriteBehindUserDefaults::open(arguments[2], arguments[1]);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().description.c_str());
        return 1;
    }
    auto& suite = **opened;
    const long count = std::atol(arguments[3]);
    const bool synchronizes = std::string(arguments[4]) == "1";
    const std::chrono::microseconds interval(std::atol(arguments[5]));
    for (long index = 1; index <= count; ++index) {
        const auto began = std::chrono::steady_clock::now().time_since_epoch();
        suite.setInteger(index, "k" + std::to_string(index));
        suite.setInteger(index, "last");
        if (synchronizes) {
            suite.synchronize();
        }
        std::printf("%ld %lld\n", index,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(began).count()));
        std::fflush(stdout);
        if (interval.count() > 0) {
            std::this_thread::sleep_for(interval);
        }
    }
    std::printf("done\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}

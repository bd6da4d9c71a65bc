#include "base/value/Date.h"

#include <chrono>

namespace base {

Date Date::now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return fromUnixTime(std::chrono::duration<double>(sinceEpoch).count());
}

}  // namespace base

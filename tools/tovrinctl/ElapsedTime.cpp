#include "tools/tovrinctl/ElapsedTime.h"

#include <cmath>
#include <cstdint>

namespace tools {

std::string elapsedText(base::Date then, base::Date now) {
    const double seconds = now.timeIntervalSinceReferenceDate - then.timeIntervalSinceReferenceDate;
    if (!std::isfinite(seconds)) {
        return "at an unknown time";
    }
    if (seconds < 0) {
        return "in the future";
    }
    if (seconds < 1) {
        return "just now";
    }
    // Beyond this no count of days fits an integer worth showing.
    if (seconds > 1e15) {
        return "ages ago";
    }
    struct Unit {
        double seconds;
        const char* name;
    };
    static constexpr Unit units[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
    for (const Unit& unit : units) {
        if (seconds >= unit.seconds) {
            const auto count = static_cast<std::int64_t>(std::floor(seconds / unit.seconds));
            return std::to_string(count) + " " + unit.name + (count == 1 ? "" : "s") + " ago";
        }
    }
    return "just now";
}

}  // namespace tools

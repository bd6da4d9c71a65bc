#pragma once

#include <compare>

namespace base {

// A point in time, held as seconds relative to 2001-01-01T00:00:00Z (the reference date).
struct Date {
    double timeIntervalSinceReferenceDate = 0;

    // Seconds between 1970-01-01T00:00:00Z and the reference date.
    static constexpr double referenceDateUnixTime = 978307200.0;

    // The current time.
    static Date now();
    // 0001-01-01T00:00:00Z, the earliest date the platform shows.
    static constexpr Date distantPast() { return Date{-63114076800.0}; }
    static constexpr Date fromUnixTime(double seconds) {
        return Date{seconds - referenceDateUnixTime};
    }
    constexpr double unixTime() const {
        return timeIntervalSinceReferenceDate + referenceDateUnixTime;
    }

    auto operator<=>(const Date&) const = default;
};

}  // namespace base

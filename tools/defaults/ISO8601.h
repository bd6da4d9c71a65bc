#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/value/Date.h"

namespace tools {

// `date` as ISO 8601 in UTC to the nearest millisecond, "2026-12-06T19:21:40.123Z". A date outside
// the years 0000 to 9999 (or not finite) is shown as its seconds relative to 2001 instead.
std::string iso8601Text(base::Date date);

// The date written as "YYYY-MM-DDTHH:MM:SS", optionally followed by "." and a fraction of the
// second, then "Z" or an offset "+HH:MM" / "-HH:MM" (or without the colon); nothing when `text`
// is anything else or names no real time (month 13, February 30, second 60).
std::optional<base::Date> parseISO8601Date(std::string_view text);

}  // namespace tools

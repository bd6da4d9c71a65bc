#include "tools/defaults/ISO8601.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace tools {
namespace {

using namespace std::chrono;

constexpr std::int64_t millisecondsPerDay = 86'400'000;
// 0000-01-01T00:00:00Z and 10000-01-01T00:00:00Z in seconds since 1970.
constexpr double earliestUnixTime = -62167219200.0;
constexpr double endUnixTime = 253402300800.0;

// Reads exactly `count` decimal digits from the front of `text`.
std::optional<int> readDigits(std::string_view& text, std::size_t count) {
    if (text.size() < count) {
        return std::nullopt;
    }
    int number = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const char character = text[index];
        if (character < '0' || character > '9') {
            return std::nullopt;
        }
        number = number * 10 + (character - '0');
    }
    text.remove_prefix(count);
    return number;
}

bool readCharacter(std::string_view& text, char expected) {
    if (text.empty() || text.front() != expected) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

// The offset from UTC in seconds: "Z", "+HH:MM", "-HH:MM", "+HHMM" or "-HHMM", ending the text.
std::optional<int> readZone(std::string_view text) {
    if (text == "Z") {
        return 0;
    }
    if (text.empty() || (text.front() != '+' && text.front() != '-')) {
        return std::nullopt;
    }
    const int sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
    const std::optional<int> hours = readDigits(text, 2);
    readCharacter(text, ':');
    const std::optional<int> minutes = readDigits(text, 2);
    if (!hours || !minutes || !text.empty() || *hours > 23 || *minutes > 59) {
        return std::nullopt;
    }
    return sign * (*hours * 3600 + *minutes * 60);
}

}  // namespace

std::string iso8601Text(base::Date date) {
    const double unixTime = date.unixTime();
    if (!std::isfinite(unixTime) || unixTime < earliestUnixTime || unixTime >= endUnixTime) {
        char buffer[64];
        const auto end =
            std::to_chars(buffer, buffer + sizeof(buffer), date.timeIntervalSinceReferenceDate).ptr;
        return std::string(buffer, end) + " seconds since 2001-01-01T00:00:00Z";
    }
    const auto milliseconds = static_cast<std::int64_t>(std::llround(unixTime * 1000.0));
    std::int64_t dayNumber = milliseconds / millisecondsPerDay;
    std::int64_t inDay = milliseconds % millisecondsPerDay;
    if (inDay < 0) {
        inDay += millisecondsPerDay;
        --dayNumber;
    }
    const year_month_day day{sys_days{days{dayNumber}}};
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(day.year()), static_cast<unsigned>(day.month()),
                  static_cast<unsigned>(day.day()), static_cast<int>(inDay / 3'600'000),
                  static_cast<int>(inDay / 60'000 % 60), static_cast<int>(inDay / 1000 % 60),
                  static_cast<int>(inDay % 1000));
    return buffer;
}

std::optional<base::Date> parseISO8601Date(std::string_view text) {
    const std::optional<int> yearNumber = readDigits(text, 4);
    const bool hasDash1 = readCharacter(text, '-');
    const std::optional<int> monthNumber = readDigits(text, 2);
    const bool hasDash2 = readCharacter(text, '-');
    const std::optional<int> dayNumber = readDigits(text, 2);
    const bool hasT = readCharacter(text, 'T');
    const std::optional<int> hours = readDigits(text, 2);
    const bool hasColon1 = readCharacter(text, ':');
    const std::optional<int> minutes = readDigits(text, 2);
    const bool hasColon2 = readCharacter(text, ':');
    const std::optional<int> seconds = readDigits(text, 2);
    if (!yearNumber || !hasDash1 || !monthNumber || !hasDash2 || !dayNumber || !hasT || !hours ||
        !hasColon1 || !minutes || !hasColon2 || !seconds) {
        return std::nullopt;
    }
    double fraction = 0;
    if (readCharacter(text, '.')) {
        double scale = 0.1;
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            fraction += (text[digits] - '0') * scale;
            scale /= 10;
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        text.remove_prefix(digits);
    }
    const std::optional<int> offset = readZone(text);
    const year_month_day day{year{*yearNumber}, month{static_cast<unsigned>(*monthNumber)},
                             std::chrono::day{static_cast<unsigned>(*dayNumber)}};
    if (!offset || !day.ok() || *hours > 23 || *minutes > 59 || *seconds > 59) {
        return std::nullopt;
    }
    const auto dayStart = static_cast<double>(sys_days{day}.time_since_epoch().count()) * 86400.0;
    const double unixTime = dayStart + *hours * 3600.0 + *minutes * 60.0 + *seconds - *offset;
    return base::Date::fromUnixTime(unixTime + fraction);
}

}  // namespace tools

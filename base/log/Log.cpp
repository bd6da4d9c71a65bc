#include "base/log/Log.h"

#include "base/log/LogOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace base {
namespace {

std::mutex capturesMutex;
std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> registered;
    return registered;
}
std::atomic<bool> writesToStandardError{true};
// How many captures are registered, so that a message nobody will read is not even formatted.
std::atomic<std::size_t> captureCount{0};

struct Placeholder {
    std::string_view text;
    std::size_t argumentIndex;
};

std::string renderArgument(std::string_view placeholder, const LogArgument* argument) {
    if (argument == nullptr) {
        return "<invalid>";
    }
    if (placeholder == "%{public}s") {
        if (const auto* text = std::get_if<std::string>(argument)) {
            return *text;
        }
    } else if (placeholder == "%{public}ld") {
        if (const auto* integer = std::get_if<std::int64_t>(argument)) {
            return std::to_string(*integer);
        }
    } else if (placeholder == "%{bool,public}d") {
        if (const auto* boolean = std::get_if<bool>(argument)) {
            return *boolean ? "true" : "false";
        }
    }
    return "<invalid>";
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds));
    return buffer;
}

}  // namespace

std::string formatLogMessage(std::string_view format, const std::vector<LogArgument>& arguments) {
    static constexpr std::string_view placeholders[] = {"%{public}s", "%{public}ld",
                                                        "%{bool,public}d"};
    std::string result;
    result.reserve(format.size() + 32);
    std::size_t nextArgument = 0;
    std::size_t position = 0;
    while (position < format.size()) {
        const std::size_t percent = std::min(format.find('%', position), format.size());
        result.append(format.substr(position, percent - position));
        position = percent;
        if (position == format.size()) {
            break;
        }
        const auto placeholder = std::find_if(
            std::begin(placeholders), std::end(placeholders), [&](std::string_view candidate) {
                return format.substr(position, candidate.size()) == candidate;
            });
        if (placeholder == std::end(placeholders)) {
            result += '%';
            ++position;
            continue;
        }
        const LogArgument* argument =
            nextArgument < arguments.size() ? &arguments[nextArgument] : nullptr;
        result += renderArgument(*placeholder, argument);
        ++nextArgument;
        position += placeholder->size();
    }
    return result;
}

void deliverToCaptures(const LogRecord& record) {
    std::lock_guard lock(capturesMutex);
    for (auto* capture : captures()) {
        if (capture->subsystem == record.subsystem && capture->category == record.category) {
            std::lock_guard captureLock(capture->mutex);
            capture->collected.push_back(record);
        }
    }
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystemName(std::move(subsystem)), categoryName(std::move(category)) {}

void Logger::log(std::string_view format, std::initializer_list<LogArgument> arguments) const {
    log(LogLevel::defaultLevel, format, std::vector<LogArgument>(arguments));
}

void Logger::error(std::string_view format, std::initializer_list<LogArgument> arguments) const {
    log(LogLevel::error, format, std::vector<LogArgument>(arguments));
}

void Logger::log(LogLevel level,
                 std::string_view format,
                 std::vector<LogArgument> arguments) const {
    if (!writesToStandardError.load(std::memory_order_relaxed) &&
        captureCount.load(std::memory_order_relaxed) == 0) {
        return;
    }
    LogRecord record{subsystemName, categoryName, level, formatLogMessage(format, arguments)};
    if (writesToStandardError.load()) {
        const std::string line = timestamp() + " " + record.subsystem + " [" + record.category +
                                 "] " + (level == LogLevel::error ? "error" : "default") + ": " +
                                 record.message + "\n";
        writeLogLine(line);
    }
    deliverToCaptures(record);
}

LogCapture::LogCapture(std::string subsystem, std::string category)
    : subsystem(std::move(subsystem)), category(std::move(category)) {
    std::lock_guard lock(capturesMutex);
    captures().push_back(this);
    captureCount.fetch_add(1);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(capturesMutex);
    std::erase(captures(), this);
    captureCount.fetch_sub(1);
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard lock(mutex);
    return collected;
}

std::vector<std::string> LogCapture::messages() const {
    std::lock_guard lock(mutex);
    std::vector<std::string> result;
    for (const auto& record : collected) {
        result.push_back(record.message);
    }
    return result;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex);
    collected.clear();
}

void setLogOutputToStandardError(bool enabled) {
    writesToStandardError.store(enabled);
}

}  // namespace base

#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace base {

enum class LogLevel { defaultLevel, error };

// One argument of a log message: text for `%{public}s`, a 64-bit integer for `%{public}ld`, a
// Boolean for `%{bool,public}d` (rendered `true` / `false`).
using LogArgument = std::variant<std::string, std::int64_t, bool>;

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

// Renders `format`, replacing each placeholder in turn with the next argument. A placeholder
// whose argument is missing or of another kind renders as `<invalid>`.
std::string formatLogMessage(std::string_view format, const std::vector<LogArgument>& arguments);

// A handle on the unified log with a subsystem and a category. Safe to use from any thread.
// By default each message becomes one line on standard error:
// `<UTC time with ms> <subsystem> [<category>] <level>: <message>`.
class Logger {
  public:
    Logger(std::string subsystem, std::string category);

    void log(std::string_view format, std::initializer_list<LogArgument> arguments = {}) const;
    void error(std::string_view format, std::initializer_list<LogArgument> arguments = {}) const;
    void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) const;

    const std::string& subsystem() const { return subsystemName; }
    const std::string& category() const { return categoryName; }

  private:
    std::string subsystemName;
    std::string categoryName;
};

// Collects, while it lives, every message logged with one subsystem and category, in addition to
// the usual output. For tests.
class LogCapture {
  public:
    LogCapture(std::string subsystem, std::string category);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages() const;
    void clear();

  private:
    friend void deliverToCaptures(const LogRecord&);
    std::string subsystem;
    std::string category;
    mutable std::mutex mutex;
    std::vector<LogRecord> collected;
};

// Silences the standard-error output of every handle (captures still receive messages).
void setLogOutputToStandardError(bool enabled);

}  // namespace base

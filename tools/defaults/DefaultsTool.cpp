#include "tools/defaults/DefaultsTool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "base/text/Hex.h"
#include "platform/defaults/SQLiteUserDefaults.h"
#include "tools/defaults/ISO8601.h"
#include "tools/defaults/ValueText.h"

namespace tools {
namespace {

constexpr std::string_view usageText =
    "usage: defaults read SUITE\n"
    "       defaults read SUITE KEY\n"
    "       defaults read-type SUITE KEY\n"
    "       defaults write SUITE KEY -string TEXT | -int N | -data HEX | -data-file PATH |\n"
    "                                -date ISO8601\n"
    "       defaults delete SUITE KEY\n"
    "\n"
    "read SUITE lists every key in byte order, one a line, as \"KEY (KIND): VALUE\". Data that\n"
    "is printable UTF-8 is shown as text and other data as <hex>; in keys and texts backslashes\n"
    "and control characters are escaped (\\\\, \\t, \\n, \\r, \\xNN).\n"
    "read SUITE KEY prints the value: a text as it is, an integer in decimal, a date in ISO 8601\n"
    "UTC with milliseconds (2026-12-06T19:21:40.123Z), data as its raw bytes (no newline).\n"
    "read-type prints the kind: data, integer, string or date (or real, for a real that another\n"
    "program stored). -date takes YYYY-MM-DDTHH:MM:SS[.fraction] followed by Z or +HH:MM.\n"
    "\n"
    "Suites live under $APP_GROUP_CONTAINERS_ROOT, by default $XDG_STATE_HOME/tovrin/app-groups\n"
    "or ~/.local/state/tovrin/app-groups (/var/lib/tovrin/app-groups without a home).\n"
    "Exit status: 0 done; 1 absent key, or a suite that cannot be opened or written; 2 bad\n"
    "arguments.\n";

class Session {
  public:
    Session(std::FILE* output, std::FILE* errors) : output(output), errors(errors) {}

    int usage(std::string_view problem = {}) {
        if (!problem.empty()) {
            std::fprintf(errors, "defaults: %.*s\n", static_cast<int>(problem.size()),
                         problem.data());
        }
        std::fwrite(usageText.data(), 1, usageText.size(), errors);
        return exitUsage;
    }

    int fail(std::string_view message) {
        std::fprintf(errors, "defaults: %.*s\n", static_cast<int>(message.size()), message.data());
        return exitFailure;
    }

    int absentKey(std::string_view suite, std::string_view key) {
        return fail("no value for key " + std::string(key) + " in suite " + std::string(suite));
    }

    // Writes `text` to the output and flushes it; exitFailure when the output is gone.
    int print(std::string_view text) {
        const bool didWrite = std::fwrite(text.data(), 1, text.size(), output) == text.size();
        if (std::fflush(output) != 0 || !didWrite) {
            return fail("cannot write the output");
        }
        return exitSuccess;
    }

  private:
    std::FILE* output;
    std::FILE* errors;
};

base::Expected<base::Data> readFile(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return base::Error{"cannot read " + path + ": " + std::generic_category().message(errno)};
    }
    base::Data data;
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof(buffer));
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(descriptor);
            return base::Error{"cannot read " + path + ": " +
                               std::generic_category().message(error)};
        }
        data.insert(data.end(), buffer, buffer + count);
    }
    ::close(descriptor);
    return data;
}

// The value of `defaults write`, or the problem that kept it from being read: a usage problem
// for an unknown option or a malformed argument, a plain failure for a file that cannot be read.
struct ParsedValue {
    std::optional<platform::StoredValue> value;
    std::string problem;
    bool isUsageProblem = true;
};

// The value that `option argument` stands for.
ParsedValue parseValue(std::string_view option, std::string_view argument) {
    if (option == "-string") {
        return {std::string(argument), {}};
    }
    if (option == "-int") {
        if (std::optional<std::int64_t> integer = parseInteger(argument)) {
            return {*integer, {}};
        }
        return {std::nullopt, "not a 64-bit decimal integer: " + std::string(argument)};
    }
    if (option == "-data") {
        if (std::optional<base::Data> data = base::parseHex(argument)) {
            return {std::move(*data), {}};
        }
        return {std::nullopt, "not hexadecimal bytes: " + std::string(argument)};
    }
    if (option == "-data-file") {
        auto data = readFile(std::string(argument));
        if (!data) {
            return {std::nullopt, data.error().description, false};
        }
        return {std::move(data.value()), {}};
    }
    if (option == "-date") {
        if (std::optional<base::Date> date = parseISO8601Date(argument)) {
            return {*date, {}};
        }
        return {std::nullopt, "not an ISO 8601 date and time: " + std::string(argument)};
    }
    return {std::nullopt, "unknown option: " + std::string(option)};
}

}  // namespace

int runDefaultsTool(std::span<const std::string_view> arguments,
                    std::FILE* output,
                    std::FILE* errors) {
    Session session(output, errors);
    if (arguments.size() == 1 &&
        (arguments[0] == "-h" || arguments[0] == "--help" || arguments[0] == "help")) {
        return session.print(usageText);
    }
    if (arguments.empty()) {
        return session.usage();
    }
    const std::string_view command = arguments[0];
    const std::size_t count = arguments.size();
    const bool isWellFormed = (command == "read" && (count == 2 || count == 3)) ||
                              ((command == "read-type" || command == "delete") && count == 3) ||
                              (command == "write" && count == 5);
    if (!isWellFormed) {
        const bool isKnown = command == "read" || command == "read-type" || command == "delete" ||
                             command == "write";
        return session.usage(isKnown ? "wrong number of arguments"
                                     : "unknown command: " + std::string(command));
    }
    const std::string_view suite = arguments[1];
    if (!platform::isValidSuiteName(suite)) {
        return session.usage("not a valid suite name: \"" + std::string(suite) + "\"");
    }

    std::optional<platform::StoredValue> value;
    if (command == "write") {
        ParsedValue parsed = parseValue(arguments[3], arguments[4]);
        if (!parsed.value) {
            return parsed.isUsageProblem ? session.usage(parsed.problem)
                                         : session.fail(parsed.problem);
        }
        value = std::move(parsed.value);
    }

    const auto ifMissing =
        command == "write" ? platform::IfMissing::create : platform::IfMissing::fail;
    auto opened =
        platform::SQLiteUserDefaults::open(suite, platform::appGroupContainersRoot(), ifMissing);
    if (!opened) {
        return session.fail(opened.error().description);
    }
    platform::SQLiteUserDefaults& defaults = *opened.value();

    if (command == "read" && count == 2) {
        auto entries = defaults.allEntries();
        if (!entries) {
            return session.fail(entries.error().description);
        }
        std::string listing;
        for (const platform::StoredEntry& entry : *entries) {
            listing += escapedForListing(entry.key) + " (" +
                       std::string(platform::kindName(platform::kindOf(entry.value))) +
                       "): " + listingText(entry.value) + "\n";
        }
        return session.print(listing);
    }

    const std::string_view key = arguments[2];
    if (command == "write") {
        if (auto stored = defaults.store(key, *value); !stored) {
            return session.fail("cannot write " + std::string(key) + ": " +
                                stored.error().description);
        }
        return exitSuccess;
    }
    if (command == "delete") {
        auto removed = defaults.remove(key);
        if (!removed) {
            return session.fail("cannot delete " + std::string(key) + ": " +
                                removed.error().description);
        }
        return *removed ? exitSuccess : session.absentKey(suite, key);
    }

    std::optional<platform::StoredValue> stored = defaults.objectForKey(key);
    if (!stored) {
        return session.absentKey(suite, key);
    }
    if (command == "read-type") {
        return session.print(std::string(platform::kindName(platform::kindOf(*stored))) + "\n");
    }
    const bool isData = platform::kindOf(*stored) == platform::StoredKind::data;
    return session.print(valueText(*stored) + (isData ? "" : "\n"));
}

}  // namespace tools

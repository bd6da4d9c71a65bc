#pragma once

#include <cstdio>
#include <string_view>

namespace tools {

// Exit statuses of `tovrinctl`.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;  // bad input, or a suite or file that cannot be used
inline constexpr int exitUsage = 2;    // arguments that do not form a command

// Where a command writes: results to `output`, messages to `errors`.
class Console {
  public:
    Console(std::FILE* output, std::FILE* errors) : output(output), errors(errors) {}

    // Writes `text` to the output; exitFailure, after saying so, when the output is gone.
    int print(std::string_view text) {
        const bool didWrite = std::fwrite(text.data(), 1, text.size(), output) == text.size();
        if (std::fflush(output) != 0 || !didWrite) {
            return fail("cannot write the output");
        }
        return exitSuccess;
    }

    // Writes "tovrinctl: " and `message` as one line of the errors.
    void say(std::string_view message) {
        std::fprintf(errors, "tovrinctl: %.*s\n", static_cast<int>(message.size()), message.data());
        std::fflush(errors);
    }

    int fail(std::string_view message) {
        say(message);
        return exitFailure;
    }

    // Says what is wrong with the arguments and where the commands are described.
    int usage(std::string_view problem) {
        say(problem);
        std::fputs("Run \"tovrinctl help\" for the commands.\n", errors);
        std::fflush(errors);
        return exitUsage;
    }

  private:
    std::FILE* output;
    std::FILE* errors;
};

}  // namespace tools

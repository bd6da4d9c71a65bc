#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace support {

using Environment = std::vector<std::pair<std::string, std::string>>;

// A test's own folder under the temporary directory, removed with what it holds.
struct ScratchFolder {
    std::string path = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tovrin-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        return pattern;
    }();
    ScratchFolder() = default;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

struct ChildProcessResult {
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Runs `arguments` (the program's path first) with `environment` added to this process's and
// `input` written to its standard input, which is then closed, and collects its outputs once it
// exits. Standard input is a pipe, as a browser gives it, so that the child reads the input in the
// pieces a pipe hands over; its outputs go to files in `scratchFolder`, so that it never blocks.
inline ChildProcessResult runChildProcess(const std::vector<std::string>& arguments,
                                          const std::string& input,
                                          const std::filesystem::path& scratchFolder,
                                          const Environment& environment = {}) {
    const auto quoted = [](std::string text) {
        for (std::size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4) {
            text.replace(at, 1, "'\\''");
        }
        return "'" + text + "'";
    };
    const std::string output = scratchFolder / "child-stdout",
                      error = scratchFolder / "child-stderr";
    std::string command = "exec env";
    for (const auto& [name, value] : environment) {
        command += " " + quoted(name + "=" + value);
    }
    for (const auto& argument : arguments) {
        command += " " + quoted(argument);
    }
    command += " >" + quoted(output) + " 2>" + quoted(error);
    // A child that stops reading early must not take this process down with it.
    std::signal(SIGPIPE, SIG_IGN);
    FILE* const pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) {
        return {};
    }
    std::fwrite(input.data(), 1, input.size(), pipe);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readWholeFile(output),
            readWholeFile(error)};
}

}  // namespace support

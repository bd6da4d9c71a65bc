#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace support {

using Environment = std::vector<std::pair<std::string, std::string>>;

// A test's own folder under the temporary directory, removed with what it holds.
struct ScratchFolder {
    std::string path = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tovrin-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::filesystem::filesystem_error(
                "mkdtemp", std::error_code(errno, std::generic_category()));
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

// A null-terminated pointer array over `texts`, as the exec family takes it.
inline std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const auto& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Runs `arguments` (the program's path first) with `input` written to its standard input, which
// is then closed, and collects its outputs once it exits. Standard input is a pipe, as a browser
// gives it, so that the child reads the input in the pieces a pipe hands over; its outputs go to
// files in `scratchFolder`, so that it never blocks on them.
inline ChildProcessResult runChildProcess(const std::vector<std::string>& arguments,
                                          const std::string& input,
                                          const std::filesystem::path& scratchFolder,
                                          const Environment& environment = {}) {
    // A child that stops reading early must not take this process down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // This process's environment, with `environment` added or replacing (a later entry wins).
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        variables.emplace_back(*entry);
    }
    for (const auto& [name, value] : environment) {
        std::erase_if(variables, [&](const std::string& variable) {
            return variable.starts_with(name + "=");
        });
        variables.push_back(name + "=" + value);
    }
    int inputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0) {
        return {};
    }
    const auto path = [&](const char* stream) { return (scratchFolder / stream).string(); };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    for (const auto& [descriptor, stream] :
         {std::pair{STDOUT_FILENO, "child-stdout"}, std::pair{STDERR_FILENO, "child-stderr"}}) {
        posix_spawn_file_actions_addopen(&actions, descriptor, path(stream).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, arguments[0].c_str(), &actions, nullptr,
                                      pointersTo(arguments).data(), pointersTo(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inputPipe[0]);
    for (std::size_t written = 0; written < input.size();) {
        const ssize_t count = ::write(inputPipe[1], input.data() + written, input.size() - written);
        if (count <= 0) {
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    ::close(inputPipe[1]);
    int status = 0;
    if (spawned == 0) {
        ::waitpid(child, &status, 0);
    }
    const auto contents = [&](const char* stream) {
        std::ostringstream text;
        text << std::ifstream(path(stream), std::ios::binary).rdbuf();
        return text.str();
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            contents("child-stdout"), contents("child-stderr")};
}

}  // namespace support

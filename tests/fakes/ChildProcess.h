#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
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
// is then closed, and collects its outputs until it exits. Standard input and output are pipes,
// as a browser gives them; standard error goes to a file in `scratchFolder` so that the child
// never blocks on it.
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
    const std::string errorPath = (scratchFolder / "child-stderr").string();
    int inputPipe[2], outputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0 || ::pipe2(outputPipe, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, arguments[0].c_str(), &actions, nullptr,
                                      pointersTo(arguments).data(), pointersTo(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inputPipe[0]);
    ::close(outputPipe[1]);

    std::thread writer([&input, descriptor = inputPipe[1]] {
        for (std::size_t written = 0; written < input.size();) {
            const ssize_t count =
                ::write(descriptor, input.data() + written, input.size() - written);
            if (count <= 0) {
                break;
            }
            written += static_cast<std::size_t>(count);
        }
        ::close(descriptor);
    });
    ChildProcessResult result;
    char buffer[65536];
    for (ssize_t count; (count = ::read(outputPipe[0], buffer, sizeof buffer)) > 0;) {
        result.standardOutput.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(outputPipe[0]);
    writer.join();
    int status = 0;
    if (spawned == 0) {
        ::waitpid(child, &status, 0);
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ostringstream errorText;
    errorText << std::ifstream(errorPath, std::ios::binary).rdbuf();
    result.standardError = errorText.str();
    return result;
}

}  // namespace support

#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace support {

struct ChildProcessResult {
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
};

// Runs `arguments` (the program's path first) with `input` written to its standard input, which
// is then closed, and collects its outputs until it exits. `environment` adds variables or
// overrides this process's. `scratchFolder` takes a file for standard error.
inline ChildProcessResult runChildProcess(
    const std::vector<std::string>& arguments,
    const std::string& input,
    const std::filesystem::path& scratchFolder,
    const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    // A child that stops reading early must not take this process down with it.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        variables.emplace_back(*entry);
    }
    for (const auto& [name, value] : environment) {
        const std::string assignment = name + "=";
        std::erase_if(variables, [&assignment](const std::string& variable) {
            return variable.starts_with(assignment);
        });
        variables.push_back(assignment + value);
    }
    std::vector<char*> argumentPointers;
    for (const auto& argument : arguments) {
        argumentPointers.push_back(const_cast<char*>(argument.c_str()));
    }
    argumentPointers.push_back(nullptr);
    std::vector<char*> variablePointers;
    for (const auto& variable : variables) {
        variablePointers.push_back(const_cast<char*>(variable.c_str()));
    }
    variablePointers.push_back(nullptr);

    // Standard input and output are pipes, as a browser gives them; standard error goes to a file
    // so that the child never blocks on it.
    const std::string errorPath = (scratchFolder / "child-stderr").string();
    int inputPipe[2];
    int outputPipe[2];
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
    const int spawned = ::posix_spawn(&child, argumentPointers[0], &actions, nullptr,
                                      argumentPointers.data(), variablePointers.data());
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

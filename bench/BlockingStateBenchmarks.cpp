// One "getWebsiteBlockingState" message through the browser handler, with the policy blob in the
// real suite: in process through the native-messaging runtime, and as a browser sends it, by
// starting the handler's program for the one message and reading its reply.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/json/JSON.h"
#include "bench/BenchmarkFamilies.h"
#include "bench/BenchmarkSupport.h"
#include "bench/SimpleBlockingStateHandler.h"
#include "common/SharedDefaultsKeys.h"
#include "platform/extension-runtime/stdio/NativeMessagingHost.h"
#include "safari-extension/SafariWebExtensionHandler.h"

extern char** environ;

namespace bench {
namespace {

using platform::extension::NativeMessagingHost;
using platform::extension::NSExtensionPrincipalClass;

struct BlockingStateEnvironment {
    std::vector<std::string> domains;
    TemporarySuiteRoot root;
};

BlockingStateEnvironment& blockingStateEnvironment(std::size_t policySize) {
    static std::map<std::size_t, std::unique_ptr<BlockingStateEnvironment>> environments;
    auto& slot = environments[policySize];
    if (!slot) {
        slot = std::make_unique<BlockingStateEnvironment>();
        slot->domains = syntheticDomains(policySize);
        auto suite = slot->root.openSharedSuite();
        suite->setObject(policyBlob(slot->domains, true, 3), common::keys::contentFilterPolicyBlob);
        suite->synchronize();
    }
    return *slot;
}

std::string message(const BlockingStateEnvironment& environment, bool isBlocked) {
    const std::string host =
        isBlocked ? hostUnder(environment.domains[environment.domains.size() / 2]) : cleanHost;
    return R"({"action":"getWebsiteBlockingState","url":"https://)" + host +
           R"(/articles/1","host":")" + host + R"("})";
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Whether `reply` is a successful answer that says `isBlocked`.
bool isExpectedReply(const std::string& reply, bool isBlocked) {
    const auto parsed = base::json::JSONObjectWithData(bytesOf(reply));
    if (!parsed) {
        return false;
    }
    const auto* ok = parsed->find("ok");
    const auto* blocked = parsed->find("blocked");
    return ok != nullptr && ok->boolean() == true && blocked != nullptr &&
           blocked->boolean() == isBlocked;
}

void runInProcess(benchmark::State& state,
                  std::size_t policySize,
                  bool isBlocked,
                  Implementation implementation) {
    auto& environment = blockingStateEnvironment(policySize);
    environment.root.activate();
    const NativeMessagingHost host(
        implementation == Implementation::ours
            ? NSExtensionPrincipalClass::of<safari::SafariWebExtensionHandler>(
                  common::UserDefaultsOpener(platform::openSQLiteUserDefaults))
            : NSExtensionPrincipalClass::of<SimpleBlockingStateHandler>());
    const std::string request = message(environment, isBlocked);
    for (auto _ : state) {
        const base::Data reply = host.replyToMessage(bytesOf(request));
        const std::string text(reply.begin(), reply.end());
        if (!isExpectedReply(text, isBlocked)) {
            state.SkipWithError(text.c_str());
            break;
        }
    }
}

bool writeAll(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

bool readAll(int descriptor, char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t result = ::read(descriptor, buffer + done, length - done);
        if (result <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(result);
    }
    return true;
}

// Starts `program` for one message, as a browser does, and returns its reply; nothing on failure.
std::optional<std::string> exchangeWithNewProcess(const std::string& program,
                                                  const std::vector<char*>& environment,
                                                  const std::string& request) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* arguments[] = {const_cast<char*>(program.c_str()),
                         const_cast<char*>("chrome-extension://benchmark/"), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, arguments,
                                    const_cast<char* const*>(environment.data()));
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);

    std::optional<std::string> reply;
    if (spawned == 0) {
        const auto length = static_cast<std::uint32_t>(request.size());
        std::string frame(sizeof length, '\0');
        std::memcpy(frame.data(), &length, sizeof length);
        frame += request;
        const bool didWrite = writeAll(input[1], frame);
        ::close(input[1]);
        input[1] = -1;
        std::uint32_t replyLength = 0;
        if (didWrite &&
            readAll(output[0], reinterpret_cast<char*>(&replyLength), sizeof replyLength)) {
            std::string text(replyLength, '\0');
            if (readAll(output[0], text.data(), text.size())) {
                reply = std::move(text);
            }
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            reply.reset();
        }
    }
    if (input[1] >= 0) {
        ::close(input[1]);
    }
    ::close(output[0]);
    return reply;
}

void runNewProcess(benchmark::State& state,
                   std::size_t policySize,
                   bool isBlocked,
                   Implementation implementation) {
    auto& environment = blockingStateEnvironment(policySize);
    const std::string program = implementation == Implementation::ours
                                    ? TOVRIN_SAFARI_HANDLER_PROGRAM
                                    : TOVRIN_SIMPLE_HANDLER_PROGRAM;
    // The browser's environment, with the suites under the benchmark's own root.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!std::string_view(*variable).starts_with("APP_GROUP_CONTAINERS_ROOT=")) {
            variables.emplace_back(*variable);
        }
    }
    variables.push_back("APP_GROUP_CONTAINERS_ROOT=" + environment.root.path());
    std::vector<char*> pointers;
    for (auto& variable : variables) {
        pointers.push_back(variable.data());
    }
    pointers.push_back(nullptr);

    const std::string request = message(environment, isBlocked);
    for (auto _ : state) {
        const auto reply = exchangeWithNewProcess(program, pointers, request);
        if (!reply || !isExpectedReply(*reply, isBlocked)) {
            state.SkipWithError(reply ? reply->c_str() : "the handler gave no reply");
            break;
        }
    }
}

}  // namespace

void registerBlockingStateBenchmarks() {
    for (const bool isNewProcess : {false, true}) {
        for (const std::size_t size : policySizes) {
            for (const bool isBlocked : {true, false}) {
                for (const auto implementation : {Implementation::ours, Implementation::simple}) {
                    const std::string name =
                        std::string("BlockingState/") + (isNewProcess ? "process" : "in-process") +
                        "/" + std::to_string(size) + "/" + (isBlocked ? "blocked" : "clean") + "/" +
                        implementationName(implementation);
                    benchmark::RegisterBenchmark(name.c_str(),
                                                 isNewProcess ? runNewProcess : runInProcess, size,
                                                 isBlocked, implementation)
                        ->UseRealTime()
                        ->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
}

}  // namespace bench

// The suite writes of one observed flow (the count read and written, three texts) and the flush
// that follows, on the real SQLite suite that also holds the policy blob. The simple approach
// keeps the suite as one file that each flush rewrites whole (written aside, synced, renamed
// over the old one), as a property-list store does.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <variant>

#include "bench/BenchmarkFamilies.h"
#include "bench/BenchmarkSupport.h"
#include "common/BuildConstants.h"
#include "common/SharedDefaultsKeys.h"
#include "common/UserDefaults.h"
#include "platform/defaults/WriteBehindUserDefaults.h"

namespace bench {
namespace {

// A suite held in memory and written out whole, as one file, at every flush.
class WholeFileSuite final : public common::UserDefaults {
  public:
    explicit WholeFileSuite(std::string path) : path(std::move(path)) {}

    std::optional<base::Data> dataForKey(std::string_view key) override {
        const auto found = values.find(std::string(key));
        if (found == values.end() || !std::holds_alternative<base::Data>(found->second)) {
            return std::nullopt;
        }
        return std::get<base::Data>(found->second);
    }
    std::int64_t integerForKey(std::string_view key) override {
        const auto found = values.find(std::string(key));
        if (found == values.end() || !std::holds_alternative<std::int64_t>(found->second)) {
            return 0;
        }
        return std::get<std::int64_t>(found->second);
    }
    void setInteger(std::int64_t value, std::string_view key) override {
        values[std::string(key)] = value;
    }
    void setObject(const std::optional<common::DefaultsObject>& object,
                   std::string_view key) override {
        if (!object) {
            values.erase(std::string(key));
            return;
        }
        std::visit([&](const auto& typed) { values[std::string(key)] = typed; }, *object);
    }
    bool synchronize() override {
        std::string contents;
        for (const auto& [key, value] : values) {
            contents += key;
            contents += '\0';
            std::visit(
                [&](const auto& typed) {
                    using Type = std::decay_t<decltype(typed)>;
                    if constexpr (std::is_same_v<Type, std::int64_t>) {
                        contents += std::to_string(typed);
                    } else if constexpr (std::is_same_v<Type, std::string>) {
                        contents += typed;
                    } else if constexpr (std::is_same_v<Type, base::Data>) {
                        contents.append(typed.begin(), typed.end());
                    } else {
                        contents += std::to_string(typed.timeIntervalSinceReferenceDate);
                    }
                },
                value);
            contents += '\0';
        }
        const std::string temporaryPath = path + ".new";
        const int descriptor = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0660);
        if (descriptor < 0) {
            return false;
        }
        const bool didWrite = ::write(descriptor, contents.data(), contents.size()) ==
                                  static_cast<ssize_t>(contents.size()) &&
                              ::fsync(descriptor) == 0;
        ::close(descriptor);
        return didWrite && ::rename(temporaryPath.c_str(), path.c_str()) == 0;
    }

  private:
    std::string path;
    std::map<std::string, std::variant<std::int64_t, std::string, base::Data, base::Date>> values;
};

struct SuiteEnvironment {
    TemporarySuiteRoot root;
    std::shared_ptr<common::UserDefaults> suite;
};

SuiteEnvironment& suiteEnvironment(std::size_t policySize, Implementation implementation) {
    static std::map<std::pair<std::size_t, Implementation>, std::unique_ptr<SuiteEnvironment>>
        environments;
    auto& slot = environments[{policySize, implementation}];
    if (!slot) {
        slot = std::make_unique<SuiteEnvironment>();
        if (implementation == Implementation::ours) {
            slot->suite = slot->root.openSharedSuite();
        } else {
            slot->suite = std::make_shared<WholeFileSuite>(slot->root.path() + ".suite");
        }
        slot->suite->setObject(policyBlob(syntheticDomains(policySize), true, 1),
                               common::keys::contentFilterPolicyBlob);
        slot->suite->synchronize();
    }
    return *slot;
}

void runObservationWrites(benchmark::State& state, common::UserDefaults& suite) {
    for (auto _ : state) {
        const auto count = suite.integerForKey(common::keys::contentFilterObservedFlowCount);
        suite.setInteger(count + 1, common::keys::contentFilterObservedFlowCount);
        suite.setObject(std::string("cdn.static.example.com"),
                        common::keys::contentFilterLastObservedHost);
        suite.setObject(std::string("https://cdn.static.example.com/index.html"),
                        common::keys::contentFilterLastObservedURL);
        suite.setObject(std::string("cdn.static.example.com"),
                        common::keys::contentFilterLastObservedEndpoint);
        if (!suite.synchronize()) {
            state.SkipWithError("the flush failed");
            break;
        }
    }
}

// The same writes through the suite the filter's program opens: they wait for no commit.
void runWriteBehindObservationWrites(benchmark::State& state, std::size_t policySize) {
    static std::map<std::size_t, std::unique_ptr<SuiteEnvironment>> environments;
    auto& slot = environments[policySize];
    if (!slot) {
        slot = std::make_unique<SuiteEnvironment>();
        slot->root.openSharedSuite()->setObject(policyBlob(syntheticDomains(policySize), true, 1),
                                                common::keys::contentFilterPolicyBlob);
        auto opened =
            platform::WriteBehindUserDefaults::open(common::appGroupIdentifier, slot->root.path());
        if (!opened) {
            state.SkipWithError(opened.error().description.c_str());
            return;
        }
        slot->suite = std::move(opened).value();
    }
    runObservationWrites(state, *slot->suite);
}

}  // namespace

void registerSuiteWriteBenchmarks() {
    for (const std::size_t size : policySizes) {
        const std::string name =
            "SuiteWrites/observation/" + std::to_string(size) + "/write-behind";
        benchmark::RegisterBenchmark(name.c_str(), runWriteBehindObservationWrites, size)
            ->UseRealTime();
    }
    for (const std::size_t size : policySizes) {
        for (const auto implementation : {Implementation::ours, Implementation::simple}) {
            const std::string name = "SuiteWrites/observation/" + std::to_string(size) + "/" +
                                     implementationName(implementation);
            benchmark::RegisterBenchmark(name.c_str(), [size,
                                                        implementation](benchmark::State& state) {
                runObservationWrites(state, *suiteEnvironment(size, implementation).suite);
            })->UseRealTime();
        }
    }
}

}  // namespace bench

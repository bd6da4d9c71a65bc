// The unforced policy refresh that begins every flow callback, when nothing changed: the policy
// in the vendor dictionary, or in the blob (the vendor dictionary then missing, which is logged).

#include <benchmark/benchmark.h>

#include "bench/BenchmarkFamilies.h"
#include "bench/BenchmarkSupport.h"
#include "bench/FilterEnvironment.h"

namespace bench {
namespace {

void runRefresh(benchmark::State& state,
                PolicySource source,
                std::size_t policySize,
                Implementation implementation) {
    auto& environment = filterEnvironment(source, policySize, implementation);
    for (auto _ : state) {
        if (implementation == Implementation::ours) {
            environment.provider->refreshPolicyIfNeededForTesting(false);
        } else {
            environment.simple->refreshPolicyIfNeeded(false);
        }
    }
}

}  // namespace

void registerPolicyRefreshBenchmarks() {
    for (const auto source : {PolicySource::vendorConfiguration, PolicySource::blob}) {
        for (const std::size_t size : policySizes) {
            for (const auto implementation : {Implementation::ours, Implementation::simple}) {
                const std::string name = std::string("UnforcedRefresh/") + sourceName(source) +
                                         "/" + std::to_string(size) + "/" +
                                         implementationName(implementation);
                benchmark::RegisterBenchmark(name.c_str(), runRefresh, source, size, implementation)
                    ->UseRealTime();
            }
        }
    }
}

}  // namespace bench

// A new flow whose host is known, through handleNewFlow with the real suite underneath: the
// observation's writes, the match and, for a blocked host, the block decision's writes.

#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include "bench/BenchmarkFamilies.h"
#include "bench/BenchmarkSupport.h"
#include "bench/FilterEnvironment.h"

namespace bench {
namespace {

std::shared_ptr<const filter::NEFilterSocketFlow> flowTo(const std::string& host) {
    return std::make_shared<const filter::NEFilterSocketFlow>(
        base::UUID(), base::URL::fromString("https://" + host + "/index.html"), host,
        filter::NWHostEndpoint::endpointWithHostname("203.0.113.7", "443"), SOCK_STREAM);
}

void runNewFlow(benchmark::State& state,
                PolicySource source,
                std::size_t policySize,
                bool isBlocked,
                Implementation implementation) {
    auto& environment = filterEnvironment(source, policySize, implementation);
    const std::string host =
        isBlocked ? hostUnder(environment.domains[environment.domains.size() / 4]) : cleanHost;
    const auto flow = flowTo(host);
    const auto expected = isBlocked ? filter::NEFilterNewFlowVerdict::Kind::drop
                                    : filter::NEFilterNewFlowVerdict::Kind::allow;
    for (auto _ : state) {
        const auto verdict = implementation == Implementation::ours
                                 ? environment.provider->handleNewFlow(*flow)
                                 : environment.simple->handleNewFlow(*flow);
        if (verdict.kind != expected) {
            state.SkipWithError("unexpected verdict");
            break;
        }
        benchmark::DoNotOptimize(verdict);
    }
}

}  // namespace

void registerNewFlowBenchmarks() {
    for (const auto source : {PolicySource::vendorConfiguration, PolicySource::blob}) {
        for (const std::size_t size : policySizes) {
            for (const bool isBlocked : {true, false}) {
                for (const auto implementation : {Implementation::ours, Implementation::simple}) {
                    const std::string name = std::string("NewFlow/") + sourceName(source) + "/" +
                                             std::to_string(size) + "/" +
                                             (isBlocked ? "blocked" : "clean") + "/" +
                                             implementationName(implementation);
                    benchmark::RegisterBenchmark(name.c_str(), runNewFlow, source, size, isBlocked,
                                                 implementation)
                        ->UseRealTime();
                }
            }
        }
    }
}

}  // namespace bench

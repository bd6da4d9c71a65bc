// tovrin-benchmarks: every benchmark of both deliverables, each beside the simple approach, then
// the ratios and the targets. Google Benchmark's flags apply (--benchmark_filter,
// --benchmark_repetitions, ...). The provider's and handlers' log lines are written as usual but
// to /dev/null, unless TOVRIN_BENCHMARK_LOG is set.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/BenchmarkFamilies.h"
#include "bench/RatioReporter.h"

namespace {

std::vector<bench::RatioReporter::Target> targets() {
    std::vector<bench::RatioReporter::Target> all;
    for (const char* source : {"vendor", "blob"}) {
        for (const char* host : {"blocked", "clean"}) {
            const std::string suffix = std::string("/") + host + "/ours";
            all.push_back({std::string("new flow, ") + source + ", " + host +
                               " host: 100,000 domains / 10 domains",
                           std::string("NewFlow/") + source + "/100000" + suffix,
                           std::string("NewFlow/") + source + "/10" + suffix, 2.0});
        }
    }
    for (const char* source : {"vendor", "blob"}) {
        for (const char* size : {"10", "1000", "100000"}) {
            all.push_back({std::string("unforced refresh, nothing changed, ") + source + ", " +
                               size + " domains",
                           std::string("UnforcedRefresh/") + source + "/" + size + "/ours",
                           std::nullopt, 5e-6});
        }
    }
    all.push_back({"ClientHello of 1953 bytes parsed and matched (100,000 domains)",
                   "Parse/tls-chromium-1953B/100000/ours", std::nullopt, 1e-6});
    for (const char* host : {"blocked", "clean"}) {
        all.push_back({std::string("blocking-state message, 100,000-domain blob, process start, ") +
                           host + " host",
                       std::string("BlockingState/process/100000/") + host + "/ours", std::nullopt,
                       50e-3});
    }
    return all;
}

}  // namespace

int main(int argumentCount, char** arguments) {
    benchmark::Initialize(&argumentCount, arguments);
    if (benchmark::ReportUnrecognizedArguments(argumentCount, arguments)) {
        return 1;
    }

    // The benchmark's own messages keep the original standard error.
    std::ofstream errorStream("/dev/fd/" + std::to_string(::dup(STDERR_FILENO)));
    if (std::getenv("TOVRIN_BENCHMARK_LOG") == nullptr) {
        const int discard = ::open("/dev/null", O_WRONLY);
        ::dup2(discard, STDERR_FILENO);
        ::close(discard);
    }

    bench::registerNewFlowBenchmarks();
    bench::registerHostlessFlowBenchmarks();
    bench::registerPolicyRefreshBenchmarks();
    bench::registerBlockingStateBenchmarks();
    bench::registerSuiteWriteBenchmarks();

    bench::RatioReporter reporter(targets());
    reporter.SetErrorStream(&errorStream);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
